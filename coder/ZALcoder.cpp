// The ZAL tree coder. The encoder labels the transformed plane in place (one
// integer per cell) from the finest level up to the LL band, then emits the
// header and the passes; the decoder rebuilds the quantized values pass by
// pass in a zero-filled plane and dequantizes them.
#include "coder/ZALcoder.h"

#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "entropy/CodificadorAritmetico.h"
#include "entropy/LectorAritmetico.h"
#include "timing/tiempos.h"

namespace {

constexpr int kMaxNiveles = 9;      // simbolosNivel has one entry per level and LL
constexpr int kLadoMaximo = 8191;   // width and height travel in 13-bit fields
constexpr int kSimbolosMaximos = 37;
constexpr int kCampoSimbolos = 31;  // s_k travels in a 5-bit field
// The decoder marks a value by adding G = 2^(largest bit length); G and the
// value it marks must stay within a signed 32-bit cell.
constexpr int kBitsMaximos = 30;
constexpr int32_t kMagnitudTope = int32_t(1) << kBitsMaximos;

struct Cola;

struct EstadoZAL {
  int capas = 0;           // bit planes removed
  int umbral = 0;          // 2^capas
  int fcorrec = 0;         // 2 - capas
  int cotaContexto = 0;    // 2^(capas+1): magnitudes below it are "small"
  int nlevelCod = 0;
  int levelCod = 0;
  int ancho = 0, alto = 0, anchoBuf = 0, anchoLL = 0, altoLL = 0;
  int simbolosNivel[kMaxNiveles + 1] = {};
  float DobleQuantInversa = 0.0f;
  float UmbralPre = 0.0f;
  int32_t maxSubband = 0;
  int32_t fcorrecLowerGroup = 0;  // G
  float QUniforme = 0.0f;
  float* Coef = nullptr;  // the plane; its cells are read as int through Fuente
  THistograma Hist[2] = {};
  unsigned char bits[16] = {};
  // Encoder: groups coded per level, and empty groups of level 1 (each one
  // costs an LL marker). They decide the degenerate-alphabet adjustments.
  int gruposCodificados[kMaxNiveles + 1] = {};
  int gruposVaciosNivel1 = 0;
  bool referencia = false;  // this call takes the plain paths (test hook)
  int64_t limite = -1;      // size-only encoder: stop past this many bytes (-1: never)
  bool unHilo = false;      // this call starts no helper threads
  Cola* cola = nullptr;     // encoder: the queue of the level passes (heap, per call)
};
// One state per thread, so that calls on different threads can run at once.
// The coder's own helper threads start from a copy of their caller's state.
thread_local EstadoZAL z;
bool usarReferencia = false;

// The same cells seen as float (Coef) and as 32-bit int (Fuente).
inline std::ptrdiff_t Indice(int x, int y) { return std::ptrdiff_t(y) * z.anchoBuf + x; }
inline float Coef(int x, int y) { return z.Coef[Indice(x, y)]; }
inline int32_t Fuente(std::ptrdiff_t i) {
  int32_t v;
  std::memcpy(&v, z.Coef + i, sizeof v);
  return v;
}
inline int32_t Fuente(int x, int y) { return Fuente(Indice(x, y)); }
inline void PonFuente(std::ptrdiff_t i, int32_t v) { std::memcpy(z.Coef + i, &v, sizeof v); }
inline void PonFuente(int x, int y, int32_t v) { PonFuente(Indice(x, y), v); }

// Magnitudes stay within +-2^30 in both directions (and within 2^31 once the
// decoder adds G), so the unsigned absolute value is exact.
inline uint32_t Magnitud(int32_t v) { return v < 0 ? 0u - uint32_t(v) : uint32_t(v); }

inline int RellenaAbsBits(int x) {
  uint32_t a = Magnitud(x);
  int n = 0;
  while (a) {
    a >>= 1;
    ++n;
  }
  return n;
}

void InicializaBits() {
  z.bits[0] = 1;
  for (int i = 1; i < 16; ++i) z.bits[i] = static_cast<unsigned char>(RellenaAbsBits(i));
}

// Bit length of |x|, and 1 for 0: four bits per step through the table.
inline int abs_bits(int32_t x) {
  uint32_t a = Magnitud(x);
  int k = 0;
  while (a > 15) {
    a >>= 4;
    k += 4;
  }
  return k + z.bits[a];
}

// Geometry of a pass: the three quadrants of detail level k, each cut into
// blocks, in stream order. bloque(x, y, w, h, quadrant) is called per block;
// quadrant 0 is top-right, 1 bottom-left, 2 bottom-right.
template <class F>
void ParaCadaBloque(int k, F&& bloque) {
  const int W = z.anchoLL << (k - 1), H = z.altoLL << (k - 1);
  const bool hoja = k == z.nlevelCod;
  const int bw = hoja ? 4 * z.anchoLL : z.anchoLL, bh = hoja ? 4 * z.altoLL : z.altoLL;
  const int cx[3] = {W, 0, W}, cy[3] = {0, H, H};
  for (int q = 0; q < 3; ++q)
    for (int bx = 0; bx < W; bx += bw)
      for (int by = 0; by < H; by += bh) bloque(cx[q] + bx, cy[q] + by, bw, bh, q);
}

// ---------------------------------------------------------------- labelling

// Quantized value of a detail coefficient: floor(|v|/(2 quant) + 1.5) with the
// sign of v, or 0 when |v| cannot reach the threshold. NaN counts as 0; a
// magnitude of 2^30 or more is clamped there (the image is then refused).
int32_t Cuantiza(float v) {
  if (!(std::fabs(v) > z.UmbralPre)) return 0;
  const float s = v * z.DobleQuantInversa;
  const double t = v >= 0 ? double(s) + 1.5 : double(s) - 1.5;  // exact sum
  if (!(std::fabs(t) < double(kMagnitudTope))) return t < 0 ? -kMagnitudTope : kMagnitudTope;
  return int32_t(t);
}

inline void SubeMaximo(uint32_t m) {
  if (int32_t(m) > z.maxSubband) z.maxSubband = int32_t(m);
}

// Members of a group in the order TL, TR, BL, BR.
constexpr int kDx[4] = {0, 1, 0, 1};
constexpr int kDy[4] = {0, 0, 1, 1};

void CalculaSimbolosHojas(int x, int y) {
  const uint32_t umbral = uint32_t(z.umbral);
  const uint32_t doble = 2 * umbral;  // stored one below, so that it stays "small"
  for (int i = 0; i < z.alto / 2; i += 2)
    for (int j = 0; j < z.ancho / 2; j += 2) {
      const int X = x + j, Y = y + i;
      int32_t q[4];
      bool vacio = true;
      for (int m = 0; m < 4; ++m) {
        q[m] = Cuantiza(Coef(X + kDx[m], Y + kDy[m]));
        if (Magnitud(q[m]) > umbral) vacio = false;
      }
      if (!vacio) {
        ++z.gruposCodificados[z.levelCod];
        for (int m = 0; m < 4; ++m) {
          const uint32_t a = Magnitud(q[m]);
          if (a < umbral) {
            q[m] = 0;
            continue;
          }
          if (a == doble) q[m] = q[m] > 0 ? int32_t(doble - 1) : -int32_t(doble - 1);
          SubeMaximo(a);
        }
      }
      for (int m = 0; m < 4; ++m) PonFuente(X + kDx[m], Y + kDy[m], vacio ? -1 : q[m]);
    }
}

void CalculaSimbolos(int x, int y, int w, int h) {
  const uint32_t umbral = uint32_t(z.umbral);
  for (int i = 0; i < h; i += 2)
    for (int j = 0; j < w; j += 2) {
      const int X = x + j, Y = y + i;
      int32_t q[4];
      bool pequenos = true;
      for (int m = 0; m < 4; ++m) {
        q[m] = Cuantiza(Coef(X + kDx[m], Y + kDy[m]));
        if (Magnitud(q[m]) > umbral) pequenos = false;
      }
      bool vacio = true;
      for (int m = 0; m < 4; ++m) {
        const int mx = X + kDx[m], my = Y + kDy[m];
        if (pequenos || Magnitud(q[m]) < umbral) {
          q[m] = Fuente(2 * mx, 2 * my) == -1 ? 0 : 1;  // zero root : isolated zero
        } else {
          SubeMaximo(Magnitud(q[m]));
        }
        if (q[m] != 0) vacio = false;
      }
      if (vacio) {
        if (z.levelCod == 1) ++z.gruposVaciosNivel1;
      } else {
        ++z.gruposCodificados[z.levelCod];
      }
      for (int m = 0; m < 4; ++m) PonFuente(X + kDx[m], Y + kDy[m], vacio ? -1 : q[m]);
    }
}

void CalculaSimbolosLL() {
  for (int y = 0; y < z.altoLL; ++y)
    for (int x = 0; x < z.anchoLL; ++x) {
      const double t = double(Coef(x, y)) + 0.5;  // exact; truncation rounds
      int32_t n = 1;                              // below threshold, NaN included
      if (t >= z.umbral) {
        n = t < double(kMagnitudTope) ? int32_t(t) : kMagnitudTope;
        SubeMaximo(uint32_t(n));
      }
      PonFuente(x, y, n);
    }
}

// Fast labelling: the same labels as the plain functions above, computed
// row pair by row pair. First every cell of the two rows is quantized into a
// buffer, then each group takes its labels from the buffer; both loops make
// every choice by selection, so that the compiler turns them into vector
// code (compiled for the widest instruction set the processor has, chosen in
// one place below). Large levels are labelled on two threads, which share
// nothing but the finer level's labels (only read), each with its own
// maximum and group counts.
struct Resumen {
  int32_t maxSubband = 0;
  int grupos = 0;  // coded groups
  int vacios = 0;  // empty groups
};

constexpr int kAnchoCuadrante = (kLadoMaximo + 1) / 2;  // widest quadrant

// Cuantiza by selection, so that loops of it become vector code: the product
// in single precision, the sum with +-1.5 in double (exact), the clamp to
// +-2^30; a cell whose |v| is not above UmbralPre (NaN included) takes 0
// before the conversion.
[[gnu::always_inline]] inline int32_t CuantizaSel(float v, float umbralPre, float inversa) {
  constexpr double tope = double(kMagnitudTope);
  const double t = double(v * inversa) + (v >= 0.0f ? 1.5 : -1.5);
  const double c = std::min(std::max(t, -tope), tope);
  const bool supera = std::fabs(v) > umbralPre;
  return int32_t(supera ? c : 0.0);
}

// q[j] = Cuantiza(f[j]) for j < n.
[[gnu::always_inline]] inline void CuantizaFila(const float* f, int n, float umbralPre,
                                                float inversa, int32_t* q) {
  for (int j = 0; j < n; ++j) q[j] = CuantizaSel(f[j], umbralPre, inversa);
}

inline uint32_t Max(uint32_t a, uint32_t b) { return a > b ? a : b; }

inline void PonEtiqueta(float* celda, int32_t v) { std::memcpy(celda, &v, sizeof v); }
inline int32_t Etiqueta(const float* celda) {
  int32_t v;
  std::memcpy(&v, celda, sizeof v);
  return v;
}

// Leaf label of a member of quantized value q: -1 in an empty group, 0 below
// the threshold, and 2^(capas+1) one below, with its sign, so that it stays
// small. Chosen by masks rather than by branches, so that loops of it become
// vector code.
[[gnu::always_inline]] inline int32_t EtiquetaHoja(int32_t q, bool vacio, uint32_t umbral) {
  const uint32_t a = Magnitud(q);
  const int32_t signo = (q >> 31) | 1;  // of q, which is not 0 where it is used
  const int32_t v = q - (signo & -int32_t(a == 2 * umbral));
  return (v & -int32_t(a >= umbral)) | -int32_t(vacio);
}

// The n leaf groups of a row pair, quantized in q0 and q1, labelled into f0
// and f1; the largest magnitude of a coded group and the coded groups are
// added to r. Each group stands alone, so the loop becomes vector code. The
// maximum is taken over every group: where it exceeds the threshold it is a
// coded group's (an empty group's magnitudes are at most the threshold), and
// where it does not, no group here was coded and r keeps its own.
[[gnu::always_inline]] inline void HojasDeFilaPar(const int32_t* q0, const int32_t* q1, float* f0,
                                                   float* f1, int n, uint32_t umbral, Resumen& r) {
  uint32_t maximo = 0;
  int grupos = r.grupos;
  for (int g = 0; g < n; ++g) {
    const int32_t tl = q0[2 * g], tr = q0[2 * g + 1], bl = q1[2 * g], br = q1[2 * g + 1];
    const uint32_t mayor = Max(Max(Magnitud(tl), Magnitud(tr)), Max(Magnitud(bl), Magnitud(br)));
    const bool vacio = mayor <= umbral;
    maximo = Max(maximo, mayor);
    grupos += mayor > umbral;
    f0[2 * g] = std::bit_cast<float>(EtiquetaHoja(tl, vacio, umbral));
    f0[2 * g + 1] = std::bit_cast<float>(EtiquetaHoja(tr, vacio, umbral));
    f1[2 * g] = std::bit_cast<float>(EtiquetaHoja(bl, vacio, umbral));
    f1[2 * g + 1] = std::bit_cast<float>(EtiquetaHoja(br, vacio, umbral));
  }
  if (maximo > umbral) r.maxSubband = int32_t(Max(uint32_t(r.maxSubband), maximo));
  r.grupos = grupos;
}

// Level label of a member of quantized value q whose child group is empty or
// not: below the threshold (or in a group of small values) an isolated zero
// 1 or a zero root 0, else q. By masks, as EtiquetaHoja.
[[gnu::always_inline]] inline int32_t EtiquetaMiembro(int32_t q, bool pequenos, bool hijoVacio,
                                                      uint32_t umbral) {
  const int32_t cero = -int32_t(pequenos | (Magnitud(q) < umbral));
  return (q & ~cero) | (int32_t(!hijoVacio) & cero);
}

// The n groups of a level row pair, quantized in q0 and q1, labelled into f0
// and f1. h0 and h1 are the rows of their child groups' TLs: the member at
// column c has its child TL at column 2c. As HojasDeFilaPar, a loop that
// becomes vector code; empty groups are counted too.
[[gnu::always_inline]] inline void NivelDeFilaPar(const int32_t* q0, const int32_t* q1, float* f0,
                                                   float* f1, const float* h0, const float* h1,
                                                   int n, uint32_t umbral, Resumen& r) {
  uint32_t maximo = 0;
  int grupos = r.grupos, vacios = r.vacios;
  for (int g = 0; g < n; ++g) {
    const int32_t tl = q0[2 * g], tr = q0[2 * g + 1], bl = q1[2 * g], br = q1[2 * g + 1];
    const uint32_t mayor = Max(Max(Magnitud(tl), Magnitud(tr)), Max(Magnitud(bl), Magnitud(br)));
    const bool pequenos = mayor <= umbral;
    const int32_t etl = EtiquetaMiembro(tl, pequenos, Etiqueta(h0 + 4 * g) == -1, umbral);
    const int32_t etr = EtiquetaMiembro(tr, pequenos, Etiqueta(h0 + 4 * g + 2) == -1, umbral);
    const int32_t ebl = EtiquetaMiembro(bl, pequenos, Etiqueta(h1 + 4 * g) == -1, umbral);
    const int32_t ebr = EtiquetaMiembro(br, pequenos, Etiqueta(h1 + 4 * g + 2) == -1, umbral);
    const bool vacio = (etl | etr | ebl | ebr) == 0;
    maximo = Max(maximo, mayor);
    grupos += !vacio;
    vacios += vacio;
    const int32_t marca = -int32_t(vacio);  // an empty group is all -1
    f0[2 * g] = std::bit_cast<float>(etl | marca);
    f0[2 * g + 1] = std::bit_cast<float>(etr | marca);
    f1[2 * g] = std::bit_cast<float>(ebl | marca);
    f1[2 * g + 1] = std::bit_cast<float>(ebr | marca);
  }
  if (maximo > umbral) r.maxSubband = int32_t(Max(uint32_t(r.maxSubband), maximo));
  r.grupos = grupos;
  r.vacios = vacios;
}

// Rows i0 to i1 - 1 (even) of the w-wide quadrant with corner (x, y) of a
// level (hoja false) or of the leaf level. On a level, the member at column c
// of row Y has its child group's TL at (2c, 2Y).
struct Cuadrante {
  float* plano;
  std::ptrdiff_t paso;  // row stride
  int x, y, w, i0, i1;
  bool hoja;
  float umbralPre, inversa;
  uint32_t umbral;
};

[[gnu::always_inline]] inline void EtiquetaFilas(const Cuadrante& c, Resumen& r) {
  int32_t q0[kAnchoCuadrante], q1[kAnchoCuadrante];
  for (int i = c.i0; i < c.i1; i += 2) {
    const int Y = c.y + i;
    float* f0 = c.plano + std::ptrdiff_t(Y) * c.paso + c.x;
    float* f1 = f0 + c.paso;
    CuantizaFila(f0, c.w, c.umbralPre, c.inversa, q0);
    CuantizaFila(f1, c.w, c.umbralPre, c.inversa, q1);
    if (c.hoja) {
      HojasDeFilaPar(q0, q1, f0, f1, c.w / 2, c.umbral, r);
    } else {
      const float* h0 = c.plano + std::ptrdiff_t(2 * Y) * c.paso + 2 * c.x;  // child TLs of row Y
      const float* h1 = h0 + 2 * c.paso;                                     // and of row Y + 1
      NivelDeFilaPar(q0, q1, f0, f1, h0, h1, c.w / 2, c.umbral, r);
    }
  }
}

// The labelling kernels compiled for wider vectors. Integer lanes are exact,
// and each float lane performs Cuantiza's own IEEE operations (a product in
// single precision, an exact sum in double; -ffp-contract=off keeps them
// apart), so every instruction set gives the same labels.
using Etiquetador = void (*)(const Cuadrante&, Resumen&);
void EtiquetaFilasBase(const Cuadrante& c, Resumen& r) { EtiquetaFilas(c, r); }
[[gnu::target("avx2")]] void EtiquetaFilasAvx2(const Cuadrante& c, Resumen& r) {
  EtiquetaFilas(c, r);
}
[[gnu::target("avx512f,prefer-vector-width=512")]] void EtiquetaFilasAvx512(const Cuadrante& c,
                                                                           Resumen& r) {
  EtiquetaFilas(c, r);
}

// Kernel set asked for by ZALSimd (-1: the widest the processor offers).
std::atomic<int> simdPedido{-1};

int SimdDelProcesador() {
  if (__builtin_cpu_supports("avx512f")) return 2;
  if (__builtin_cpu_supports("avx2")) return 1;
  return 0;
}

int SimdEnVigor() {
  const int pedido = simdPedido.load();
  const int procesador = SimdDelProcesador();
  return pedido < 0 || pedido > procesador ? procesador : pedido;
}

// The kernels are chosen here and nowhere else.
Etiquetador EtiquetadorEnVigor() {
  switch (SimdEnVigor()) {
    case 2:
      return EtiquetaFilasAvx512;
    case 1:
      return EtiquetaFilasAvx2;
    default:
      return EtiquetaFilasBase;
  }
}

// Runs trabajo(0) here and trabajo(1) on a second thread, or both here when
// no thread can be started (the result is the same). The second thread works
// with a copy of this one's state, taken before it starts.
template <class F>
struct Mitad {
  F* trabajo;
  EstadoZAL estado;
};

template <class F>
void* EjecutaMitad(void* p) {
  const Mitad<F>& m = *static_cast<const Mitad<F>*>(p);
  z = m.estado;
  (*m.trabajo)(1);
  return nullptr;
}

template <class F>
void EnDosHilos(F trabajo) {
  pthread_t hilo;
  Mitad<F> mitad = {&trabajo, z};
  if (pthread_create(&hilo, nullptr, &EjecutaMitad<F>, &mitad) != 0) {
    trabajo(0);
    trabajo(1);
    return;
  }
  trabajo(0);
  pthread_join(hilo, nullptr);
}

// Levels smaller than this are labelled on one thread: starting one costs more.
constexpr int64_t kCeldasPorHilo = 1 << 18;

// Labels the three quadrants of a level (each w x h, corners (0, h), (w, h),
// (w, 0)) and records the level's maximum and group counts.
void EtiquetaCuadrantes(int w, int h, bool hoja) {
  const int cx[3] = {0, w, w}, cy[3] = {h, h, 0};
  Resumen parte[2];
  // Half of each quadrant's rows (an even count) for each thread.
  const int mitad = (h / 2) & ~1;
  const Etiquetador etiqueta = EtiquetadorEnVigor();
  auto trabajo = [&](int t) {
    const int i0 = t == 0 ? 0 : mitad, i1 = t == 0 ? mitad : h;
    for (int q = 0; q < 3; ++q)
      etiqueta({z.Coef, z.anchoBuf, cx[q], cy[q], w, i0, i1, hoja, z.UmbralPre,
                z.DobleQuantInversa, uint32_t(z.umbral)},
               parte[t]);
  };
  if (!z.unHilo && int64_t(w) * h >= kCeldasPorHilo) {
    EnDosHilos(trabajo);
  } else {
    trabajo(0);
    trabajo(1);
  }
  z.maxSubband = parte[0].maxSubband > parte[1].maxSubband ? parte[0].maxSubband : parte[1].maxSubband;
  z.gruposCodificados[z.levelCod] = parte[0].grupos + parte[1].grupos;
  if (z.levelCod == 1) z.gruposVaciosNivel1 = parte[0].vacios + parte[1].vacios;
}

// Symbol count of the level just labelled: fcorrec + bit length of its largest
// magnitude (1 when there is none).
int SimbolosDelNivel() { return z.fcorrec + abs_bits(z.maxSubband); }

// Labels the whole plane, finest level first (a level reads its children's
// labels), and fills simbolosNivel. Returns 0 or kZALQuantPequeno.
int EtiquetaPlano() {
  const int n = z.nlevelCod;
  for (int k = 0; k <= n; ++k) z.gruposCodificados[k] = 0;
  z.gruposVaciosNivel1 = 0;

  z.levelCod = n;
  z.maxSubband = 0;
  if (z.referencia) {
    CalculaSimbolosHojas(0, z.alto / 2);
    CalculaSimbolosHojas(z.ancho / 2, z.alto / 2);
    CalculaSimbolosHojas(z.ancho / 2, 0);
  } else {
    EtiquetaCuadrantes(z.ancho / 2, z.alto / 2, true);
  }
  z.simbolosNivel[n] = SimbolosDelNivel();

  int k = n - 1;
  for (int w = z.ancho / 4, h = z.alto / 4; w >= z.anchoLL && h >= z.altoLL; w /= 2, h /= 2, --k) {
    z.levelCod = k;
    z.maxSubband = 0;
    if (z.referencia) {
      CalculaSimbolos(0, h, w, h);
      CalculaSimbolos(w, h, w, h);
      CalculaSimbolos(w, 0, w, h);
    } else {
      EtiquetaCuadrantes(w, h, false);
    }
    z.simbolosNivel[k] = SimbolosDelNivel();
  }

  z.levelCod = 0;
  z.maxSubband = 0;
  CalculaSimbolosLL();
  z.simbolosNivel[0] = SimbolosDelNivel();

  // Detail levels never announce fewer than one symbol.
  for (k = 1; k <= n; ++k)
    if (z.simbolosNivel[k] < 1) z.simbolosNivel[k] = 1;

  // Degenerate alphabets: a level without significant coefficients (s = 1)
  // still codes isolated zeros and zero roots (symbols 1 and 2) when it has
  // groups, and an LL band without significant values codes symbol 1 and,
  // for an empty level-1 group, the marker 2. Raise the count to 2 exactly
  // there, so that every other stream keeps its bits.
  for (k = 1; k < n; ++k)
    if (z.simbolosNivel[k] == 1 && z.gruposCodificados[k] > 0) z.simbolosNivel[k] = 2;
  if (z.simbolosNivel[0] < 1 || (z.simbolosNivel[0] == 1 && z.gruposVaciosNivel1 > 0))
    z.simbolosNivel[0] = 2;

  // Refuse what the format cannot carry: models of more than 37 symbols,
  // counts beyond their 5-bit field, or a flag G that overflows a cell.
  int M = 0;
  for (k = 0; k <= n; ++k) {
    const int s = z.simbolosNivel[k];
    const int alfabeto = k == 0 ? s : (k == n ? s - 1 : 2 * s - 2);
    if (s > kCampoSimbolos || alfabeto > kSimbolosMaximos) return kZALQuantPequeno;
    if (s > M) M = s;
  }
  if (M - z.fcorrec > kBitsMaximos) return kZALQuantPequeno;
  return kZALOk;
}

// ----------------------------------------------------------------- emission

inline bool PequenaEtiqueta(int32_t e) { return Magnitud(e) < uint32_t(z.cotaContexto); }

// Sign-magnitude field of a detail value of bit length L: bits L-2..capas of
// the magnitude, then the sign; CodificaBits drops the implied top bit.
inline int CampoSignoMagnitud(int32_t e) {
  const int f = int((Magnitud(e) >> (z.capas - 1)) & ~1u);
  return e < 0 ? f + 1 : f;
}

void CodificaMiembro(int32_t e, int mx, int my, int modelo) {
  THistograma* h = &z.Hist[modelo];
  if (e == 1) {
    CodificaSimbolo(1, h);
  } else if (e == 0) {
    CodificaSimbolo(2, h);
  } else {
    const int L = abs_bits(e);
    const int sk = z.simbolosNivel[z.levelCod];
    const bool hijosVacios = Fuente(2 * mx, 2 * my) == -1;
    CodificaSimbolo(hijosVacios ? L + z.fcorrec - 2 + sk : L + z.fcorrec, h);
    CodificaBits(L - z.capas, CampoSignoMagnitud(e));
  }
}

inline void CodificaSimbolosHojas(int32_t e, int modelo) {
  THistograma* h = &z.Hist[modelo];
  if (e == 0) {
    CodificaSimbolo(1, h);
  } else {
    const int L = abs_bits(e);
    CodificaSimbolo(L + z.fcorrec - 1, h);
    CodificaBits(L - z.capas, CampoSignoMagnitud(e));
  }
}

// One block of a level pass (hoja false) or of the leaf pass (hoja true).
void CodificaBloque(int x, int y, int w, int h, bool hoja) {
  for (int i = 0; i < h; i += 2)
    for (int j = 0; j < w; j += 2) {
      const int X = x + j, Y = y + i;
      const int32_t tl = Fuente(X, Y);
      if (tl == -1) continue;  // empty group: its parent already said so
      const int32_t bl = Fuente(X, Y + 1), tr = Fuente(X + 1, Y), br = Fuente(X + 1, Y + 1);
      // The labels do not change while emitting, so all four contexts can be
      // taken up front.
      const int cTL = X > 0 && Y > 0 && PequenaEtiqueta(Fuente(X - 1, Y)) &&
                      PequenaEtiqueta(Fuente(X, Y - 1));
      const int cBL = X > 0 && PequenaEtiqueta(Fuente(X - 1, Y + 1)) && PequenaEtiqueta(tl);
      const int cTR = Y > 0 && PequenaEtiqueta(tl) && PequenaEtiqueta(Fuente(X + 1, Y - 1));
      const int cBR = PequenaEtiqueta(bl) && PequenaEtiqueta(tr);
      if (hoja) {
        CodificaSimbolosHojas(tl, cTL);
        CodificaSimbolosHojas(bl, cBL);
        CodificaSimbolosHojas(tr, cTR);
        CodificaSimbolosHojas(br, cBR);
      } else {
        CodificaMiembro(tl, X, Y, cTL);
        CodificaMiembro(bl, X, Y + 1, cBL);
        CodificaMiembro(tr, X + 1, Y, cTR);
        CodificaMiembro(br, X + 1, Y + 1, cBR);
      }
    }
}

void CodificaSimbolos(int x, int y, int w, int h) { CodificaBloque(x, y, w, h, false); }

// Fast emission, on two threads where possible: one walks the level passes
// and writes each member's symbol and field into batches of items (the same
// items, in the same order, as CodificaBloque codes), the other (the caller)
// codes the batches as they come. The walker only reads the labels and takes
// the numbers of the coder's models; the coder alone touches the models and
// the bit file. The walker thread works with a copy of the coder's state.
constexpr int kItemsPorTanda = 4096;
constexpr int kTandas = 8;
constexpr int64_t kCeldasPorEmisor = int64_t(1) << 20;  // images smaller than this: one thread

struct Tanda {
  int alfabeto;  // >= 0: both models are reset to this many symbols before the items
  int n;
  ItemAritmetico items[kItemsPorTanda];
};

struct Cola {
  pthread_mutex_t cerrojo = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t hayTanda = PTHREAD_COND_INITIALIZER, hayHueco = PTHREAD_COND_INITIALIZER;
  bool hilo = false;       // the walker runs on its own thread
  // Shared, under cerrojo when there are two threads:
  size_t escritas = 0;     // batches handed over by the walker
  size_t leidas = 0;       // batches coded
  bool terminada = false;  // the walker has handed over its last batch
  bool parar = false;      // the coder wants no more: the size limit is passed
  bool esperaHueco = false;  // the walker waits for free slots
  bool esperaTanda = false;  // the coder waits for a batch
  // The walker's own:
  bool detenido = false;   // its copy of parar; from then on items go to `descarte`
  Tanda* actual = nullptr; // the batch being filled
  Tanda tandas[kTandas];
  Tanda descarte;
};

// Codes one batch (either thread mode); false once the size limit is passed.
bool CodificaTanda(Tanda& t) {
  if (t.alfabeto >= 0) {
    InicializaModelo(t.alfabeto, &z.Hist[0]);
    InicializaModelo(t.alfabeto, &z.Hist[1]);
  }
  CodificaItems(t.items, size_t(t.n), z.Hist);
  return !(z.limite >= 0 && LimiteSuperado());
}

// Walker: starts a batch in the next free slot (waiting for one).
void ComienzaTanda(int alfabeto) {
  Cola& cola = *z.cola;
  if (cola.detenido) {
    cola.actual = &cola.descarte;
  } else {
    if (cola.hilo) {
      pthread_mutex_lock(&cola.cerrojo);
      if (cola.escritas - cola.leidas == kTandas) {
        // Full: wait until half the slots are free, so that the coder, the
        // busier thread, wakes this one once per several batches.
        cola.esperaHueco = true;
        while (cola.escritas - cola.leidas > kTandas / 2 && !cola.parar)
          pthread_cond_wait(&cola.hayHueco, &cola.cerrojo);
        cola.esperaHueco = false;
      }
      cola.detenido = cola.parar;
      pthread_mutex_unlock(&cola.cerrojo);
    }
    cola.actual = cola.detenido ? &cola.descarte : &cola.tandas[cola.escritas % kTandas];
  }
  cola.actual->alfabeto = alfabeto;
  cola.actual->n = 0;
}

// Walker: hands the batch over (or, without a second thread, codes it at
// once). Once no more items are wanted, batches are dropped instead.
void EntregaTanda() {
  Cola& cola = *z.cola;
  if (cola.detenido) return;
  if (!cola.hilo) {
    ++cola.escritas;
    ++cola.leidas;
    cola.detenido = cola.parar = !CodificaTanda(*cola.actual);
    return;
  }
  pthread_mutex_lock(&cola.cerrojo);
  ++cola.escritas;
  cola.detenido = cola.parar;
  if (cola.esperaTanda) pthread_cond_signal(&cola.hayTanda);
  pthread_mutex_unlock(&cola.cerrojo);
}

inline void Pon(int modelo, int simbolo, int nbits, int valor) {
  Tanda& t = *z.cola->actual;
  t.items[t.n++] = {valor, uint8_t(simbolo), uint8_t(modelo), uint8_t(nbits)};
  if (t.n == kItemsPorTanda) {
    EntregaTanda();
    ComienzaTanda(-1);
  }
}

// Asks the memory for the two rows of w cells at f (row stride paso), one
// cache line at a time, without waiting for them.
inline void PideFilas(const float* f, int w, std::ptrdiff_t paso) {
  constexpr int kCeldasPorLinea = 64 / sizeof(float);
  for (int j = 0; j < w; j += kCeldasPorLinea) {
    __builtin_prefetch(f + j);
    __builtin_prefetch(f + paso + j);
  }
}

// One block of a level pass (hoja false) or of the leaf pass. Each member's
// item is worked out by selection: its bit length L is std::bit_width of the
// magnitude (what abs_bits gives for a nonzero label, and 0 for 0); members
// without a field get a field of 0 bits, which codes nothing. The contexts are
// formed without branches too (the walk has no chain from one item to the
// next, only choices that go either way at random): a neighbour outside the
// plane is replaced by a cell inside it, whose smallness the missing
// neighbour's flag then discards.
template <bool hoja>
void EmiteBloque(int x, int y, int w, int h) {
  const uint32_t cota = uint32_t(z.cotaContexto);
  auto pequena = [cota](const float* celda) { return int(Magnitud(Etiqueta(celda)) < cota); };
  const int capas = z.capas, fcorrec = z.fcorrec, sk = z.simbolosNivel[z.levelCod];
  const std::ptrdiff_t paso = z.anchoBuf;
  for (int i = 0; i < h; i += 2) {
    const int Y = y + i;
    const float* f0 = z.Coef + Indice(x, Y);
    const float* f1 = f0 + paso;
    const int hayArriba = Y > 0;
    const float* arriba = hayArriba ? f0 - paso : f0;  // row Y - 1, or row Y itself
    const float* hijos0 = hoja ? f0 : z.Coef + Indice(2 * x, 2 * Y);  // child TLs of row Y
    const float* hijos1 = hoja ? f0 : hijos0 + 2 * paso;               // and of row Y + 1
    // The labels were written long before (the finest level first), so they
    // come from memory: the next row pair is asked for while this one is walked.
    if (i + 2 < h) PideFilas(f0 + 2 * paso, w, paso);
    for (int j = 0; j < w; j += 2) {
      const int32_t tl = Etiqueta(f0 + j);
      if (tl == -1) continue;  // empty group: its parent already said so
      const int hayIzquierda = x + j > 0;
      const int d = hayIzquierda;  // 1: the cells to the left; 0: the members themselves
      const int32_t e[4] = {tl, Etiqueta(f1 + j), Etiqueta(f0 + j + 1), Etiqueta(f1 + j + 1)};
      const int pTL = pequena(f0 + j), pBL = pequena(f1 + j), pTR = pequena(f0 + j + 1);
      const int modelo[4] = {hayIzquierda & hayArriba & pequena(f0 + j - d) & pequena(arriba + j),
                             hayIzquierda & pequena(f1 + j - d) & pTL,
                             hayArriba & pTL & pequena(arriba + j + 1), pBL & pTR};
      const float* hijo[4] = {hijos0 + 2 * j, hijos1 + 2 * j, hijos0 + 2 * j + 2, hijos1 + 2 * j + 2};
      for (int m = 0; m < 4; ++m) {
        const int L = std::bit_width(Magnitud(e[m]));
        int simbolo;
        bool campo;
        if constexpr (hoja) {
          campo = e[m] != 0;
          simbolo = campo ? L + fcorrec - 1 : 1;
        } else {
          campo = uint32_t(e[m]) > 1;  // neither 0 (zero root) nor 1 (isolated zero)
          const int base = Etiqueta(hijo[m]) == -1 ? fcorrec - 2 + sk : fcorrec;
          simbolo = campo ? L + base : 2 - e[m];
        }
        Pon(modelo[m], simbolo, campo ? L - capas : 0, CampoSignoMagnitud(e[m]));
      }
    }
  }
}

// The walker's whole work: the level passes 1 to n.
void EmiteNiveles() {
  Cola& cola = *z.cola;
  const int n = z.nlevelCod;
  for (int k = 1; k <= n && !cola.detenido; ++k) {
    z.levelCod = k;
    ComienzaTanda(k < n ? 2 * z.simbolosNivel[k] - 2 : z.simbolosNivel[k] - 1);
    ParaCadaBloque(k, [&](int x, int y, int w, int h, int) {
      if (cola.detenido) return;
      if (k == n)
        EmiteBloque<true>(x, y, w, h);
      else
        EmiteBloque<false>(x, y, w, h);
    });
    EntregaTanda();
  }
  if (cola.hilo) {
    pthread_mutex_lock(&cola.cerrojo);
    cola.terminada = true;
    pthread_cond_signal(&cola.hayTanda);
    pthread_mutex_unlock(&cola.cerrojo);
  }
}

// The walker works with a copy of the coder thread's state, taken before it
// starts; the queue names the coder's models.
void* HiloEmisor(void* coder) {
  z = *static_cast<const EstadoZAL*>(coder);
  EmiteNiveles();
  return nullptr;
}

// The level passes, by the fast path: the walker on a second thread while
// this one codes, or both in turn here when no thread can be started. False,
// with nothing coded, when there is no memory for the queue.
bool CodificaNiveles() {
  std::unique_ptr<Cola> propia(new (std::nothrow) Cola);
  if (!propia) return false;
  Cola& cola = *propia;
  z.cola = &cola;
  // Small images are walked and coded in turn: a thread and its hand-overs
  // would cost more than the walk. Set before the walker starts: it reads it.
  cola.hilo = !z.unHilo && int64_t(z.ancho) * z.alto >= kCeldasPorEmisor;
  pthread_t hilo;
  EstadoZAL copia = z;
  if (!cola.hilo || pthread_create(&hilo, nullptr, &HiloEmisor, &copia) != 0) {
    cola.hilo = false;
    EmiteNiveles();
    z.cola = nullptr;
    return true;
  }
  bool saltar = false;  // past the size limit: the rest is not coded
  for (;;) {
    pthread_mutex_lock(&cola.cerrojo);
    cola.esperaTanda = true;
    while (cola.leidas == cola.escritas && !cola.terminada)
      pthread_cond_wait(&cola.hayTanda, &cola.cerrojo);
    cola.esperaTanda = false;
    const bool fin = cola.leidas == cola.escritas;
    pthread_mutex_unlock(&cola.cerrojo);
    if (fin) break;
    if (!saltar) saltar = !CodificaTanda(cola.tandas[cola.leidas % kTandas]);
    pthread_mutex_lock(&cola.cerrojo);
    ++cola.leidas;
    if (saltar) cola.parar = true;
    if (cola.esperaHueco && (saltar || cola.escritas - cola.leidas <= kTandas / 2))
      pthread_cond_signal(&cola.hayHueco);
    pthread_mutex_unlock(&cola.cerrojo);
  }
  pthread_join(hilo, nullptr);
  z.cola = nullptr;
  return true;
}

void CodificaLL(int32_t e) {
  if (e == 1) {
    CodificaSimbolo(1, &z.Hist[0]);
    return;
  }
  const int L = abs_bits(e);
  CodificaSimbolo(L + z.fcorrec, &z.Hist[0]);
  CodificaBits(L - z.capas - 1, e >> z.capas);
}

void CodificaSimbolosLL() {
  for (int i = 0; i < z.altoLL; i += 2)
    for (int j = 0; j < z.anchoLL; j += 2) {
      CodificaLL(Fuente(j, i));
      if (Fuente(z.anchoLL + j, i) == -1) CodificaSimbolo(2, &z.Hist[0]);
      CodificaLL(Fuente(j + 1, i));
      if (Fuente(j, z.altoLL + i) == -1) CodificaSimbolo(2, &z.Hist[0]);
      CodificaLL(Fuente(j, i + 1));
      if (Fuente(z.anchoLL + j, z.altoLL + i) == -1) CodificaSimbolo(2, &z.Hist[0]);
      CodificaLL(Fuente(j + 1, i + 1));
    }
}

// One block of a level or leaf pass by the plain path; nothing once the
// counting sink has passed the caller's limit (only "above" matters then).
void EmiteUnBloque(int x, int y, int w, int h, bool hoja) {
  if (z.limite >= 0 && LimiteSuperado()) return;
  if (hoja)
    CodificaBloque(x, y, w, h, true);
  else
    CodificaSimbolos(x, y, w, h);
}

void EmiteFlujo(float quant) {
  const int n = z.nlevelCod;
  CodificaBits(13, z.ancho);
  CodificaBits(13, z.alto);
  CodificaBits(32, std::bit_cast<int32_t>(quant));
  CodificaBits(5, z.capas);
  CodificaBits(4, n);
  for (int k = 0; k <= n; ++k) CodificaBits(5, z.simbolosNivel[k]);

  z.levelCod = 0;
  InicializaModelo(z.simbolosNivel[0], &z.Hist[0]);
  CodificaSimbolosLL();

  // Without memory for the queue the plain passes give the same stream.
  if (!z.referencia && CodificaNiveles()) return;

  for (int k = 1; k < n; ++k) {
    z.levelCod = k;
    InicializaModelo(2 * z.simbolosNivel[k] - 2, &z.Hist[0]);
    InicializaModelo(2 * z.simbolosNivel[k] - 2, &z.Hist[1]);
    ParaCadaBloque(k, [](int x, int y, int w, int h, int) { EmiteUnBloque(x, y, w, h, false); });
  }

  z.levelCod = n;
  InicializaModelo(z.simbolosNivel[n] - 1, &z.Hist[0]);
  InicializaModelo(z.simbolosNivel[n] - 1, &z.Hist[1]);
  ParaCadaBloque(n, [](int x, int y, int w, int h, int) { EmiteUnBloque(x, y, w, h, true); });
}

// Removes an output that failed while being written, but only the regular
// file this call created or truncated (never a device such as /dev/full, a
// symbolic link, or a file that replaced ours meanwhile).
void BorraSalidaIncompleta(const char* path, const struct stat& creado) {
  struct stat ahora;
  if (lstat(path, &ahora) == 0 && S_ISREG(ahora.st_mode) && ahora.st_dev == creado.st_dev &&
      ahora.st_ino == creado.st_ino)
    unlink(path);
}

// The encoder; path null codes into the counting sink (or, given flujo, into
// memory) and stores the size, giving up once it passes `limite` bytes (when
// limite >= 0). unHilo: all of the work on the calling thread.
int Codifica(signed char rplanes, signed char levels, float quant, int width, int height,
             float* plane, const char* path, signed char blankborder, int64_t* bytes,
             int64_t limite, bool unHilo, std::vector<uint8_t>* flujo = nullptr) {
  if (sizeof(int) != sizeof(float)) return kZALArquitectura;
  if (rplanes < 2 || rplanes > 12) return kZALRplanes;
  if (plane == nullptr) return kZALSinImagen;
  if (levels > kMaxNiveles) return kZALDemasiadosNiveles;
  if (levels < 3) return kZALPocosNiveles;
  // Every division by the quantization parameter assumes a positive number.
  if (!(quant > 0.0f) || !std::isfinite(quant)) return kZALQuantInvalido;

  AcumuladorTStart(1);
  z.referencia = usarReferencia;
  z.limite = path == nullptr && limite >= 0 ? limite : -1;
  z.unHilo = unHilo;
  z.capas = rplanes;
  z.fcorrec = 2 - z.capas;
  z.umbral = 1 << z.capas;
  z.cotaContexto = 2 * z.umbral;
  z.nlevelCod = levels;
  z.DobleQuantInversa = float(1.0 / (double(quant) + double(quant)));
  z.UmbralPre = float((z.umbral - 1.5) / double(z.DobleQuantInversa));
  z.Coef = plane;
  z.alto = height;
  z.ancho = width;
  z.anchoBuf = width + blankborder;
  z.anchoLL = width >> levels;
  z.altoLL = height >> levels;

  int error = kZALOk;
  if (width != (z.anchoLL >> 1) << (levels + 1) || height != (z.altoLL >> 1) << (levels + 1))
    error = kZALLadoNoMultiplo;
  else if (width < 1 || width > kLadoMaximo || height < 1 || height > kLadoMaximo)
    error = kZALLadoFueraDeRango;
  else if (blankborder < 0)
    error = kZALBordeIncorrecto;
  else if (path == nullptr && bytes == nullptr)
    error = kZALNoEscribe;
  if (error == kZALOk) {
    // Labelling comes before the output is opened, so that an image the
    // format cannot carry is refused before any file is created.
    InicializaBits();
    error = EtiquetaPlano();
  }
  if (error != kZALOk) {
    AcumuladorTStop(1);
    return error;
  }

  struct stat creado = {};
  if (path != nullptr) {
    if (InicializaEscritura(path) != 0) {
      AcumuladorTStop(1);
      return kZALNoEscribe;
    }
    if (lstat(path, &creado) != 0) creado.st_mode = 0;  // then never removed
  } else if (flujo != nullptr) {
    InicializaEscrituraMemoria(flujo, z.limite);
  } else {
    InicializaEscrituraContador(z.limite);
  }

  EmiteFlujo(quant);

  AcumuladorTStop(1);
  const int fin = FinalizaEscrituraFicheroDeBits();
  const int arit = ErrorCodificadorAritmetico();
  if (fin == kAritOk && arit == kAritOk) {
    if (bytes != nullptr) *bytes = BytesEscritos();
    return kZALOk;
  }
  if (path != nullptr && S_ISREG(creado.st_mode)) BorraSalidaIncompleta(path, creado);
  // A model error cannot follow from the checks of EtiquetaPlano; should one
  // appear, the stream is unusable all the same.
  return fin != kAritOk || arit == kAritErrorEscritura ? kZALNoEscribe : kZALQuantPequeno;
}

// ----------------------------------------------------------------- decoding

inline bool PequenaCelda(int32_t c) {
  return (Magnitud(c) & ~uint32_t(z.fcorrecLowerGroup)) < uint32_t(z.cotaContexto);
}

// Value of a detail coefficient of bit length L: implied top bit, the sent
// bits, and the middle of the removed range; the field's last bit is the sign.
int32_t ValorDetalle(int L) {
  const int r = DecodificaBits(L - z.capas);
  const int32_t m = (int32_t(1) << (L - 1)) + ((r >> 1) << z.capas) + (1 << (z.capas - 1));
  return (r & 1) ? -m : m;
}

int32_t ValorLL(int L) {
  const int r = DecodificaBits(L - z.capas - 1);
  return (int32_t(1) << (L - 1)) + (r << z.capas) + (1 << (z.capas - 1));
}

// Symbol of an LL coefficient into cell i; a marker or an empty model here
// means the stream is damaged. conHijosVacios adds the flag G.
bool DecodificaLL(std::ptrdiff_t i, bool conHijosVacios) {
  const int s = DecodificaSimbolo(&z.Hist[0]);
  if (s == 0 || s == 2) return false;
  if (s != 1) PonFuente(i, ValorLL(s - z.fcorrec) + (conHijosVacios ? z.fcorrecLowerGroup : 0));
  return true;
}

// TR, BL or BR of an LL group: an optional marker, then the coefficient.
bool DecodificaLLConMarca(std::ptrdiff_t i) {
  const int s = DecodificaSimbolo(&z.Hist[0]);
  if (s == 0) return false;
  if (s == 2) return DecodificaLL(i, true);  // a below-threshold value stays 0
  PonFuente(i, s == 1 ? 1 : ValorLL(s - z.fcorrec));
  return true;
}

int DecodificaSimbolosLL() {
  for (int i = 0; i < z.altoLL; i += 2)
    for (int j = 0; j < z.anchoLL; j += 2) {
      if (!DecodificaLL(Indice(j, i), false) || !DecodificaLLConMarca(Indice(j + 1, i)) ||
          !DecodificaLLConMarca(Indice(j, i + 1)) || !DecodificaLLConMarca(Indice(j + 1, i + 1)))
        return kZALDatosCorruptos;
    }
  return kZALOk;
}

// Parent test: true when the child group is coded. A flagged parent gets its
// plain value back, an isolated zero (or below-threshold LL value) becomes 0.
bool GrupoCodificado(std::ptrdiff_t padre) {
  const int32_t c = Fuente(padre);
  const int32_t G = z.fcorrecLowerGroup;
  if (c == 0) return false;
  if (c >= G || c <= -G) {
    PonFuente(padre, c > 0 ? c - G : c + G);
    return false;
  }
  if (c == 1) PonFuente(padre, 0);
  return true;
}

bool DecodificaMiembro(int x, int y, int modelo, bool hoja) {
  const int s = DecodificaSimbolo(&z.Hist[modelo]);
  if (s == 0) return false;  // a model without symbols: nothing can be coded here
  if (hoja) {
    if (s != 1) PonFuente(x, y, ValorDetalle(s - z.fcorrec + 1));
    return true;
  }
  const int sk = z.simbolosNivel[z.levelCod];
  if (s == 1) {
    PonFuente(x, y, 1);
  } else if (s > 2 && s <= sk) {
    PonFuente(x, y, ValorDetalle(s - z.fcorrec));
  } else if (s > sk) {
    const int32_t v = ValorDetalle(s + 2 - z.fcorrec - sk);
    PonFuente(x, y, v > 0 ? v + z.fcorrecLowerGroup : v - z.fcorrecLowerGroup);
  }
  return true;
}

// Members in stream order, each context taken after the members before it.
bool DecodificaGrupo(int X, int Y, bool hoja) {
  const int cTL = X > 0 && Y > 0 && PequenaCelda(Fuente(X - 1, Y)) && PequenaCelda(Fuente(X, Y - 1));
  if (!DecodificaMiembro(X, Y, cTL, hoja)) return false;
  const int cBL = X > 0 && PequenaCelda(Fuente(X - 1, Y + 1)) && PequenaCelda(Fuente(X, Y));
  if (!DecodificaMiembro(X, Y + 1, cBL, hoja)) return false;
  const int cTR = Y > 0 && PequenaCelda(Fuente(X, Y)) && PequenaCelda(Fuente(X + 1, Y - 1));
  if (!DecodificaMiembro(X + 1, Y, cTR, hoja)) return false;
  const int cBR = PequenaCelda(Fuente(X, Y + 1)) && PequenaCelda(Fuente(X + 1, Y));
  return DecodificaMiembro(X + 1, Y + 1, cBR, hoja);
}

// Level 1: the parent of the group at (X, Y) is the LL cell at index
// Y*anchoBuf + X + offset.
int DecodificaSimbolosHijosdeLL(std::ptrdiff_t offset, int x, int y, int w, int h) {
  for (int i = 0; i < h; i += 2)
    for (int j = 0; j < w; j += 2) {
      const int X = x + j, Y = y + i;
      if (GrupoCodificado(Indice(X, Y) + offset) && !DecodificaGrupo(X, Y, false))
        return kZALDatosCorruptos;
    }
  return kZALOk;
}

// Levels 2 to n: the parent of the group at (X, Y) is the cell (X/2, Y/2).
int DecodificaBloque(int x, int y, int w, int h, bool hoja) {
  for (int i = 0; i < h; i += 2)
    for (int j = 0; j < w; j += 2) {
      const int X = x + j, Y = y + i;
      if (GrupoCodificado(Indice(X / 2, Y / 2)) && !DecodificaGrupo(X, Y, hoja))
        return kZALDatosCorruptos;
    }
  return kZALOk;
}

int DecodificaSimbolos(int x, int y, int w, int h) { return DecodificaBloque(x, y, w, h, false); }
int DecodificaSimbolosHojas(int x, int y, int w, int h) { return DecodificaBloque(x, y, w, h, true); }

// Fast decoding of a level or leaf block: the same reads and writes in the
// same order as the plain functions above, walking rows with pointers (the
// parent cells of a row pair lie in one row, one or two cells apart), and
// turning each symbol into its cell value through a table made once per
// pass.
struct TablaSimbolos {
  int ancho[kSimbolosMaximos + 1];    // field width after the symbol (0: none)
  int32_t base[kSimbolosMaximos + 1];   // with a field: top bit plus the middle of the removed bits
  int32_t marca[kSimbolosMaximos + 1];  // with a field: G for the empty-children symbols, else 0
  int32_t fijo[kSimbolosMaximos + 1];   // without a field: the cell's value
};

void PreparaTabla(TablaSimbolos& t, int alfabeto, bool hoja) {
  const int sk = z.simbolosNivel[z.levelCod];
  for (int s = 1; s <= alfabeto && s <= kSimbolosMaximos; ++s) {
    int L = 0;  // bit length of a significant value, 0 for the other symbols
    t.marca[s] = 0;
    t.fijo[s] = 0;
    if (hoja) {
      if (s != 1) L = s - z.fcorrec + 1;
    } else if (s == 1) {
      t.fijo[s] = 1;  // isolated zero
    } else if (s > 2 && s <= sk) {
      L = s - z.fcorrec;
    } else if (s > sk) {
      L = s + 2 - z.fcorrec - sk;
      t.marca[s] = z.fcorrecLowerGroup;
    }
    t.ancho[s] = L > 0 ? L - z.capas : 0;
    t.base[s] = L > 0 ? (int32_t(1) << (L - 1)) + (1 << (z.capas - 1)) : 0;
  }
}

// Where the fast block decoding reads its items: on the decoder's registers,
// taken from the bit file for a whole block so that they stay in machine
// registers (the usual way), or through the module's calls one by one (when
// the bit file keeps its plain paths, a test hook). The same items either way.
struct LecturaEnRegistros {
  LectorAritmetico l;
  int Simbolo(THistograma* m) { return DecodificaSimboloLector(l, m); }
  int Bits(int n) { return DecodificaBitsLector(l, n); }
};

struct LecturaPorLlamadas {
  int Simbolo(THistograma* m) { return DecodificaSimbolo(m); }
  int Bits(int n) { return DecodificaBits(n); }
};

// Cell value of one member, decoded with model m; false when the model has
// no symbols (a damaged stream).
template <class Lectura>
inline bool MiembroRapido(Lectura& lec, const TablaSimbolos& t, THistograma* m, int32_t& v) {
  const int s = lec.Simbolo(m);
  if (s == 0) return false;
  if (t.ancho[s] == 0) {
    v = t.fijo[s];
    return true;
  }
  const int r = lec.Bits(t.ancho[s]);
  const int32_t magnitud = t.base[s] + ((r >> 1) << z.capas) + t.marca[s];
  v = (r & 1) ? -magnitud : magnitud;
  return true;
}

// The block at (x, y), w x h; the parent of the group at (x + j, Y) is the
// cell padre(Y) + j * pasoPadre / 2. The reader is worked on in a local copy,
// whose address is never taken, and handed back at the end.
template <class Lectura, class Padre>
int DecodificaBloqueRapido(Lectura& lectura, int x, int y, int w, int h, const TablaSimbolos& t,
                           Padre padreDeFila, int pasoPadre) {
  Lectura lec = lectura;
  const uint32_t cota = uint32_t(z.cotaContexto), sinG = ~uint32_t(z.fcorrecLowerGroup);
  auto pequena = [=](const float* celda) { return (Magnitud(Etiqueta(celda)) & sinG) < cota; };
  const int32_t G = z.fcorrecLowerGroup;
  const std::ptrdiff_t paso = z.anchoBuf;
  THistograma* const hist = z.Hist;
  int error = kZALOk;
  for (int i = 0; i < h && error == kZALOk; i += 2) {
    const int Y = y + i;
    float* f0 = z.Coef + Indice(x, Y);
    float* f1 = f0 + paso;
    const float* arriba = Y > 0 ? f0 - paso : f0;  // row Y - 1, read only when Y > 0
    float* padre = padreDeFila(Y);
    for (int j = 0; j < w; j += 2, padre += pasoPadre) {
      const int32_t c = Etiqueta(padre);
      if (c == 0) continue;  // empty group
      if (c >= G || c <= -G) {  // the parent says so with its flag
        PonEtiqueta(padre, c > 0 ? c - G : c + G);
        continue;
      }
      if (c == 1) PonEtiqueta(padre, 0);
      const int X = x + j;
      int32_t v;
      if (!MiembroRapido(lec, t, &hist[X > 0 && Y > 0 && pequena(f0 + j - 1) && pequena(arriba + j)], v)) {
        error = kZALDatosCorruptos;
        break;
      }
      PonEtiqueta(f0 + j, v);
      if (!MiembroRapido(lec, t, &hist[X > 0 && pequena(f1 + j - 1) && pequena(f0 + j)], v)) {
        error = kZALDatosCorruptos;
        break;
      }
      PonEtiqueta(f1 + j, v);
      if (!MiembroRapido(lec, t, &hist[Y > 0 && pequena(f0 + j) && pequena(arriba + j + 1)], v)) {
        error = kZALDatosCorruptos;
        break;
      }
      PonEtiqueta(f0 + j + 1, v);
      if (!MiembroRapido(lec, t, &hist[pequena(f1 + j) && pequena(f0 + j + 1)], v)) {
        error = kZALDatosCorruptos;
        break;
      }
      PonEtiqueta(f1 + j + 1, v);
    }
  }
  lectura = lec;
  return error;
}

// A level or leaf pass, block by block, on either reader. cuadranteHecho(q)
// is called once quadrant q (0 top-right, 1 bottom-left, 2 bottom-right) has
// been decoded.
template <class Lectura, class F>
int DecodificaNivelRapido(Lectura& lec, int k, const TablaSimbolos& tabla, F&& cuadranteHecho) {
  const std::ptrdiff_t a = z.anchoLL, b = std::ptrdiff_t(z.altoLL) * z.anchoBuf;
  const std::ptrdiff_t offset[3] = {1 - a, z.anchoBuf - b, z.anchoBuf - b - a + 1};
  int error = kZALOk;
  int actual = 0;
  ParaCadaBloque(k, [&](int x, int y, int w, int h, int q) {
    if (error != kZALOk) return;
    for (; actual < q; ++actual) cuadranteHecho(actual);
    if (k == 1) {
      const std::ptrdiff_t o = offset[q];
      error = DecodificaBloqueRapido(
          lec, x, y, w, h, tabla, [&](int Y) { return z.Coef + Indice(x, Y) + o; }, 2);
    } else {
      error = DecodificaBloqueRapido(
          lec, x, y, w, h, tabla, [&](int Y) { return z.Coef + Indice(x / 2, Y / 2); }, 1);
    }
  });
  if (error == kZALOk)
    for (; actual < 3; ++actual) cuadranteHecho(actual);
  return error;
}

// Back to floats, the cells x0 <= x < x1, y0 <= y < y1 of the image area: LL
// values as they are, detail values o as 2 quant (|o| - 1.5). For |o| below
// 2^28, |2o - 3| (below 2^29) times quant's 24-bit mantissa fits the 53 bits
// of a double, so the product is exact there and rounds to float once, as in
// Decuantiza; larger values go the long double way. Each cell is done on its
// own, so the plane can be done region by region in any order.
struct Region {
  int x0, y0, x1, y1;
};

// The detail cells c[0..n), when none is 2^28 or more in magnitude: every
// choice by selection, so that the loop becomes vector code (the products
// being exact, each lane rounds to float once, as the plain loop does). False,
// with nothing changed, when some cell needs the long double way.
[[gnu::always_inline]] inline bool DecuantizaTramo(float* c, int n, double q) {
  constexpr int32_t kExacto = int32_t(1) << 28;
  uint32_t grandes = 0;  // |o| >= 2^28: o + 2^28 - 1 outside 0 .. 2^29 - 2
  for (int j = 0; j < n; ++j)
    grandes |= uint32_t(Etiqueta(c + j) + (kExacto - 1)) > uint32_t(2 * kExacto - 2);
  if (grandes != 0) return false;
  for (int j = 0; j < n; ++j) {
    const int32_t o = Etiqueta(c + j);
    const int32_t tres = ((o >> 31) | 1) * -3;  // -3 for o > 0, +3 for o < 0
    const float f = float((2.0 * double(o) + double(tres)) * q);
    // A zero stays 0 (integer 0 and float 0.0 share their bits).
    c[j] = std::bit_cast<float>(std::bit_cast<int32_t>(f) & -int32_t(o != 0));
  }
  return true;
}

void DecuantizaRegion(Region r) {
  const double q = z.QUniforme;
  constexpr int32_t kExacto = int32_t(1) << 28;
  for (int y = r.y0; y < r.y1; ++y) {
    float* fila = z.Coef + Indice(0, y);
    int x = r.x0;
    if (y < z.altoLL)
      for (; x < z.anchoLL && x < r.x1; ++x) fila[x] = float(Etiqueta(fila + x));
    if (x < r.x1 && DecuantizaTramo(fila + x, r.x1 - x, q)) continue;
    for (; x < r.x1; ++x) {
      const int32_t o = Etiqueta(fila + x);
      if (o == 0) continue;  // integer 0 and float 0.0 share their bits
      if (o < kExacto && o > -kExacto) {
        const double d = double(o);
        fila[x] = float((o > 0 ? 2.0 * d - 3.0 : 2.0 * d + 3.0) * q);
      } else {
        const int64_t f = o > 0 ? 2 * int64_t(o) - 3 : 2 * int64_t(o) + 3;
        fila[x] = float(static_cast<long double>(f) * static_cast<long double>(z.QUniforme));
      }
    }
  }
}

// Decoding on two threads: while this thread decodes, a companion faults in
// the pages of the new plane (so that the decoding loop does not stop for the
// kernel) and dequantizes each region of the plane once no later read or
// write of the decoding can reach it. The leaf pass (level n, whose quadrants
// are the image's halves) reads and writes only the cells of level n and
// level n - 1, and of these only its own quadrant, the parents of its
// groups, the column left of the top-right and bottom-right quadrants and
// the row above the bottom-left and bottom-right ones. So, with w, h the
// image's sides:
//  - when the leaf pass starts: everything coarser than level n - 1, the
//    top-left w/4 x h/4;
//  - after its top-right quadrant: level n - 1's top-right quadrant and the
//    leaf top-right quadrant but its last row (read by the bottom-right);
//  - after its bottom-left quadrant: level n - 1's bottom-left and the leaf
//    bottom-left but its last column (read by the bottom-right);
//  - at the end, the rest, shared by both threads.
constexpr int kFasesDecodificacion = 4;
constexpr int kFaseAbandono = 100;  // the decoding failed: the companion stops
constexpr size_t kCeldasPorAcompanante = size_t(1) << 20;  // smaller planes: one thread

struct Acompanante {
  pthread_t hilo;
  std::atomic<int> fase{0};  // phases reached by the decoding thread
  size_t celdas = 0;
  EstadoZAL estado;  // the decoding thread's state at the start, for the companion's own
};

// The regions of a phase (1 to 4); in the last, `parte` 0 is the companion's
// share and 1 the decoding thread's.
int RegionesDeFase(int fase, int parte, Region* r) {
  const int w = z.ancho, h = z.alto, w2 = w / 2, h2 = h / 2, w4 = w / 4, h4 = h / 4;
  const int medio = h2 + (h - h2) / 2;  // the bottom-right quadrant split between the threads
  switch (fase) {
    case 1:
      r[0] = {0, 0, w4, h4};
      return 1;
    case 2:
      r[0] = {w4, 0, w2, h4};
      r[1] = {w2, 0, w, h2 - 1};
      return 2;
    case 3:
      r[0] = {0, h4, w4, h2};
      r[1] = {0, h2, w2 - 1, h};
      return 2;
    default:
      if (parte == 1) {
        r[0] = {w2, medio, w, h};
        return 1;
      }
      r[0] = {w4, h4, w2, h2};
      r[1] = {w2, h2 - 1, w, h2};
      r[2] = {w2 - 1, h2, w2, h};
      r[3] = {w2, h2, w, medio};
      return 4;
  }
}

void DecuantizaFase(int fase, int parte) {
  Region r[4];
  const int n = RegionesDeFase(fase, parte, r);
  for (int i = 0; i < n; ++i) DecuantizaRegion(r[i]);
}

void* HiloAcompanante(void* p) {
  Acompanante& a = *static_cast<Acompanante*>(p);
  z = a.estado;
#ifdef MADV_POPULATE_WRITE
  // Pages already in place, or a kernel without this advice: nothing lost.
  const uintptr_t pagina = uintptr_t(sysconf(_SC_PAGESIZE));
  const uintptr_t inicio = (uintptr_t(z.Coef) + pagina - 1) & ~(pagina - 1);
  const uintptr_t fin = (uintptr_t(z.Coef + a.celdas)) & ~(pagina - 1);
  if (fin > inicio) madvise(reinterpret_cast<void*>(inicio), fin - inicio, MADV_POPULATE_WRITE);
#endif
  for (int f = 1; f <= kFasesDecodificacion; ++f) {
    int vista;
    while ((vista = a.fase.load(std::memory_order_acquire)) < f) a.fase.wait(vista);
    if (vista == kFaseAbandono) break;
    DecuantizaFase(f, 0);
  }
  return nullptr;
}

void AvisaFase(Acompanante* a, int fase) {
  if (a == nullptr) return;
  a->fase.store(fase, std::memory_order_release);
  a->fase.notify_one();
}

// The passes; with a companion, the phases of the leaf pass are told to it.
int DecodificaPasadas(Acompanante* acompanante) {
  const int n = z.nlevelCod;
  z.levelCod = 0;
  InicializaModelo(z.simbolosNivel[0], &z.Hist[0]);
  int error = DecodificaSimbolosLL();

  const std::ptrdiff_t a = z.anchoLL, b = std::ptrdiff_t(z.altoLL) * z.anchoBuf;
  const std::ptrdiff_t offset[3] = {1 - a, z.anchoBuf - b, z.anchoBuf - b - a + 1};
  for (int k = 1; k <= n && error == kZALOk; ++k) {
    z.levelCod = k;
    const int alfabeto = k == n ? z.simbolosNivel[k] - 1 : 2 * z.simbolosNivel[k] - 2;
    InicializaModelo(alfabeto, &z.Hist[0]);
    InicializaModelo(alfabeto, &z.Hist[1]);
    if (z.referencia) {
      ParaCadaBloque(k, [&](int x, int y, int w, int h, int q) {
        if (error != kZALOk) return;
        if (k == 1)
          error = DecodificaSimbolosHijosdeLL(offset[q], x, y, w, h);
        else if (k < n)
          error = DecodificaSimbolos(x, y, w, h);
        else
          error = DecodificaSimbolosHojas(x, y, w, h);
      });
      continue;
    }
    TablaSimbolos tabla;
    PreparaTabla(tabla, alfabeto, k == n);
    if (k == n) AvisaFase(acompanante, 1);
    // Phases 2 to 4 follow the leaf quadrants 0 to 2.
    auto cuadranteHecho = [&](int q) {
      if (k == n) AvisaFase(acompanante, q + 2);
    };
    if (LectorDisponible()) {
      LecturaEnRegistros lec{TomaLector()};
      error = DecodificaNivelRapido(lec, k, tabla, cuadranteHecho);
      DevuelveLector(lec.l);
    } else {
      LecturaPorLlamadas lec;
      error = DecodificaNivelRapido(lec, k, tabla, cuadranteHecho);
    }
  }
  return error;
}

// Back to floats: LL values as they are, detail values o as 2 quant (|o| - 1.5).
void Decuantiza() {
  for (int y = 0; y < z.alto; ++y)
    for (int x = 0; x < z.ancho; ++x) {
      const std::ptrdiff_t i = Indice(x, y);
      const int32_t o = Fuente(i);
      if (o == 0) continue;  // integer 0 and float 0.0 share their bits
      if (x < z.anchoLL && y < z.altoLL) {
        z.Coef[i] = float(o);
      } else {
        // |2o - 3| and quant's 24-bit mantissa multiply exactly in long double
        // (64-bit mantissa), so the product is rounded to float only once.
        const int64_t f = o > 0 ? 2 * int64_t(o) - 3 : 2 * int64_t(o) + 3;
        z.Coef[i] = float(static_cast<long double>(f) * static_cast<long double>(z.QUniforme));
      }
    }
}

// The header fields the encoder can write; anything else is refused before a
// plane is allocated.
bool CabeceraValida(const ZALCabecera& c) {
  const int n = c.levels, fcorrec = 2 - c.rplanes;
  int M = 0;
  for (int k = 0; k <= n; ++k) {
    const int s = c.simbolos[k];
    if (k > 0 && s < 1) return false;
    if (k > 0 && k < n && 2 * s - 2 > kSimbolosMaximos) return false;
    if (s > M) M = s;
  }
  return M - fcorrec <= kBitsMaximos;
}

// Reads the header from the open bit file into c, each field as it comes (a
// refused header leaves the fields read so far). 0 or kZALCabeceraCorrupta.
int LeeCabecera(ZALCabecera& c) {
  c.ancho = DecodificaBits(13);
  c.alto = DecodificaBits(13);
  c.quant = std::bit_cast<float>(DecodificaBits(32));
  c.rplanes = DecodificaBits(5);
  c.levels = DecodificaBits(4);
  const int n = c.levels;
  const int lado = 1 << (n + 1);
  if (c.rplanes < 2 || c.rplanes > 12 || n < 3 || n > kMaxNiveles || c.ancho < 1 || c.alto < 1 ||
      c.ancho % lado != 0 || c.alto % lado != 0)
    return kZALCabeceraCorrupta;
  for (int k = 0; k <= n; ++k) c.simbolos[k] = DecodificaBits(5);
  return CabeceraValida(c) ? kZALOk : kZALCabeceraCorrupta;
}

int Decodifica(signed char* rplanes, signed char* levels, float* quant, int* width, int* height,
               float** plane, const char* path, FuenteBytes* fuente, signed char blankborder) {
  *plane = nullptr;
  z.referencia = usarReferencia;
  if (blankborder < 0) return kZALBordeIncorrecto;
  const int abierto = fuente != nullptr ? InicializaLecturaFuente(fuente)
                      : path != nullptr ? InicializaLecturaFicheroDeBits(path)
                                        : kAritNoAbre;
  if (abierto != 0) return kZALNoLee;

  ZALCabecera c;
  const int cabecera = LeeCabecera(c);
  *width = c.ancho;
  *height = c.alto;
  *quant = c.quant;
  *rplanes = static_cast<signed char>(c.rplanes);
  *levels = static_cast<signed char>(c.levels);
  if (cabecera != kZALOk) {
    FinalizaLecturaFicheroDeBits();
    return cabecera;
  }
  z.ancho = c.ancho;
  z.anchoBuf = z.ancho + blankborder;
  z.alto = c.alto;
  z.QUniforme = c.quant;
  z.capas = c.rplanes;
  z.nlevelCod = c.levels;
  const int n = z.nlevelCod;
  for (int k = 0; k <= n; ++k) z.simbolosNivel[k] = c.simbolos[k];
  z.fcorrec = 2 - z.capas;
  z.umbral = 1 << z.capas;
  z.cotaContexto = 2 * z.umbral;
  int M = 0;
  for (int k = 0; k <= n; ++k)
    if (z.simbolosNivel[k] > M) M = z.simbolosNivel[k];
  z.fcorrecLowerGroup = int32_t(1) << (M - z.fcorrec);
  InicializaBits();

  // Sides are below 8192 here, so the cell count cannot overflow.
  const size_t celdas = size_t(z.anchoBuf) * size_t(z.alto);
  float* nuevo = static_cast<float*>(std::calloc(celdas, sizeof(float)));
  if (nuevo == nullptr) {
    FinalizaLecturaFicheroDeBits();
    return kZALSinMemoria;
  }
  z.Coef = nuevo;
  z.anchoLL = z.ancho >> n;
  z.altoLL = z.alto >> n;

  // Large planes are faulted in and dequantized by a companion thread while
  // this one decodes; the plain path keeps one thread and the plain loop.
  Acompanante acompanante;
  acompanante.celdas = celdas;
  acompanante.estado = z;
  const bool conAcompanante = !z.referencia && celdas >= kCeldasPorAcompanante &&
                              pthread_create(&acompanante.hilo, nullptr, &HiloAcompanante,
                                             &acompanante) == 0;
  const int error = DecodificaPasadas(conAcompanante ? &acompanante : nullptr);
  const bool fallo = error != kZALOk || ErrorCodificadorAritmetico() != kAritOk;
  if (conAcompanante) {
    if (fallo) {
      AvisaFase(&acompanante, kFaseAbandono);
    } else {
      AvisaFase(&acompanante, kFasesDecodificacion);
      DecuantizaFase(kFasesDecodificacion, 1);
    }
    pthread_join(acompanante.hilo, nullptr);
  }
  if (fallo) {
    FinalizaLecturaFicheroDeBits();
    std::free(nuevo);
    z.Coef = nullptr;
    return kZALDatosCorruptos;
  }
  if (z.referencia) {
    Decuantiza();
  } else if (!conAcompanante) {
    for (int f = 1; f <= kFasesDecodificacion; ++f) DecuantizaFase(f, 0);
    DecuantizaFase(kFasesDecodificacion, 1);
  }
  *plane = nuevo;
  return kZALOk;
}

}  // namespace

