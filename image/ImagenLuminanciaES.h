// Grey-scale image files (PGM, BMP, RAW with its dimension file, PNG), sample
// conversion and quality measurement. Every load and save has a float twin
// and an integer twin. Planes: height rows of width samples, each followed by
// `gap` spare samples that this module never reads, writes or clears.
//
// Loaders refuse (error 12), before allocating or reading samples, an image
// with a side below 1 or above 65535, more than 2^28 samples, or a negative
// gap. A read that fails, at any point, is error 4 (as a file that cannot be
// opened), never the end of the file; a PGM header longer than 1 MiB (up to
// the byte after its maximum value) is refused as 6, a dimension-file line
// longer than 1 MiB (with its line feed) as 8. Savers report any failed
// write, flush or close as error 5; the output is replaced only once whole
// (entropy/SalidaAtomica.h), so it then keeps what it had.
#pragma once
#include <cstdio>

// Code 13 (shown as 113): an output that is the same file as an input. The
// module never raises it; the programs refuse such an output before writing.
enum : int { kImagenSalidaEsEntrada = 13 };

// Image type of a file name: 0 unknown extension, 1 none, 2 PGM, 3 RAW, 4 BMP, 5 PNG.
int DeterminaTipo(const char* name);

// Asked by a loader once the image's size is read and admitted, before the
// plane is allocated or a sample read: whether to go on. On false the load
// ends there, returning 0 with *plane untouched; the caller has its reason.
struct SigueCarga {
  bool (*fn)(void* usuario, int width, int height) = nullptr;
  void* usuario = nullptr;
};
// A load's options: kCargaLuma takes a colour PNG as its luma instead of
// refusing it.
constexpr int kCargaLuma = 1;
int CargaImagenLuminancia(const char* name, int* width, int* height, float** plane, signed char gap,
                          int opciones = 0, SigueCarga sigue = {});
int CargaImagenLuminancia(const char* name, int* width, int* height, int** plane, signed char gap,
                          int opciones = 0, SigueCarga sigue = {});
int GuardaImagenLuminancia(const char* name, int width, int height, const float* plane, signed char gap);
int GuardaImagenLuminancia(const char* name, int width, int height, const int* plane, signed char gap);

void LeeFicheroLuminancia(FILE* file, int width, int height, float* plane, signed char gap);
void LeeFicheroLuminancia(FILE* file, int width, int height, int* plane, signed char gap);
// Return 0, or the module's write error code when the stream refused a byte.
int EscribeFicheroLuminancia(FILE* file, int width, int height, const float* plane, signed char gap);
int EscribeFicheroLuminancia(FILE* file, int width, int height, const int* plane, signed char gap);

// Byte value (0..255) of a float sample: saturate, then round half up.
inline int redondeaSaturaByte(float x) {
  if (x < 0.0f) return 0;
  if (x > 255.0f) return 255;
  if (!(x >= 0.0f)) return 0;  // NaN
  return static_cast<int>(static_cast<double>(x) + 0.5);
}

// Images held in memory: 8-bit samples, rows `stride` bytes apart. The loader
// makes a float plane with the file loaders' checks and codes (12, 11); the
// saver writes each sample as the file savers do (rounded and saturated).
int CargaImagenBytes(const unsigned char* pixels, int width, int height, size_t stride,
                     float** plane, signed char gap);
void GuardaImagenBytes(int width, int height, const float* plane, signed char gap,
                       unsigned char* pixels, size_t stride);

void Buffer_ftoi(int width, int height, float* source, int* target, signed char gap);
void Buffer_itof(int width, int height, int* source, float* target, signed char gap);

// Message for an image error code, into a buffer of 128 characters.
void ImagenCheckError(int code, char* buffer);
// The text of a code alone, static.
const char* ImagenTextoError(int code);

// BMP (8-bit grey, 256-entry palette). The header reader gives a negative
// height for rows stored top-down; the loader reads them and returns the
// positive height. The header writer returns 0, or 5 if the stream refused it.
int LeeCabeceraBMPLuminancia(FILE* file, int* width, int* height, int* pad);
int CargaBMPLuminancia(const char* name, int* width, int* height, float** plane, signed char gap);
int CargaBMPLuminancia(const char* name, int* width, int* height, int** plane, signed char gap);
int EscribeCabeceraBMPLuminancia(FILE* file, int width, int height, int pad);
int GuardaBMPLuminancia(const char* name, int width, int height, const float* plane, signed char gap);
int GuardaBMPLuminancia(const char* name, int width, int height, const int* plane, signed char gap);

// PGM ("P5", maximum value 255) and RAW. Comments are skipped from '#' to the
// end of their line wherever a header field may start; a field longer than 74
// characters makes the header unsupported (6). LeeLinea's token buffer must
// hold 75 characters.
void LeeLinea(FILE* file, unsigned char* token);
int LeeCabeceraPGM(FILE* file, int* width, int* height);
void EscribeCabeceraPGM(FILE* file, int width, int height);
int CargaPGM(const char* name, int* width, int* height, float** plane, signed char gap);
int CargaPGM(const char* name, int* width, int* height, int** plane, signed char gap);
int GuardaPGM(const char* name, int width, int height, const float* plane, signed char gap);
int GuardaPGM(const char* name, int width, int height, const int* plane, signed char gap);
int CargaRawDimensiones(const char* name, int* width, int* height);
int CargaRawLuminancia(const char* name, int width, int height, float** plane, signed char gap);
int CargaRawLuminancia(const char* name, int width, int height, int** plane, signed char gap);
int GuardaRawLuminancia(const char* name, int width, int height, const float* plane, signed char gap);
int GuardaRawLuminancia(const char* name, int width, int height, const int* plane, signed char gap);

// PNG. Read: 8-bit grey; 1, 2 and 4-bit grey widened to 8 bits (the largest
// value becomes 255); a palette whose entries are all grey; interlaced or not.
// The size is checked (12) before any image data is decompressed. Refused:
// transparency (16: an alpha channel or a tRNS chunk), then 16-bit samples
// (15), then colour (14: a colour type, or a palette with a colour entry)
// unless `luma`, which takes (299 R + 587 G + 114 B + 500) / 1000. Data the
// decoder rejects is a read error (4); a plane already allocated is then freed
// and the pointer set to null. Saved as 8-bit grey, not interlaced.
int CargaPNG(const char* name, int* width, int* height, float** plane, signed char gap, bool luma,
             SigueCarga sigue = {});
int CargaPNG(const char* name, int* width, int* height, int** plane, signed char gap, bool luma,
             SigueCarga sigue = {});
int GuardaPNG(const char* name, int width, int height, const float* plane, signed char gap);
int GuardaPNG(const char* name, int width, int height, const int* plane, signed char gap);

// Quality.
float CalculaMSELuminancia(int width, int height, const int* first, const int* second, signed char gap);
float CalculaPSNRLuminancia(int width, int height, const int* first, const int* second, signed char gap);
// The same measure over two 8-bit images in memory, rows `stride` bytes apart.
float CalculaPSNRBytes(int width, int height, const unsigned char* first,
                       const unsigned char* second, size_t stride);
