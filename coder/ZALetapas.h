// The stages through which the programs and the library take an image, each
// timed in its own slot (timing/tiempos.h) for --timing:
//   coding:   a plane of samples (the image loaders, or CargaImagenBytes)
//             -> ZALTransformaPlano (slot 3)
//             -> ZALCodificador / ZALCodificadorMemoria / ZALCodificadorTamano
//                (slot 1), or the rate search ZALBuscaTasa over them;
//   decoding: ZALDecodificador / ZALDecodificadorFuente (slot 2)
//             -> ZALReconstruyePlano (slot 4)
//             -> GuardaImagenLuminancia or GuardaImagenBytes;
//   measuring: CalculaPSNRLuminancia or CalculaPSNRBytes.
// Planes keep the loaders' samples as they are (a short file's missing ones
// are -1) and a blank border of `gap` cells after each row.
#pragma once

#include "coder/ZALbusqueda.h"
#include "coder/ZALcoder.h"

// The forward transform of a loaded plane, in place: 0 or the wavelet code.
int ZALTransformaPlano(signed char level, int width, int height, float* plane, signed char gap);
// The inverse transform of a decoded plane, in place: 0 or the wavelet code.
int ZALReconstruyePlano(signed char level, int width, int height, float* plane, signed char gap);
// A decoded image of rows of `codedWidth` samples cut, in place, to its true
// size (ZALFinFlujo): rows of `width` samples, their spare ones 0.
void ZALRecortaPlano(int codedWidth, int width, int height, float* plane, signed char gap);
