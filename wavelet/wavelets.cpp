#include "wavelet/wavelets.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

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
constexpr int kColumnasBloque = 64;
// Rows handed out together in a horizontal pass.
constexpr int kFilasGrupo = 16;
// When left to decide, a pass over fewer samples stays on one thread:
// starting a second one costs some 20 µs, and on a busy machine the wait for
// a helper that is not running can cost a scheduler tick, which only large
// passes (about a millisecond of work each) can afford.
constexpr int64_t kMuestrasParaAyudante = int64_t(1) << 20;

// Instruction sets of the filter kernels, as WaveletsModo numbers them.
constexpr int kSimdBase = 0, kSimdAvx2 = 1, kSimdAvx512 = 2;

// The one pass of one level that a piece of work belongs to.
enum Paso { kVerticalDirecta, kHorizontalDirecta, kVerticalInversa, kHorizontalInversa };

struct Pase {
  float* plane;
  ptrdiff_t stride;  // ancho + border
  Paso paso;
  ptrdiff_t w, h;  // the region this level works on; indices below are
                   // ptrdiff_t so that sums near a side of 2^31 cannot overflow

  float* Fila(ptrdiff_t r) const { return plane + r * stride; }
};

// One thread's scratch. Samples to filter are held as double: the filters
// work in double anyway and float to double is exact, so converting once on
// reading changes nothing.
struct Scratch {
  double* lineas;  // a ring of rows of a block of columns, or the halves of a row
  float* columna;  // rows of a block of columns held aside by a vertical pass
};

// A piece of a pass: block k of kColumnasBloque columns for a vertical pass,
// group k of kFilasGrupo rows for a horizontal one, done with the scratch of
// the thread doing it.
using Pieza = void (*)(const Pase& p, const Scratch& s, int k);

// Working state of one call: the plane's geometry, the kernels in force and
// one scratch per thread.
struct Transformada {
  float* plane;
  ptrdiff_t stride;
  Pieza pieza;
  int hilos;                     // 1, or 2 when a helper thread may take pieces of a pass
  int64_t muestrasParaAyudante;  // the smallest pass worth a helper
  Scratch scratch[2];
  void* memoria;  // the one block holding every scratch
};

// Process-wide choices of WaveletsModo; -1 means "decide automatically".
struct Modo {
  std::atomic<int> simd{-1};
  std::atomic<int> hilos{-1};
};
Modo modo;

// Whole-sample symmetric extension, as an index: the sample that position i
// (−NumTaps ≤ i < n + NumTaps) of a line of n samples holds once NumTaps
// samples are mirrored beyond each end, the end samples not repeated. Lines
// shorter than NumTaps + 1 reflect more than once, which gives the mirrored
// line repeated with period 2n − 2 (a, b extends to … a, b, a, b …). Every
// filtered line has at least 2 samples; a single one is its own mirror.
inline ptrdiff_t ExtensionSimetrica(ptrdiff_t i, ptrdiff_t n) {
  if (n < 2) return 0;
  while (i < 0 || i >= n) i = i < 0 ? -i : 2 * (n - 1) - i;
  return i;
}

// Symmetric 9-tap filter (5 one-sided taps) on the centre sample c and the
// mirror pairs (at, bt) = (x[+t], x[−t]): each pair is summed first, then the
// terms are accumulated left to right in double; the result is rounded to
// float once. Vector lanes running this per output keep exactly this order.
[[gnu::always_inline]] inline float FiltrarConCincoTaps(const float* h, double c, double a1,
                                                        double b1, double a2, double b2, double a3,
                                                        double b3, double a4, double b4) {
  double s = double(h[0]) * c;
  s += double(h[1]) * (a1 + b1);
  s += double(h[2]) * (a2 + b2);
  s += double(h[3]) * (a3 + b3);
  s += double(h[4]) * (a4 + b4);
  return float(s);
}

// Symmetric 7-tap filter (4 taps), same order of operations.
[[gnu::always_inline]] inline float FiltrarConCuatroTaps(const float* h, double c, double a1,
                                                         double b1, double a2, double b2, double a3,
                                                         double b3) {
  double s = double(h[0]) * c;
  s += double(h[1]) * (a1 + b1);
  s += double(h[2]) * (a2 + b2);
  s += double(h[3]) * (a3 + b3);
  return float(s);
}

