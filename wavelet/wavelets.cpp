#include "wavelet/wavelets.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Samples mirrored beyond each end of a line, and the scratch margin on each side.
constexpr int NumTaps = 4;

// One-sided halves of the symmetric 9/7 filters: entry 0 is the centre tap,
// entry t the tap at distance t on both sides. Nine significant digits pin
// down each single-precision value exactly.
constexpr float B79_AnalisisPasoBajo[5] = {0.852698684f, 0.377402872f, -0.110624403f,
                                           -0.0238494705f, 0.0378284603f};
constexpr float B79_AnalisisPasoAlto[4] = {0.788485646f, -0.418092281f, -0.04068942f,
                                           0.0645388812f};
// Polyphase synthesis: PasoAlto yields the even outputs (centred on a low-pass
// sample), PasoBajo the odd ones (centred on a high-pass sample).
constexpr float B79_SintesisPasoBajo[5] = {0.852698684f, 0.418092281f, -0.110624403f,
                                           -0.0645388812f, 0.0378284603f};
constexpr float B79_SintesisPasoAlto[4] = {0.788485646f, -0.377402872f, -0.04068942f,
                                           0.0238494705f};

// Columns filtered together by the vertical passes. Each column keeps its own
// order of operations, so the block width never changes a result; wider blocks
// cost more scratch but fetch more of each row per visit.
constexpr int kColumnasBloque = 32;

// Working state of one call: the plane's geometry and the scratch area.
struct Transformada {
  float* plane;
  ptrdiff_t stride;  // ancho + border
  // A line of up to max(ancho, alto) samples with NumTaps margins, or a block
  // of (alto + 2·NumTaps) rows of kColumnasBloque columns for the vertical
  // passes. Samples are held as double: the filters work in double anyway and
  // float to double is exact, so converting once on gathering changes nothing.
  double* scratch;

  float* Fila(ptrdiff_t r) const { return plane + r * stride; }
};

// Whole-sample symmetric extension of the line from `first` to `last`, whose
// samples lie `paso` apart; each sample is a run of `n` consecutive values
// (1 for a line, the block width for a block of columns). Both ends
// advance together so that lines shorter than NumTaps + 1 mirror correctly.
inline void ExtensionSimetrica(double* first, double* last, ptrdiff_t paso = 1, int n = 1) {
  for (int i = 1; i <= NumTaps; i++) {
    std::memcpy(first - i * paso, first + i * paso, sizeof(double) * n);
    std::memcpy(last + i * paso, last - i * paso, sizeof(double) * n);
  }
}

// Symmetric 9-tap filter centred on x (neighbours `paso` apart): each
// mirror pair is summed first, then the terms are accumulated left to right
// in double; the result is rounded to float once.
inline float FiltrarConCincoTaps(const double* x, const float* h, ptrdiff_t paso = 1) {
  double s = double(h[0]) * double(x[0]);
  s += double(h[1]) * (double(x[paso]) + double(x[-paso]));
  s += double(h[2]) * (double(x[2 * paso]) + double(x[-2 * paso]));
  s += double(h[3]) * (double(x[3 * paso]) + double(x[-3 * paso]));
  s += double(h[4]) * (double(x[4 * paso]) + double(x[-4 * paso]));
  return float(s);
}

// Symmetric 7-tap filter, same order of operations.
inline float FiltrarConCuatroTaps(const double* x, const float* h, ptrdiff_t paso = 1) {
  double s = double(h[0]) * double(x[0]);
  s += double(h[1]) * (double(x[paso]) + double(x[-paso]));
  s += double(h[2]) * (double(x[2 * paso]) + double(x[-2 * paso]));
  s += double(h[3]) * (double(x[3 * paso]) + double(x[-3 * paso]));
  return float(s);
}

// Level in 0..31 (it is a shift count), positive sides that are multiples of
// 2^level, a plane and a non-negative border.
bool ArgumentosValidos(int level, int ancho, int alto, const float* plane, int border) {
  if (level < 0 || level > 31) return false;
  if (ancho <= 0 || alto <= 0 || border < 0 || plane == nullptr) return false;
  const int64_t a = ancho, h = alto;
  return ((a >> level) << level) == a && ((h >> level) << level) == h;
}

double* ReservaScratch(int ancho, int alto) {
  const size_t linea = size_t(std::max(ancho, alto)) + 2 * NumTaps;
  const size_t bloque = (size_t(alto) + 2 * NumTaps) * kColumnasBloque;
  return static_cast<double*>(std::malloc(sizeof(double) * std::max(linea, bloque)));
}

// The vertical passes filter kColumnasBloque columns at a time: the block's
// rows are copied into the scratch (line sample i at scratch row NumTaps + i)
// and every output row is computed across the block. The filter reads the
// same samples in the same order as on a single gathered column, so each
// output is bit for bit the per-column result; the inner loop over the block's
// columns is what the compiler may vectorise.

