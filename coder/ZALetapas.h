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
// are -1) and a blank border of `gap` cells after each row. With --pad
// (ZAL_PAD) a loaded plane is padded (ZALRellenaPlano) before its transform,
// and the file ends with the extension of ZALextension.h.
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

// Padding: an image of any size is coded as one whose sides are the next
// multiples of 2^(level+1), the new columns and rows taken by whole-sample
// symmetric reflection about the last one, which is not repeated (a row
// x0 .. x4 goes on x3 x2 x1 x0 x1 x2 ...), mirrored again at each end as
// often as the padding needs; a side of one sample repeats it. Smooth at the
// edge, it costs few bits. The image keeps the top left corner, so the
// decoded plane cropped to its size gives it back.
//
// The coded size of an ancho x alto image: 0, or kZALLadoFueraDeRango when a
// padded side would pass the format's 8191. A level outside 0..9 leaves the
// size as it is, for the transform and the coder to refuse as they do.
int ZALTamanoRelleno(signed char level, int ancho, int alto, int* anchoCod, int* altoCod);
// Pads a loaded plane of ancho x alto to its coded size, in place (it may be
// moved: *plane stays the caller's, also on failure): 0, kZALLadoFueraDeRango
// or kZALSinMemoria.
int ZALRellenaPlano(signed char level, int ancho, int alto, float** plane, signed char gap,
                    int* anchoCod, int* altoCod);
// Codes a transformed plane of anchoCod x altoCod into the file `path`, the
// extension with the true size ancho x alto after the stream: 0 or one of
// ZALCodificador's codes, 9 when the stream finds no memory.
int ZALCodificadorConExtension(signed char rplanes, signed char level, float quant, int anchoCod,
                               int altoCod, float* plane, signed char gap, int ancho, int alto,
                               const char* path, bool rd = false);