// Level in 0..31 (it is a shift count), positive sides that are multiples of
// 2^level and a non-negative border.
bool ArgumentosValidos(int level, int ancho, int alto, int border) {
  if (level < 0 || level > 31) return false;
  if (ancho <= 0 || alto <= 0 || border < 0) return false;
  const int64_t a = ancho, h = alto;
  return ((a >> level) << level) == a && ((h >> level) << level) == h;
}

// Rows of a block of columns held as double by a vertical pass: the ten line
// samples one step reads, the one read ahead, and the mirrored ones near the
// ends, rounded up to a power of two.
constexpr int kAnillo = 16;
// Rows ahead of the one being read that a vertical pass asks the memory for:
// consecutive rows of a block lie in different pages, which the processor
// does not fetch ahead by itself.
constexpr int kAdelanto = 8;

// Rows of a block a vertical pass holds aside in `columna` at once: at most
// about alto/4 (see the vertical passes), plus a margin.
ptrdiff_t FilasColumna(ptrdiff_t alto) { return alto / 4 + 2; }

// Scratch of one thread: as double a ring of kAnillo rows of a block (vertical
// passes) or the even and odd halves of a row with their margins (horizontal
// passes); as float FilasColumna rows of a block (vertical passes).
size_t LineasPorHilo(int ancho) {
  return std::max(size_t(kAnillo) * kColumnasBloque, size_t(ancho) + 2 * NumTaps);
}
size_t ColumnaPorHilo(int alto) { return size_t(FilasColumna(alto)) * kColumnasBloque; }

// The vertical passes filter a block of kColumnasBloque columns at a time,
// sweeping down it: each output row is computed across the block from nine
// rows of the (virtual, extended) line held as double in a ring, slot r % kAnillo
// for line sample r. Mirrored positions read the slot of the sample they
// mirror. The filter reads the same samples in the same order as on a single
// gathered column, so each output is bit for bit the per-column result; the
// loops over the block's columns are what the compiler vectorises.
//
// The passes work in place, and only ever read the plane to fill the ring: a
// row may be overwritten once it is in the ring. Step m fills the ring up to
// line sample 2m + 4 (forward) or 2m + 5 (inverse), so rows are read
// in order, about two per step, while outputs are written at other rates:
// - forward, low-pass row m goes to row m, already read; high-pass row m goes
//   to row h/2 + m, read only in step (h/2 + m)/2 − 2 or so, so it waits in
//   `columna` until then (at most about h/4 rows at a time).
// - inverse, output rows 2m and 2m + 1 overwrite low-pass rows 2m and 2m + 1
//   (line samples 4m and 4m + 2) before the ring reaches them, so they are
//   first saved in `columna` (again at most about h/4 rows pending); the
//   high-pass row h/2 + i (line sample 2i + 1) is read in step i − 2, before
//   output rows reach it in step (h/2 + i)/2.
// `columna` keeps row i at slot i mod FilasColumna(h); as i < h/2 < 2·FilasColumna(h),
// that is i or i − FilasColumna(h).

// Asks for the block's n samples at f (every 64-byte line) ahead of their use.
inline void Adelanta(const float* f, int n) {
  for (int c = 0; c < n; c += 16) __builtin_prefetch(f + c);
  __builtin_prefetch(f + n - 1);
}

// The ring: line sample r (≥ 0) of the block's columns at row r % kAnillo.
struct Anillo {
  double* filas;

  double* Fila(ptrdiff_t r) const { return filas + (size_t(r) % kAnillo) * kColumnasBloque; }
  void Carga(ptrdiff_t r, const float* f, int n) const {
    double* d = Fila(r);
    for (int c = 0; c < n; c++) d[c] = f[c];
  }
  // Rows for line samples first … first + count − 1, mirrored at the line's
  // ends (only steps near an end need the mirror).
  void Ventana(const double** x, ptrdiff_t first, int count, ptrdiff_t h) const {
    const bool dentro = first >= 0 && first + count <= h;
    for (int t = 0; t < count; t++)
      x[t] = Fila(dentro ? first + t : ExtensionSimetrica(first + t, h));
  }
};