void ZALReferencia(bool on) { usarReferencia = on; }

int ZALSimd(int simd) {
  simdPedido = simd;
  return SimdEnVigor();
}

int ZALCodificador(signed char rplanes, signed char levels, float quant, int width, int height,
                   float* plane, const char* path, signed char blankborder) {
  return Codifica(rplanes, levels, quant, width, height, plane, path, blankborder, nullptr, -1,
                  false);
}

int ZALCodificadorTamano(signed char rplanes, signed char levels, float quant, int width,
                         int height, float* plane, signed char blankborder, int64_t* bytes,
                         int64_t limite, bool unHilo) {
  int64_t tamano = 0;
  const int error = Codifica(rplanes, levels, quant, width, height, plane, nullptr, blankborder,
                             &tamano, limite, unHilo);
  if (bytes != nullptr) *bytes = tamano;
  return error;
}

int ZALCodificadorMemoria(signed char rplanes, signed char levels, float quant, int width,
                          int height, float* plane, signed char blankborder, int64_t* bytes,
                          std::vector<uint8_t>* flujo, int64_t limite, bool unHilo) {
  if (flujo == nullptr) return kZALNoEscribe;
  int64_t tamano = 0;
  const int error = Codifica(rplanes, levels, quant, width, height, plane, nullptr, blankborder,
                             &tamano, limite, unHilo, flujo);
  if (bytes != nullptr) *bytes = tamano;
  return error;
}

