// What the files of the tree coder share: the format's limits, the per-thread
// state of a coding or decoding call, the views of the plane's cells, the
// block geometry of the passes, and the entry points of each part:
//   ZALetiquetas.cpp     labelling of the transformed plane and its kernels
//   ZALrdo.cpp           the rate-distortion labelling (ZAL_RDO)
//   ZALcodificador.cpp   the encoder: its walk, the emission of the passes
//   ZALtuberia.cpp       the two-thread pipeline of the emission (ZALtuberia.h)
//   ZALdecodificador.cpp the decoder, with its dequantizing companion thread
//   ZALcabecera.cpp      the stream header, written and read
//   ZALcoder.cpp         the state itself, the test hooks and the messages
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "coder/ZALcoder.h"
#include "entropy/CodificadorAritmetico.h"

namespace zalcoder {

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
  // Decoder, at the end of the stream (ZALdecodificador.cpp): whether a read
  // was watched with the source's end known, whether the stream proved cut,
  // and the pass and cell of the first read past the end (cell -1: none).
  bool cercaDelFinal = false;
  bool truncado = false;
  int nivelDescarte = 0;
  std::ptrdiff_t celdaDescarte = -1;
};
// One state per thread, so that calls on different threads can run at once.
// The coder's own helper threads start from a copy of their caller's state.
extern thread_local constinit EstadoZAL z;
extern bool usarReferencia;  // ZALReferencia

// The same cells seen as float (Coef) and as 32-bit int (Fuente, Etiqueta).
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

inline void InicializaBits() {
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

[[gnu::always_inline]] inline void PonEtiqueta(float* celda, int32_t v) { std::memcpy(celda, &v, sizeof v); }
[[gnu::always_inline]] inline int32_t Etiqueta(const float* celda) {
  int32_t v;
  std::memcpy(&v, celda, sizeof v);
  return v;
}

// Labels the whole plane (ZALetiquetas.cpp): 0 or kZALQuantPequeno.
int EtiquetaPlano();
// The header's symbol counts from the labelled levels' own and their group
// counts, with the rules for degenerate alphabets: 0 or kZALQuantPequeno.
int CierraSimbolos();
// Labels the whole plane by rate and distortion (ZALrdo.cpp): 0,
// kZALQuantPequeno or kZALSinMemoria.
int EtiquetaPlanoRD(float quant);
// The level passes by the fast path (ZALtuberia.cpp); false, with nothing
// coded, when there is no memory for the queue.
bool CodificaNiveles();
// The walker's whole work: the level passes 1 to n into batches (ZALcodificador.cpp).
void EmiteNiveles();
// The stream header (ZALcabecera.cpp): written from the state, or read into c
// with the decoder's checks (0 or kZALCabeceraCorrupta).
void EscribeCabecera(float quant);
int LeeCabecera(ZALCabecera& c);

}  // namespace zalcoder