// N is the block's width when it is full (a constant the compiler unrolls
// by), 0 for the narrower last block of a region.
template <int N>
[[gnu::always_inline]] inline void VerticalDirecta(const Pase& p, const Scratch& s, ptrdiff_t j) {
  const ptrdiff_t h = p.h, filas = FilasColumna(h);
  const int n = N > 0 ? N : int(std::min<ptrdiff_t>(kColumnasBloque, p.w - j));
  const Anillo anillo{s.lineas};
  auto Alto = [&](ptrdiff_t m) {
    return s.columna + (m < filas ? m : m - filas) * kColumnasBloque;
  };
  ptrdiff_t leidas = 0;    // line samples (rows) already in the ring
  ptrdiff_t escritas = 0;  // high-pass rows already in the plane
  for (ptrdiff_t m = 0; m < h / 2; m++) {
    for (; leidas <= std::min(2 * m + 4, h - 1); leidas++) {
      if (leidas + kAdelanto < h) Adelanta(p.Fila(leidas + kAdelanto) + j, n);
      anillo.Carga(leidas, p.Fila(leidas) + j, n);
    }
    const double* x[9];  // line samples 2m − 4 … 2m + 4
    anillo.Ventana(x, 2 * m - 4, 9, h);
    float* __restrict bajo = p.Fila(m) + j;
    float* __restrict alto = Alto(m);
    // Low pass centred on 2m, high pass centred on 2m + 1.
    for (int c = 0; c < n; c++) {
      bajo[c] = FiltrarConCincoTaps(B79_AnalisisPasoBajo, x[4][c], x[5][c], x[3][c], x[6][c],
                                    x[2][c], x[7][c], x[1][c], x[8][c], x[0][c]);
      alto[c] = FiltrarConCuatroTaps(B79_AnalisisPasoAlto, x[5][c], x[6][c], x[4][c], x[7][c],
                                     x[3][c], x[8][c], x[2][c]);
    }
    // After the last step every row has been read.
    const ptrdiff_t libres = m + 1 < h / 2 ? leidas : h;
    for (; escritas <= m && h / 2 + escritas < libres; escritas++)
      std::memcpy(p.Fila(h / 2 + escritas) + j, Alto(escritas), sizeof(float) * n);
  }
}

template <int N>
[[gnu::always_inline]] inline void VerticalInversa(const Pase& p, const Scratch& s, ptrdiff_t j) {
  const ptrdiff_t h = p.h, filas = FilasColumna(h);
  const int n = N > 0 ? N : int(std::min<ptrdiff_t>(kColumnasBloque, p.w - j));
  const Anillo anillo{s.lineas};
  auto Bajo = [&](ptrdiff_t i) {
    return s.columna + (i < filas ? i : i - filas) * kColumnasBloque;
  };
  ptrdiff_t leidas = 0;  // line samples already in the ring
  for (ptrdiff_t m = 0; m < h / 2; m++) {
    for (; leidas <= std::min(2 * m + 5, h - 1); leidas++) {
      const ptrdiff_t i = leidas / 2;
      if (leidas % 2 == 1) {
        if (h / 2 + i + kAdelanto / 2 < h) Adelanta(p.Fila(h / 2 + i + kAdelanto / 2) + j, n);
        anillo.Carga(leidas, p.Fila(h / 2 + i) + j, n);
      } else {
        // Low-pass row i was overwritten, and saved, in step i/2.
        anillo.Carga(leidas, i / 2 < m ? Bajo(i) : p.Fila(i) + j, n);
      }
    }
    const double* x[10];  // line samples 2m − 4 … 2m + 5
    anillo.Ventana(x, 2 * m - 4, 10, h);
    for (const ptrdiff_t r : {2 * m, 2 * m + 1}) {
      if (r < h / 2 && 2 * r >= leidas) {
        if (r + kAdelanto < h / 2) Adelanta(p.Fila(r + kAdelanto) + j, n);
        std::memcpy(Bajo(r), p.Fila(r) + j, sizeof(float) * n);
      }
    }
    float* __restrict par = p.Fila(2 * m) + j;
    float* __restrict impar = p.Fila(2 * m + 1) + j;
    // Even rows centred on a low-pass sample, odd rows on a high-pass one.
    for (int c = 0; c < n; c++) {
      par[c] = FiltrarConCuatroTaps(B79_SintesisPasoAlto, x[4][c], x[5][c], x[3][c], x[6][c],
                                    x[2][c], x[7][c], x[1][c]);
      impar[c] = FiltrarConCincoTaps(B79_SintesisPasoBajo, x[5][c], x[6][c], x[4][c], x[7][c],
                                     x[3][c], x[8][c], x[2][c], x[9][c], x[1][c]);
    }
  }
}