void VerticalDirecta(const Transformada& t, int w, int h) {
  const ptrdiff_t B = kColumnasBloque;
  double* linea = t.scratch + NumTaps * B;
  for (int j = 0; j < w; j += kColumnasBloque) {
    const int n = std::min(kColumnasBloque, w - j);
    for (int i = 0; i < h; i++) {
      const float* f = t.Fila(i) + j;
      for (int c = 0; c < n; c++) linea[i * B + c] = f[c];
    }
    ExtensionSimetrica(linea, linea + (h - 1) * B, B, n);
    for (int m = 0; m < h / 2; m++) {
      float* bajo = t.Fila(m) + j;
      float* alto = t.Fila(h / 2 + m) + j;
      const double* par = linea + 2 * m * B;
      const double* impar = par + B;
      for (int c = 0; c < n; c++) bajo[c] = FiltrarConCincoTaps(par + c, B79_AnalisisPasoBajo, B);
      for (int c = 0; c < n; c++) alto[c] = FiltrarConCuatroTaps(impar + c, B79_AnalisisPasoAlto, B);
    }
  }
}

void HorizontalDirecta(const Transformada& t, int w, int h) {
  double* linea = t.scratch + NumTaps;
  for (int r = 0; r < h; r++) {
    float* fila = t.Fila(r);
    for (int i = 0; i < w; i++) linea[i] = fila[i];
    ExtensionSimetrica(linea, linea + w - 1);
    for (int m = 0; m < w / 2; m++) {
      fila[m] = FiltrarConCincoTaps(linea + 2 * m, B79_AnalisisPasoBajo);
      fila[w / 2 + m] = FiltrarConCuatroTaps(linea + 2 * m + 1, B79_AnalisisPasoAlto);
    }
  }
}

void VerticalInversa(const Transformada& t, int w, int h) {
  const ptrdiff_t B = kColumnasBloque;
  double* linea = t.scratch + NumTaps * B;
  for (int j = 0; j < w; j += kColumnasBloque) {
    const int n = std::min(kColumnasBloque, w - j);
    for (int m = 0; m < h / 2; m++) {
      const float* bajo = t.Fila(m) + j;
      const float* alto = t.Fila(h / 2 + m) + j;
      for (int c = 0; c < n; c++) linea[2 * m * B + c] = bajo[c];
      for (int c = 0; c < n; c++) linea[(2 * m + 1) * B + c] = alto[c];
    }
    ExtensionSimetrica(linea, linea + (h - 1) * B, B, n);
    for (int m = 0; m < h / 2; m++) {
      float* par = t.Fila(2 * m) + j;
      float* impar = t.Fila(2 * m + 1) + j;
      const double* xpar = linea + 2 * m * B;
      const double* ximpar = xpar + B;
      for (int c = 0; c < n; c++) par[c] = FiltrarConCuatroTaps(xpar + c, B79_SintesisPasoAlto, B);
      for (int c = 0; c < n; c++) impar[c] = FiltrarConCincoTaps(ximpar + c, B79_SintesisPasoBajo, B);
    }
  }
}

void HorizontalInversa(const Transformada& t, int w, int h) {
  double* linea = t.scratch + NumTaps;
  for (int r = 0; r < h; r++) {
    float* fila = t.Fila(r);
    for (int m = 0; m < w / 2; m++) {
      linea[2 * m] = fila[m];
      linea[2 * m + 1] = fila[w / 2 + m];
    }
    ExtensionSimetrica(linea, linea + w - 1);
    for (int m = 0; m < w / 2; m++) {
      fila[2 * m] = FiltrarConCuatroTaps(linea + 2 * m, B79_SintesisPasoAlto);
      fila[2 * m + 1] = FiltrarConCincoTaps(linea + 2 * m + 1, B79_SintesisPasoBajo);
    }
  }
}

}  // namespace

int TransformaWavelet(int level, int ancho, int alto, float* plane, int border) {
  if (!ArgumentosValidos(level, ancho, alto, plane, border)) return 1;
  if (level == 0) return 0;
  Transformada t{plane, ptrdiff_t(ancho) + border, ReservaScratch(ancho, alto)};
  if (t.scratch == nullptr) return 2;
  // Level k + 1 works on the top-left (ancho >> k) x (alto >> k) region.
  for (int k = 0; k < level; k++) {
    VerticalDirecta(t, ancho >> k, alto >> k);
    HorizontalDirecta(t, ancho >> k, alto >> k);
  }
  std::free(t.scratch);
  return 0;
}

int TransformaWaveletInversa(int level, int ancho, int alto, float* plane, int border) {
  // Checked as the forward transform does: the inverse of a plane it would
  // refuse has no meaning, and level 0 must not reach the shift by level - 1.
  if (!ArgumentosValidos(level, ancho, alto, plane, border)) return 1;
  if (level == 0) return 0;
  Transformada t{plane, ptrdiff_t(ancho) + border, ReservaScratch(ancho, alto)};
  if (t.scratch == nullptr) return 2;
  // From the coarsest region outwards; shifting (rather than doubling) cannot overflow.
  for (int k = level - 1; k >= 0; k--) {
    VerticalInversa(t, ancho >> k, alto >> k);
    HorizontalInversa(t, ancho >> k, alto >> k);
  }
  std::free(t.scratch);
  return 0;
}

void WaveletsCheckError(int code, char* text) {
  const char* formato;
  switch (code) {
    case 1: formato = "Image side should be multiple of 2^level (error #%d)"; break;
    case 2: formato = "Insuficient memory available (error #%d)"; break;
    default: formato = "Unknown error (error #%d)"; break;
  }
  // The shown number wraps like 32-bit int arithmetic instead of overflowing.
  std::snprintf(text, 128, formato, int32_t(uint32_t(code) + 300u));
}
