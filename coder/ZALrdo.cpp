// The rate-distortion labeller (ZAL_RDO, --rdo): a second way to label the
// transformed plane, which chooses for every group and coefficient what to
// send by minimising D + lambda R instead of by fixed thresholds. Its labels
// go to the same emission, so streams and decoder are unchanged.
//
// Outline. The default labeller runs first; its labels give the first bit
// costs: the emission's symbols counted per level, model and symbol class,
// -log2 of their frequency (raw bits at one bit each). Then a bottom-up sweep,
// finest level first, weighs every 2x2 group: the distortion if it and its
// descendants are dropped against the best D + lambda R if it is coded, where
// each member picks a bin among {0, 1, nearest - 1, nearest} and whether its
// child group is coded. Contexts inside a group are exact; neighbours outside
// it are read from the previous labels. Level-1 groups are weighed against the
// LL band's marker. The labels are then written top-down, and the whole
// (costs, decisions) is run twice. Distortion is measured in the image
// domain: each subband's squared error is weighted by the energy of its
// synthesis functions.
//
// Memory: a copy of the coefficients, one cell per coefficient for the
// decisions and one for the groups' two costs (three plane-sized arrays),
// in this mode only. Large levels are swept on two threads.
#include <pthread.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "coder/ZALinterno.h"