// The horizontal passes hold a row as its two polyphase halves, line sample
// 2i at par[i] and 2i + 1 at impar[i], each with two mirrored samples on both
// sides. Every filter tap of line position 2m or 2m + 1 is then par or impar
// at m plus a fixed offset, so consecutive outputs read consecutive doubles and
// vector lanes compute them side by side, each with the taps of the one-line
// filter in the one-line order.

[[gnu::always_inline]] inline void HorizontalDirecta(const Pase& p, const Scratch& s, int k) {
  const ptrdiff_t w = p.w, mitad = w / 2;
  double* par = s.lineas + 2;
  double* impar = par + mitad + 4;
  const ptrdiff_t primera = ptrdiff_t(k) * kFilasGrupo, fin = std::min(p.h, primera + kFilasGrupo);
  for (ptrdiff_t r = primera; r < fin; r++) {
    float* fila = p.Fila(r);
    for (ptrdiff_t i = 0; i < mitad; i++) {
      par[i] = fila[2 * i];
      impar[i] = fila[2 * i + 1];
    }
    for (int t = 1; t <= 2; t++) {
      par[-t] = fila[ExtensionSimetrica(-2 * t, w)];
      impar[-t] = fila[ExtensionSimetrica(1 - 2 * t, w)];
      par[mitad - 1 + t] = fila[ExtensionSimetrica(w - 2 + 2 * t, w)];
      impar[mitad - 1 + t] = fila[ExtensionSimetrica(w - 1 + 2 * t, w)];
    }
    // Low pass centred on 2m, high pass centred on 2m + 1.
    float* __restrict bajos = fila;
    float* __restrict altos = fila + mitad;
    for (ptrdiff_t m = 0; m < mitad; m++) {
      bajos[m] =
          FiltrarConCincoTaps(B79_AnalisisPasoBajo, par[m], impar[m], impar[m - 1], par[m + 1],
                              par[m - 1], impar[m + 1], impar[m - 2], par[m + 2], par[m - 2]);
      altos[m] = FiltrarConCuatroTaps(B79_AnalisisPasoAlto, impar[m], par[m + 1], par[m],
                                      impar[m + 1], impar[m - 1], par[m + 2], par[m - 1]);
    }
  }
}

[[gnu::always_inline]] inline void HorizontalInversa(const Pase& p, const Scratch& s, int k) {
  const ptrdiff_t w = p.w, mitad = w / 2;
  double* par = s.lineas + 2;       // the low-pass half: line samples 2m
  double* impar = par + mitad + 4;  // the high-pass half: line samples 2m + 1
  const ptrdiff_t primera = ptrdiff_t(k) * kFilasGrupo, fin = std::min(p.h, primera + kFilasGrupo);
  for (ptrdiff_t r = primera; r < fin; r++) {
    float* fila = p.Fila(r);
    for (ptrdiff_t i = 0; i < mitad; i++) {
      par[i] = fila[i];
      impar[i] = fila[mitad + i];
    }
    // Line sample i is fila[i / 2] when even, fila[mitad + i / 2] when odd;
    // a mirrored position keeps its parity (the period 2w − 2 is even).
    for (int t = 1; t <= 2; t++) {
      par[-t] = fila[ExtensionSimetrica(-2 * t, w) / 2];
      impar[-t] = fila[mitad + ExtensionSimetrica(1 - 2 * t, w) / 2];
      par[mitad - 1 + t] = fila[ExtensionSimetrica(w - 2 + 2 * t, w) / 2];
      impar[mitad - 1 + t] = fila[mitad + ExtensionSimetrica(w - 1 + 2 * t, w) / 2];
    }
    for (ptrdiff_t m = 0; m < mitad; m++) {
      fila[2 * m] = FiltrarConCuatroTaps(B79_SintesisPasoAlto, par[m], impar[m], impar[m - 1],
                                         par[m + 1], par[m - 1], impar[m + 1], impar[m - 2]);
      fila[2 * m + 1] =
          FiltrarConCincoTaps(B79_SintesisPasoBajo, impar[m], par[m + 1], par[m], impar[m + 1],
                              impar[m - 1], par[m + 2], par[m - 1], impar[m + 2], impar[m - 2]);
    }
  }
}

