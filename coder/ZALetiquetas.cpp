// Labelling: the encoder's first pass over the transformed plane, which
// quantizes every coefficient and writes in its cell the label the emission
// codes (one integer per cell), from the finest level up to the LL band; it
// also counts the symbols each level's model needs. The plain functions
// (CalculaSimbolos*) are the reference the fast kernels are checked against;
// the kernels are compiled for several instruction sets, chosen in one place.
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>

#include "coder/ZALinterno.h"

namespace zalcoder {
namespace {

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

}  // namespace

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
  return CierraSimbolos();
}

// The symbol counts as the header announces them, from each level's own
// (simbolosNivel) and the group counts; refuses what the format cannot carry.
int CierraSimbolos() {
  const int n = z.nlevelCod;
  int k;
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

}  // namespace zalcoder

using namespace zalcoder;

int ZALSimd(int simd) {
  simdPedido = simd;
  return SimdEnVigor();
}