int ZALGuardaFlujo(const std::vector<uint8_t>& flujo, const char* path) {
  const int codigo = GuardaFlujo(path, flujo);
  if (codigo == kAritOk) return kZALOk;
  // Only a file this call wrote is removed (it was created or truncated).
  struct stat creado;
  if (codigo == kAritErrorEscritura && lstat(path, &creado) == 0 && S_ISREG(creado.st_mode))
    BorraSalidaIncompleta(path, creado);
  return kZALNoEscribe;
}

int ZALDecodificador(signed char* rplanes, signed char* levels, float* quant, int* width,
                     int* height, float** plane, const char* path, signed char blankborder) {
  AcumuladorTStart(2);
  const int error =
      Decodifica(rplanes, levels, quant, width, height, plane, path, nullptr, blankborder);
  AcumuladorTStop(2);
  if (error == kZALOk) FinalizaLecturaFicheroDeBits();
  return error;
}

int ZALDecodificadorFuente(signed char* rplanes, signed char* levels, float* quant, int* width,
                           int* height, float** plane, FuenteBytes* fuente,
                           signed char blankborder) {
  *plane = nullptr;
  if (fuente == nullptr) return kZALNoLee;
  AcumuladorTStart(2);
  const int error =
      Decodifica(rplanes, levels, quant, width, height, plane, nullptr, fuente, blankborder);
  AcumuladorTStop(2);
  if (error == kZALOk) FinalizaLecturaFicheroDeBits();
  return error;
}