namespace zalcoder {
namespace {

// lambda = kAlfa * Delta^2, Delta = 2 quant 2^rplanes the width of a bin.
// Measured on four photographs: 0.16 within 0.03 dB of it, 0.08 up to 0.13 dB worse.
constexpr double kAlfa = 0.12;
constexpr double kPrevia = 0.5;  // counts every symbol class starts with
constexpr int kPasadas = 2;
constexpr int kClases = 64;  // level classes: 2 + 2 per bit length (at most 30)
constexpr float kInf = INFINITY;
constexpr int64_t kCeldasPorHilo = 1 << 16;  // smaller levels: one thread

// Symbol classes. Levels 1 to n-1: 0 isolated zero, 1 zero root, and a bin of
// bit length l at 2l (child group coded) or 2l + 1 (child group empty). Leaf
// level: 0 zero, l a bin of bit length l.
inline int ClaseNivel(uint32_t b, int hijo) {
  return b == 0 ? 1 - hijo : 2 * std::bit_width(b) + 1 - hijo;
}
inline int ClaseHoja(uint32_t b) { return std::bit_width(b); }

struct Contexto {
  float* P;        // the plane: the current labels
  const float* C;  // the coefficients
  float* A;        // per group: D dropped at its TL cell, J coded at TL + 1
  int32_t* B;      // per member: (bin << 1) | child group coded
  std::ptrdiff_t paso;
  int n, anchoLL, altoLL, capas;
  uint32_t cota;  // 2^(capas+1): labels below it are small
  float umbralPre, inversa;
  double quant, lambda;
  double r1;  // reconstruction of bin 1
  double paso2T, base;  // reconstruction of bin b >= 1: b paso2T + base
  float diminuto;       // |v| at most this: bin 0 beats every other
  double peso[kMaxNiveles + 1][3];  // per level and quadrant (TR, BL, BR)
  // lambda * bits (symbol and raw bits) per level, model and class
  float coste[kMaxNiveles + 1][2][kClases];
  float costeMarca, costeSinMarca;  // lambda * bits of an LL marker, or of none
  bool unHilo;
};

inline int32_t Lee(const float* p, std::ptrdiff_t i) { return Etiqueta(p + i); }
inline bool Pequena(const Contexto& c, std::ptrdiff_t i) {
  return Magnitud(Lee(c.P, i)) < c.cota;
}

// Runs f(0) here and f(1) on a second thread (both here when there is no
// second thread). The work reads no per-thread state.
template <class F>
void EnDos(bool dos, F f) {
  struct Arg {
    F* f;
  } arg{&f};
  pthread_t hilo;
  if (!dos || pthread_create(&hilo, nullptr, [](void* p) -> void* {
        (*static_cast<Arg*>(p)->f)(1);
        return nullptr;
      }, &arg) != 0) {
    f(0);
    f(1);
    return;
  }
  f(0);
  pthread_join(hilo, nullptr);
}

// The rows (group rows, even) of each quadrant of level k that thread t
// takes: f(t, cx, cy, w, i0, i1, quadrant).
template <class F>
void Reparte(const Contexto& c, int k, F f) {
  const int W = c.anchoLL << (k - 1), H = c.altoLL << (k - 1);
  const int cx[3] = {W, 0, W}, cy[3] = {0, H, H};
  const int mitad = (H / 2) & ~1;
  EnDos(!c.unHilo && int64_t(W) * H >= kCeldasPorHilo, [&](int t) {
    for (int q = 0; q < 3; ++q) f(t, cx[q], cy[q], W, t ? mitad : 0, t ? H : mitad, q);
  });
}

// Energy of the 1-D synthesis of a unit coefficient at depth d (1 the
// finest), of the high or the low band, through the transform's own taps.
double Energia1D(int d, bool alta) {
  static constexpr double bajo[5] = {0.852698684, 0.418092281, -0.110624403, -0.0645388812,
                                     0.0378284603};
  static constexpr double alto[4] = {0.788485646, -0.377402872, -0.04068942, 0.0238494705};
  const int N = 32 << d;
  std::vector<double> x(N, 0.0), y(N);
  int len = N >> (d - 1);
  x[(alta ? len / 2 : 0) + len / 4] = 1.0;
  for (; len <= N; len *= 2) {
    for (int m = 0; m < len / 2; ++m) {
      y[2 * m] = x[m];
      y[2 * m + 1] = x[len / 2 + m];
    }
    auto at = [&](int i) { return y[i < 0 ? -i : i >= len ? 2 * (len - 1) - i : i]; };
    for (int i = 0; i < len; ++i) {
      const double* h = i % 2 ? bajo : alto;
      const int taps = i % 2 ? 5 : 4;
      double s = h[0] * at(i);
      for (int t = 1; t < taps; ++t) s += h[t] * (at(i - t) + at(i + t));
      x[i] = s;
    }
  }
  double e = 0;
  for (double v : x) e += v * v;
  return e;
}

// ---- bit costs from the current labels ----------------------------------

struct Cuentas {
  double nivel[kMaxNiveles + 1][2][kClases] = {};
  double vaciosNivel1 = 0;
};

void CuentaNivel(const Contexto& c, int k, Cuentas& cu, int cx, int cy, int w, int i0, int i1) {
  const bool hoja = k == c.n;
  for (int i = i0; i < i1; i += 2)
    for (int j = 0; j < w; j += 2) {
      const int X = cx + j, Y = cy + i;
      const std::ptrdiff_t t = Y * c.paso + X;
      const int32_t tl = Lee(c.P, t);
      if (tl == -1) {
        if (k == 1) cu.vaciosNivel1 += 1;
        continue;
      }
      const std::ptrdiff_t m[4] = {t, t + c.paso, t + 1, t + c.paso + 1};  // TL BL TR BR
      const int ctx[4] = {X > 0 && Y > 0 && Pequena(c, t - 1) && Pequena(c, t - c.paso),
                          X > 0 && Pequena(c, t + c.paso - 1) && Pequena(c, t),
                          Y > 0 && Pequena(c, t) && Pequena(c, t + 1 - c.paso),
                          Pequena(c, m[1]) && Pequena(c, m[2])};
      for (int u = 0; u < 4; ++u) {
        const int32_t e = Lee(c.P, m[u]);
        int clase;
        if (hoja) {
          clase = e == 0 ? 0 : std::bit_width(Magnitud(e)) - c.capas;
        } else if (e == 0 || e == 1) {
          clase = 1 - e;
        } else {
          const int mx = X + (u >> 1), my = Y + (u & 1);
          const bool hijo = Lee(c.P, std::ptrdiff_t(2 * my) * c.paso + 2 * mx) != -1;
          clase = 2 * (std::bit_width(Magnitud(e)) - c.capas) + 1 - hijo;
        }
        cu.nivel[k][ctx[u]][clase] += 1;
      }
    }
}

void PreparaCostes(Contexto& c) {
  Cuentas parte[2];
  for (int k = 1; k <= c.n; ++k)
    Reparte(c, k, [&](int t, int cx, int cy, int w, int i0, int i1, int) {
      CuentaNivel(c, k, parte[t], cx, cy, w, i0, i1);
    });
  for (int k = 1; k <= c.n; ++k) {
    const bool hoja = k == c.n;
    const int clases = hoja ? 31 : kClases;
    for (int ctx = 0; ctx < 2; ++ctx) {
      double total = 0;
      for (int s = 0; s < clases; ++s) total += parte[0].nivel[k][ctx][s] + parte[1].nivel[k][ctx][s];
      // The prior spreads over the classes a level can use: up to one bit
      // length beyond the largest seen.
      int usadas = hoja ? 2 : 3;
      for (int s = 0; s < clases; ++s)
        if (parte[0].nivel[k][ctx][s] + parte[1].nivel[k][ctx][s] > 0)
          usadas = std::max(usadas, hoja ? s + 2 : (s | 1) + 3);
      usadas = std::min(usadas, clases);
      for (int s = 0; s < kClases; ++s) {
        const double cnt = s < clases ? parte[0].nivel[k][ctx][s] + parte[1].nivel[k][ctx][s] : 0;
        const double bits = -std::log2((cnt + kPrevia) / (total + kPrevia * usadas));
        const int crudos = hoja ? s : (s < 2 ? 0 : s / 2);  // sign and magnitude bits
        c.coste[k][ctx][s] = float(c.lambda * (bits + crudos));
      }
    }
  }
  // The LL model: one symbol per LL coefficient and one marker per empty
  // level-1 group.
  const double simbolos = double(c.anchoLL) * c.altoLL;
  const double marcas = parte[0].vaciosNivel1 + parte[1].vaciosNivel1;
  const double p = (marcas + kPrevia) / (simbolos + marcas + 2 * kPrevia);
  c.costeMarca = float(c.lambda * -std::log2(p));
  c.costeSinMarca = float(c.lambda * -std::log2(1 - p));
}

// ---- decisions, finest level first ----------------------------------------

// The best choice of one member under each of its two models, for each
// smallness (bin at most 1, or not): cost and decision.
struct Opciones {
  float coste[2][2];
  int32_t decision[2][2];
};

// Bin of the default quantizer, the nearest reconstruction at or above 1.
inline uint32_t BinCercano(const Contexto& c, float a) {
  if (!(a > c.umbralPre)) return 0;
  const double t = double(a * c.inversa) + 1.5;
  const double tope = double(kMagnitudTope);
  return uint32_t(t < tope ? t : tope) >> c.capas;
}

// Member of value v (weight peso); with dH, jH its child group's costs (a
// leaf has none: hoja). Only the models x0 to x1 are weighed: the others
// stay at infinity, as the member cannot be coded with them.
template <bool hoja>
inline void EvaluaMiembro(const Contexto& c, int k, float v, double peso, float dH, float jH,
                          int x0, int x1, Opciones& o) {
  const float a = std::fabs(v);
  uint32_t bins[4];
  int nb = 0;
  bins[nb++] = 0;
  if (a > c.diminuto) {
    const uint32_t bc = BinCercano(c, a);
    bins[nb++] = 1;
    if (bc >= 3) bins[nb++] = bc - 1;
    if (bc >= 2) bins[nb++] = bc;
  }
  for (int x = 0; x < 2; ++x)
    for (int s = 0; s < 2; ++s) o.coste[x][s] = kInf, o.decision[x][s] = 0;
  for (int i = 0; i < nb; ++i) {
    const uint32_t b = bins[i];
    const double r = b == 0 ? 0.0 : double(b) * c.paso2T + c.base;
    const float d = float(peso * (a - r) * (a - r));
    const int s = b <= 1;
    for (int x = x0; x <= x1; ++x) {
      if constexpr (hoja) {
        const float t = d + c.coste[k][x][ClaseHoja(b)];
        if (t < o.coste[x][s]) o.coste[x][s] = t, o.decision[x][s] = int32_t(b << 1);
      } else {
        const float tDrop = d + c.coste[k][x][ClaseNivel(b, 0)] + dH;
        if (tDrop < o.coste[x][s]) o.coste[x][s] = tDrop, o.decision[x][s] = int32_t(b << 1);
        if (jH < kInf) {
          const float tCod = d + c.coste[k][x][ClaseNivel(b, 1)] + jH;
          if (tCod < o.coste[x][s]) o.coste[x][s] = tCod, o.decision[x][s] = int32_t(b << 1) | 1;
        }
      }
    }
  }
}

template <bool hoja>
void DecideFilas(const Contexto& c, int k, int cx, int cy, int w, int i0, int i1, int q) {
  const double peso = c.peso[k][q];
  const std::ptrdiff_t paso = c.paso;
  for (int i = i0; i < i1; i += 2)
    for (int j = 0; j < w; j += 2) {
      const int X = cx + j, Y = cy + i;
      const std::ptrdiff_t t = Y * paso + X;
      const std::ptrdiff_t m[4] = {t, t + paso, t + 1, t + paso + 1};  // TL BL TR BR
      float v[4], dH[4] = {0, 0, 0, 0}, jH[4] = {kInf, kInf, kInf, kInf};
      bool diminutos = true;
      float dGrupo = 0;
      for (int u = 0; u < 4; ++u) {
        v[u] = c.C[m[u]];
        diminutos &= std::fabs(v[u]) <= c.diminuto;
        if constexpr (!hoja) {
          const std::ptrdiff_t h = std::ptrdiff_t(2 * (Y + (u & 1))) * paso + 2 * (X + (u >> 1));
          dH[u] = c.A[h];
          jH[u] = c.A[h + 1];
          diminutos &= !(jH[u] < kInf);
        }
        dGrupo += float(peso * double(v[u]) * double(v[u])) + dH[u];
      }
      c.A[t] = dGrupo;
      if (diminutos) {  // coding it would only add bits
        c.A[t + 1] = kInf;
        continue;
      }
      const int eTL = X > 0 && Y > 0 && Pequena(c, t - 1) && Pequena(c, t - paso);
      const int eBL = X > 0 && Pequena(c, t + paso - 1);
      const int eTR = Y > 0 && Pequena(c, t + 1 - paso);
      // The models each member can be coded with: TL's is known; BL's and
      // TR's are the second only if their outside neighbour allows it.
      const int x0[4] = {eTL, 0, 0, 0}, x1[4] = {eTL, eBL, eTR, 1};
      Opciones o[4];
      for (int u = 0; u < 4; ++u)
        EvaluaMiembro<hoja>(c, k, v[u], peso, dH[u], jH[u], x0[u], x1[u], o[u]);
      float mejor = kInf;
      int32_t d[4] = {0, 0, 0, 0};
      for (int s1 = 0; s1 < 2; ++s1) {
        const float c1 = o[0].coste[eTL][s1];
        if (!(c1 < kInf)) continue;
        const int xBL = eBL & s1, xTR = eTR & s1;
        for (int s2 = 0; s2 < 2; ++s2)
          for (int s3 = 0; s3 < 2; ++s3) {
            const int xBR = s2 & s3;
            const int s4 = o[3].coste[xBR][1] <= o[3].coste[xBR][0];
            const float total = c1 + o[1].coste[xBL][s2] + o[2].coste[xTR][s3] + o[3].coste[xBR][s4];
            if (total < mejor) {
              mejor = total;
              d[0] = o[0].decision[eTL][s1];
              d[1] = o[1].decision[xBL][s2];
              d[2] = o[2].decision[xTR][s3];
              d[3] = o[3].decision[xBR][s4];
            }
          }
      }
      // A group of zero roots (or leaf zeros) is an empty group coded at a
      // loss: never chosen.
      if ((d[0] | d[1] | d[2] | d[3]) == 0) mejor = kInf;
      c.A[t + 1] = mejor;
      for (int u = 0; u < 4; ++u) c.B[m[u]] = d[u];
    }
}

// ---- labels, coarsest level first -----------------------------------------

struct Resumen {
  uint32_t maximo = 0;
  int grupos = 0, vacios = 0;
};

void EscribeFilas(const Contexto& c, int k, int cx, int cy, int w, int i0, int i1, Resumen& r) {
  const bool hoja = k == c.n;
  const std::ptrdiff_t paso = c.paso;
  for (int i = i0; i < i1; i += 2)
    for (int j = 0; j < w; j += 2) {
      const int X = cx + j, Y = cy + i;
      const std::ptrdiff_t t = Y * paso + X;
      const std::ptrdiff_t m[4] = {t, t + paso, t + 1, t + paso + 1};
      bool codificado;
      if (k == 1) {
        codificado = c.A[t + 1] + c.costeSinMarca < c.A[t] + c.costeMarca;
      } else {
        const std::ptrdiff_t padre = std::ptrdiff_t(Y / 2) * paso + X / 2;
        codificado = Lee(c.P, padre) != -1 && (c.B[padre] & 1);
      }
      if (!codificado) {
        ++r.vacios;
        for (int u = 0; u < 4; ++u) PonEtiqueta(c.P + m[u], -1);
        continue;
      }
      ++r.grupos;
      for (int u = 0; u < 4; ++u) {
        const int32_t d = c.B[m[u]];
        const uint32_t b = uint32_t(d) >> 1;
        int32_t e;
        if (b == 0) {
          e = hoja ? 0 : (d & 1);
        } else {
          const uint32_t mag = b << c.capas;
          r.maximo = std::max(r.maximo, mag);
          e = c.C[m[u]] < 0 ? -int32_t(mag) : int32_t(mag);
        }
        PonEtiqueta(c.P + m[u], e);
      }
    }
}

}  // namespace

int EtiquetaPlanoRD(float quant) {
  // The default labels first: the first costs, and the refusals the format
  // makes (the new labels never need larger alphabets than these).
  const std::size_t celdas = std::size_t(z.alto) * std::size_t(z.anchoBuf);
  struct Libera {
    void* p[3];
    ~Libera() {
      for (void* q : p) std::free(q);
    }
  } memoria{{std::malloc(celdas * sizeof(float)), std::malloc(celdas * sizeof(float)),
             std::malloc(celdas * sizeof(int32_t))}};
  if (!memoria.p[0] || !memoria.p[1] || !memoria.p[2]) return kZALSinMemoria;
  std::memcpy(memoria.p[0], z.Coef, celdas * sizeof(float));
  const int error = EtiquetaPlano();
  if (error != kZALOk) return error;

  Contexto c;
  c.P = z.Coef;
  c.C = static_cast<const float*>(memoria.p[0]);
  c.A = static_cast<float*>(memoria.p[1]);
  c.B = static_cast<int32_t*>(memoria.p[2]);
  c.paso = z.anchoBuf;
  c.n = z.nlevelCod;
  c.anchoLL = z.anchoLL;
  c.altoLL = z.altoLL;
  c.capas = z.capas;
  c.cota = uint32_t(z.cotaContexto);
  c.umbralPre = z.UmbralPre;
  c.inversa = z.DobleQuantInversa;
  c.quant = quant;
  const double delta = 2.0 * quant * z.umbral;
  c.lambda = kAlfa * delta * delta;
  c.paso2T = delta;
  c.base = (z.umbral - 3.0) * quant;
  c.r1 = c.paso2T + c.base;
  c.diminuto = float(c.r1 / 2);
  c.unHilo = z.unHilo;
  for (int k = 1; k <= c.n; ++k) {
    const int d = c.n - k + 1;
    const double el = Energia1D(d, false), eh = Energia1D(d, true);
    c.peso[k][0] = eh * el;
    c.peso[k][1] = el * eh;
    c.peso[k][2] = eh * eh;
  }

  Resumen resumen[kMaxNiveles + 1][2];
  for (int pasada = 0; pasada < kPasadas; ++pasada) {
    PreparaCostes(c);
    for (int k = c.n; k >= 1; --k)
      Reparte(c, k, [&](int, int cx, int cy, int w, int i0, int i1, int q) {
        if (k == c.n)
          DecideFilas<true>(c, k, cx, cy, w, i0, i1, q);
        else
          DecideFilas<false>(c, k, cx, cy, w, i0, i1, q);
      });
    for (int k = 1; k <= c.n; ++k) {
      resumen[k][0] = resumen[k][1] = Resumen();
      Reparte(c, k, [&](int t, int cx, int cy, int w, int i0, int i1, int) {
        EscribeFilas(c, k, cx, cy, w, i0, i1, resumen[k][t]);
      });
    }
  }

  // The symbol counts of the final labels, by the default labeller's rules.
  for (int k = 1; k <= c.n; ++k) {
    z.simbolosNivel[k] =
        z.fcorrec + abs_bits(int32_t(std::max(resumen[k][0].maximo, resumen[k][1].maximo)));
    z.gruposCodificados[k] = resumen[k][0].grupos + resumen[k][1].grupos;
  }
  z.gruposVaciosNivel1 = resumen[1][0].vacios + resumen[1][1].vacios;
  int32_t maxLL = 0;
  for (int y = 0; y < z.altoLL; ++y)
    for (int x = 0; x < z.anchoLL; ++x) {
      const int32_t e = Fuente(x, y);
      if (e >= z.umbral) maxLL = std::max(maxLL, e);
    }
  z.simbolosNivel[0] = z.fcorrec + abs_bits(maxLL);
  return CierraSimbolos();
}

}  // namespace zalcoder