[[gnu::always_inline]] inline void HazPieza(const Pase& p, const Scratch& s, int k) {
  const ptrdiff_t j = ptrdiff_t(k) * kColumnasBloque;
  switch (p.paso) {
    case kVerticalDirecta:
      if (j + kColumnasBloque <= p.w)
        VerticalDirecta<kColumnasBloque>(p, s, j);
      else
        VerticalDirecta<0>(p, s, j);
      break;
    case kHorizontalDirecta:
      HorizontalDirecta(p, s, k);
      break;
    case kVerticalInversa:
      if (j + kColumnasBloque <= p.w)
        VerticalInversa<kColumnasBloque>(p, s, j);
      else
        VerticalInversa<0>(p, s, j);
      break;
    case kHorizontalInversa:
      HorizontalInversa(p, s, k);
      break;
  }
}

// The same kernels compiled for wider vectors. Lanes perform the scalar
// code's IEEE operations in its order, and -ffp-contract=off keeps products
// and sums apart, so every build gives the same bits.
void PiezaBase(const Pase& p, const Scratch& s, int k) { HazPieza(p, s, k); }
[[gnu::target("avx2")]] void PiezaAvx2(const Pase& p, const Scratch& s, int k) {
  HazPieza(p, s, k);
}
[[gnu::target("avx512f,prefer-vector-width=512")]] void PiezaAvx512(const Pase& p, const Scratch& s,
                                                                    int k) {
  HazPieza(p, s, k);
}

int SimdDelProcesador() {
  if (__builtin_cpu_supports("avx512f")) return kSimdAvx512;
  if (__builtin_cpu_supports("avx2")) return kSimdAvx2;
  return kSimdBase;
}

// Kernels and thread count are chosen here and nowhere else.
int SimdEnVigor() {
  const int pedido = modo.simd.load();
  return pedido < 0 ? SimdDelProcesador() : std::min(pedido, SimdDelProcesador());
}

Pieza PiezaEnVigor() {
  switch (SimdEnVigor()) {
    case kSimdAvx512:
      return PiezaAvx512;
    case kSimdAvx2:
      return PiezaAvx2;
    default:
      return PiezaBase;
  }
}

// Two threads when asked for (then on every pass that splits, however small,
// so that tests see the split) or, left to decide, on large passes of a
// machine with two cores or more.
void EligeHilos(Transformada& t) {
  const int pedido = modo.hilos.load();
  if (pedido > 0) {
    t.hilos = std::min(pedido, 2);
    t.muestrasParaAyudante = 0;
  } else {
    t.hilos = std::thread::hardware_concurrency() >= 2 ? 2 : 1;
    t.muestrasParaAyudante = kMuestrasParaAyudante;
  }
}

// Pieces of one pass, handed out one at a time so that a thread slowed down
// by other work simply takes fewer of them.
struct Reparto {
  const Pase& pase;
  Pieza pieza;
  int piezas;
  std::atomic<int> siguiente;
  const Scratch& scratchAyudante;
};

void HazPiezas(Reparto& r, const Scratch& s) {
  for (int k = r.siguiente.fetch_add(1); k < r.piezas; k = r.siguiente.fetch_add(1))
    r.pieza(r.pase, s, k);
}

void* Ayudante(void* arg) {
  Reparto& r = *static_cast<Reparto*>(arg);
  HazPiezas(r, r.scratchAyudante);
  return nullptr;
}