int ZALLeeCabecera(FuenteBytes* fuente, ZALCabecera* cabecera) {
  if (fuente == nullptr || cabecera == nullptr || InicializaLecturaFuente(fuente) != 0)
    return kZALNoLee;
  const int error = LeeCabecera(*cabecera);
  FinalizaLecturaFicheroDeBits();
  return error;
}

const char* ZALTextoError(int code) {
  switch (code) {
    case kZALArquitectura: return "Architecture not supported (different sizes of int and float)";
    case kZALRplanes: return "Incorrect rplane parameter";
    case kZALSinImagen: return "Image must be loaded before compressed";
    case kZALDemasiadosNiveles: return "Too many decomposition levels";
    case kZALPocosNiveles: return "Number of decomposition levels too low";
    case kZALLadoNoMultiplo: return "Image side should be multiple of 2^(level+1)";
    case kZALNoEscribe: return "Cannot write file";
    case kZALNoLee: return "Cannot read file";
    case kZALSinMemoria: return "Insuficient memory available";
    case kZALQuantPequeno: return "Quantization parameter too small for this image";
    case kZALLadoFueraDeRango: return "Image side should be between 1 and 8191";
    case kZALCabeceraCorrupta: return "Corrupt compressed file: invalid header";
    case kZALDatosCorruptos: return "Corrupt compressed file: invalid data";
    case kZALBordeIncorrecto: return "Incorrect blank border";
    case kZALQuantInvalido: return "Incorrect quantization parameter";
    default: return "Unknown error";
  }
}

void ZALCheckError(int code, char* buffer) {
  std::snprintf(buffer, 128, "%s (error #%d)", ZALTextoError(code), code + 200);
}
