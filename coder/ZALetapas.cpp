// The timed transform stages, the padding and the cut back to the true size
// (see ZALetapas.h).
#include "coder/ZALetapas.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "coder/ZALextension.h"
#include "timing/tiempos.h"
#include "wavelet/wavelets.h"

int ZALTransformaPlano(signed char level, int width, int height, float* plane, signed char gap) {
  AcumuladorTStart(3);
  const int codigo = TransformaWavelet(level, width, height, plane, gap);
  AcumuladorTStop(3);
  return codigo;
}

int ZALReconstruyePlano(signed char level, int width, int height, float* plane, signed char gap) {
  AcumuladorTStart(4);
  const int codigo = TransformaWaveletInversa(level, width, height, plane, gap);
  AcumuladorTStop(4);
  return codigo;
}

namespace {

constexpr int kLadoMaximo = 8191;  // the header's 13-bit sides

int Rellena(int lado, signed char level) {
  const int m = 1 << (level + 1);
  return (lado + m - 1) / m * m;
}

// The sample of a side of n samples that position i (0 <= i) copies.
int Refleja(int i, int n) {
  if (n == 1) return 0;
  const int r = i % (2 * n - 2);
  return r < n ? r : 2 * n - 2 - r;
}

}  // namespace

int ZALTamanoRelleno(signed char level, int ancho, int alto, int* anchoCod, int* altoCod) {
  *anchoCod = ancho;
  *altoCod = alto;
  if (level < 0 || level > 9) return 0;
  if (ancho > kLadoMaximo || alto > kLadoMaximo) return kZALLadoFueraDeRango;
  *anchoCod = Rellena(ancho, level);
  *altoCod = Rellena(alto, level);
  return *anchoCod > kLadoMaximo || *altoCod > kLadoMaximo ? kZALLadoFueraDeRango : 0;
}

int ZALRellenaPlano(signed char level, int ancho, int alto, float** plane, signed char gap,
                    int* anchoCod, int* altoCod) {
  const int codigo = ZALTamanoRelleno(level, ancho, alto, anchoCod, altoCod);
  const int W = *anchoCod, H = *altoCod;
  if (codigo != 0 || (W == ancho && H == alto)) return codigo;
  const size_t paso = size_t(ancho) + gap, pasoCod = size_t(W) + gap;
  float* p = static_cast<float*>(std::realloc(*plane, pasoCod * size_t(H) * sizeof(float)));
  if (p == nullptr) return kZALSinMemoria;
  *plane = p;
  // Rows move to their wider places from the last one up, so that none is
  // overwritten before it has moved.
  for (int y = alto - 1; y > 0; --y) std::memmove(p + y * pasoCod, p + y * paso, ancho * sizeof(float));
  for (int y = 0; y < alto; ++y) {
    float* fila = p + y * pasoCod;
    for (int x = ancho; x < W; ++x) fila[x] = fila[Refleja(x, ancho)];
  }
  for (int y = alto; y < H; ++y)
    std::memcpy(p + y * pasoCod, p + Refleja(y, alto) * pasoCod, size_t(W) * sizeof(float));
  return 0;
}

int ZALCodificadorConExtension(signed char rplanes, signed char level, float quant, int anchoCod,
                               int altoCod, float* plane, signed char gap, int ancho, int alto,
                               const char* path, bool rd) {
  try {
    std::vector<uint8_t> flujo;
    int64_t bytes = 0;
    const int codigo =
        ZALCodificadorMemoria(rplanes, level, quant, anchoCod, altoCod, plane, gap, &bytes, &flujo,
                              -1, false, rd);
    if (codigo != 0) return codigo;
    ZALAnadeExtension(flujo, ancho, alto);
    return ZALGuardaFlujo(flujo, path);
  } catch (const std::bad_alloc&) {
    return kZALSinMemoria;
  }
}

void ZALRecortaPlano(int codedWidth, int width, int height, float* plane, signed char gap) {
  const size_t de = size_t(codedWidth) + size_t(gap), a = size_t(width) + size_t(gap);
  for (size_t y = 0; y < size_t(height); ++y) {
    std::memmove(plane + y * a, plane + y * de, size_t(width) * sizeof(float));
    std::fill(plane + y * a + width, plane + (y + 1) * a, 0.0f);
  }
}