// Pieces write disjoint parts of the plane and read only what the pass
// itself does not write, so their order and sharing between threads cannot
// change a result.
void EjecutaPase(const Transformada& t, Paso paso, int w, int h) {
  const Pase p{t.plane, t.stride, paso, w, h};
  const bool vertical = paso == kVerticalDirecta || paso == kVerticalInversa;
  const int piezas = int(vertical ? (int64_t(w) + kColumnasBloque - 1) / kColumnasBloque
                                  : (int64_t(h) + kFilasGrupo - 1) / kFilasGrupo);
  Reparto r{p, t.pieza, piezas, {0}, t.scratch[1]};
  // pthread_create reports failure as a code (std::thread would throw); without
  // a helper this thread simply does every piece.
  pthread_t hilo;
  const bool ayuda = t.hilos > 1 && piezas > 1 && int64_t(w) * h >= t.muestrasParaAyudante &&
                     pthread_create(&hilo, nullptr, Ayudante, &r) == 0;
  HazPiezas(r, t.scratch[0]);
  if (ayuda) pthread_join(hilo, nullptr);
}

// Every thread's scratch in one block, the doubles first; falls back to one
// thread when two do not fit. False when not even one fits.
bool ReservaScratch(Transformada& t, int ancho, int alto) {
  const size_t lineas = LineasPorHilo(ancho), columna = ColumnaPorHilo(alto);
  const size_t porHilo = sizeof(double) * lineas + sizeof(float) * columna;
  EligeHilos(t);
  t.memoria = std::malloc(porHilo * t.hilos);
  if (t.memoria == nullptr && t.hilos > 1) {
    t.hilos = 1;
    t.memoria = std::malloc(porHilo);
  }
  if (t.memoria == nullptr) return false;
  double* dobles = static_cast<double*>(t.memoria);
  float* flotantes = reinterpret_cast<float*>(dobles + lineas * t.hilos);
  for (int i = 0; i < t.hilos; i++) t.scratch[i] = {dobles + lineas * i, flotantes + columna * i};
  return true;
}

}  // namespace

int WaveletsCompruebaArgumentos(int level, int ancho, int alto, int border) {
  return ArgumentosValidos(level, ancho, alto, border) ? 0 : 1;
}

int TransformaWavelet(int level, int ancho, int alto, float* plane, int border) {
  if (plane == nullptr || !ArgumentosValidos(level, ancho, alto, border)) return 1;
  if (level == 0) return 0;
  Transformada t{plane, ptrdiff_t(ancho) + border, PiezaEnVigor(), 1, 0, {}, nullptr};
  if (!ReservaScratch(t, ancho, alto)) return 2;
  // Level k + 1 works on the top-left (ancho >> k) x (alto >> k) region.
  for (int k = 0; k < level; k++) {
    EjecutaPase(t, kVerticalDirecta, ancho >> k, alto >> k);
    EjecutaPase(t, kHorizontalDirecta, ancho >> k, alto >> k);
  }
  std::free(t.memoria);
  return 0;
}

int TransformaWaveletInversa(int level, int ancho, int alto, float* plane, int border) {
  // Checked as the forward transform does: the inverse of a plane it would
  // refuse has no meaning, and level 0 must not reach the shift by level - 1.
  if (plane == nullptr || !ArgumentosValidos(level, ancho, alto, border)) return 1;
  if (level == 0) return 0;
  Transformada t{plane, ptrdiff_t(ancho) + border, PiezaEnVigor(), 1, 0, {}, nullptr};
  if (!ReservaScratch(t, ancho, alto)) return 2;
  // From the coarsest region outwards; shifting (rather than doubling) cannot overflow.
  for (int k = level - 1; k >= 0; k--) {
    EjecutaPase(t, kVerticalInversa, ancho >> k, alto >> k);
    EjecutaPase(t, kHorizontalInversa, ancho >> k, alto >> k);
  }
  std::free(t.memoria);
  return 0;
}

int WaveletsModo(int simd, int hilos) {
  modo.simd.store(simd < 0 ? -1 : simd);
  modo.hilos.store(hilos < 1 ? -1 : hilos);
  return SimdEnVigor();
}

const char* WaveletsTextoError(int code) {
  switch (code) {
    case 1: return "Image side should be multiple of 2^level";
    case 2: return "Insuficient memory available";
    default: return "Unknown error";
  }
}

void WaveletsCheckError(int code, char* text) {
  // The shown number wraps like 32-bit int arithmetic instead of overflowing.
  std::snprintf(text, 128, "%s (error #%d)", WaveletsTextoError(code), int32_t(uint32_t(code) + 300u));
}
