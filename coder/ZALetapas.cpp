// The timed transform stages (see ZALetapas.h).
#include "coder/ZALetapas.h"

#include <algorithm>
#include <cstring>

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

void ZALRecortaPlano(int codedWidth, int width, int height, float* plane, signed char gap) {
  const size_t de = size_t(codedWidth) + size_t(gap), a = size_t(width) + size_t(gap);
  for (size_t y = 0; y < size_t(height); ++y) {
    std::memmove(plane + y * a, plane + y * de, size_t(width) * sizeof(float));
    std::fill(plane + y * a + width, plane + (y + 1) * a, 0.0f);
  }
}
