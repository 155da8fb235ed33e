// The ZAL tree coder of wavelet coefficients: compressed stream, encoder, decoder.
#pragma once
#include <cstdint>

// Codes the transformed plane into the file `path`. Returns 0 or an error code
// (ZALCheckError). Overwrites the plane's cells with the coder's labels.
int ZALCodificador(signed char rplanes, signed char levels, float quant, int width, int height,
                   float* plane, const char* path, signed char blankborder);

// Same stream as ZALCodificador, but only its size in bytes is produced (*bytes);
// no file is touched. Used where only the rate of a trial matters.
int ZALCodificadorTamano(signed char rplanes, signed char levels, float quant, int width,
                         int height, float* plane, signed char blankborder, int64_t* bytes);

// Decodes the file `path` into a new plane (caller frees it with free()).
int ZALDecodificador(signed char* rplanes, signed char* levels, float* quant, int* width,
                     int* height, float** plane, const char* path, signed char blankborder);

// Message for a coder error code, into a buffer of at least 128 characters.
void ZALCheckError(int code, char* buffer);
