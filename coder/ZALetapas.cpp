// The timed transform stages (see ZALetapas.h).
#include "coder/ZALetapas.h"

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
