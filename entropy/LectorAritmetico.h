// Fast reading of a bit file. A caller that decodes many items in a row (the
// coefficient decoder) takes the decoder's registers into a LectorAritmetico
// of its own, a local the compiler keeps in machine registers, decodes with
// the inline operations below and hands the registers back. The items, the
// model updates and the bits consumed are those of DecodificaSimbolo and
// DecodificaBits, which are themselves built on these operations.
//
// Also here: the arithmetic shared by the coding and decoding paths of the
// module (interval scaling, renormalisation runs, the model update).
#pragma once
#include <bit>
#include <cstdint>
#include <cstring>

#include "entropy/CodificadorAritmetico.h"

namespace zalarit {

// 16-bit code registers.
constexpr int32_t kTop = 0xFFFF;
constexpr int32_t kPrimerCuarto = 0x4000;
constexpr int32_t kMitad = 0x8000;
constexpr int32_t kTercerCuarto = 0xC000;
// Largest raw chunk: with an interval of at least 0x4002 every chunk value of
// at most 14 bits owns a non-empty sub-interval.
constexpr int kMaxChunk = 14;
constexpr int kMaxSimbolos = 37;
constexpr int kMaxTotal = 1023;
constexpr int kIncremento = 10;
constexpr int32_t kTotalMaximo = kMaxTotal + kIncremento;  // largest total in force

// floor(x / T) as (x * kRecipro[T]) >> kDesplaza, for the products x = R * c
// of an interval width R <= 65536 and a count c <= T <= 1033. With
// kRecipro[T] = ceil(2^38 / T) = (2^38 + e) / T, 0 <= e < T, the error term is
// x * e / (T * 2^38) < 65536 * T * T / (T * 2^38) < 1 / T, too small to carry
// x / T past the next integer; and x * kRecipro[T] < 2^55 fits in 64 bits.
constexpr int kDesplaza = 38;

struct TablaRecipro {
  uint64_t r[kTotalMaximo + 1];
  constexpr TablaRecipro() : r() {
    for (int t = 1; t <= kTotalMaximo; ++t)
      r[t] = ((uint64_t(1) << kDesplaza) + uint64_t(t) - 1) / uint64_t(t);
  }
};
inline constexpr TablaRecipro kRecipro;

inline uint32_t Unos(int n) { return n >= 32 ? ~0u : (uint32_t(1) << n) - 1; }

// floor(R * c / T) for a width R and a count c <= T of a model (see kRecipro).
// Written R * (c * kRecipro[T]) so that only one multiplication waits for R;
// c * kRecipro[T] <= c * (2^38 / T + 1) < 2^39, so the product stays below 2^55.
inline int32_t Escala(int32_t rango, int32_t c, int32_t total) {
  return int32_t((uint64_t(uint32_t(rango)) * (uint64_t(uint32_t(c)) * kRecipro.r[total])) >>
                 kDesplaza);
}

// The steps of the renormalisation come in two runs, which are taken whole:
//  - while the top bits of low and high agree, that bit is settled: the run is
//    as long as the leading bits of low and high agree (the leading zeros of
//    low ^ high). Its first bit carries the pending bits; the rest go out as
//    they are. Each step shifts both registers left, high taking in a 1.
//  - then low is 01... and high 10... while the underflow step applies: it
//    drops bit 14 and keeps bit 15, so the run is as long as low has ones and
//    high zeros from bit 14 down, counted on the registers before the first
//    run as the ones of low & ~high from bit 14 - n down. Such a step leaves
//    low < 0x8000 <= high, so a settled bit can never follow it.
// Both runs together shift the registers by n + m, bit 15 of low ending 0
// and that of high 1.
struct Pasos {
  int n, m;
};

inline Pasos Renormaliza(uint32_t& low, uint32_t& high) {
  const int n = std::countl_zero(uint16_t(low ^ high));
  const int m = std::countl_one(uint16_t((low & ~high) << (n + 1)));
  const int k = n + m;
  low = (low << k) & 0x7FFF;
  high = (((high << k) | Unos(k)) & 0x7FFF) | 0x8000;
  return {n, m};
}

// Halves every count (rounding up, so none falls to 0) and rebuilds the
// cumulative counts; slot 0 stays 0, so acumulada[0] becomes the new total.
inline void ReescalaModelo(THistograma* m) {
  int32_t suma = 0;
  for (int i = m->nSimbolos; i >= 0; --i) {
    m->frecuencia[i] = (m->frecuencia[i] + 1) / 2;
    m->acumulada[i] = suma;
    suma += m->frecuencia[i];
  }
}

// Counts symbol s: its count and the cumulative counts below it gain the
// increment. The first four slots are updated without a branch on s (adding
// 0 to those at or above s), small symbols being the common ones; the loop
// takes the rest. (A wide vector sweep of all slots measured slower: its
// loads wait on the narrow stores of the previous update.)
inline void ActualizaModelo(int s, THistograma* m) {
  if (m->acumulada[0] > kMaxTotal) ReescalaModelo(m);
  m->frecuencia[s] += kIncremento;
  int32_t* a = m->acumulada;
  a[0] += kIncremento;  // s >= 1
  a[1] += s > 1 ? kIncremento : 0;
  a[2] += s > 2 ? kIncremento : 0;
  a[3] += s > 3 ? kIncremento : 0;
  for (int i = 4; i < s; ++i) a[i] += kIncremento;
}

// The symbol whose sub-interval holds value, without a division: with
// hasta = value - low, acumulada[s] > target holds exactly when
// R * acumulada[s] >= (value - low + 1) * T, that is when the bottom of s's
// sub-interval, low + floor(R * acumulada[s] / T), lies above value. The
// counts fall as s rises, so the symbol is the first whose bottom is at or
// below value. The bottoms of symbols 1 to 3 (the usual ones) are computed
// before the choice and the choice is made without branches; the search goes
// on one by one past them. Returns s and the bounds of its sub-interval
// relative to low: [abajo, arriba - 1]. The model must have a symbol and a
// total of at most kTotalMaximo (every model coded with has).
struct Eleccion {
  int s;
  int32_t abajo, arriba;
};

inline Eleccion BuscaSimbolo(const THistograma* m, int32_t rango, int32_t hasta) {
  const int32_t* a = m->acumulada;
  const int32_t total = a[0];
  const int32_t b1 = Escala(rango, a[1], total);
  const int32_t b2 = Escala(rango, a[2], total);
  const int32_t b3 = Escala(rango, a[3], total);
  // Each test can pass only if the one before passed, so counts above
  // nSimbolos (not in use, whatever they hold) are never looked at.
  const bool c1 = b1 > hasta;
  const bool c2 = c1 && b2 > hasta;
  const bool c3 = c2 && b3 > hasta;
  if (!c3) return {1 + c1 + c2, c2 ? b3 : c1 ? b2 : b1, c2 ? b2 : c1 ? b1 : rango};
  int s = 4;
  int32_t arriba = b3, abajo = Escala(rango, a[4], total);
  while (abajo > hasta) {
    ++s;
    arriba = abajo;
    abajo = Escala(rango, a[s], total);
  }
  return {s, abajo, arriba};
}

}  // namespace zalarit

// The decoder's registers, held by the caller between TomaLector and
// DevuelveLector. Nothing else may read the bit file in between. The code
// value is held as its offset in the interval, hasta = value - low: every
// renormalisation step subtracts the same from value and low before both
// double, so the offset simply doubles and takes in the next bit.
struct LectorAritmetico {
  uint32_t low, high, hasta;
  uint64_t lect;       // the next nLect bits of the stream, left-aligned
  int nLect;
  const uint8_t* p;    // next byte of the module's block buffer
  const uint8_t* fin;  // end of the bytes read into it
};

// Whether the registers can be taken: not while the plain paths are on (test
// hook), which keep the bit in hand their own way.
bool LectorDisponible();
LectorAritmetico TomaLector();
void DevuelveLector(const LectorAritmetico& l);

// Slow refill, near the end of the block buffer: byte by byte, reading the
// next block when it is used up (bytes past the end of the file read 0xFF).
struct VentanaLectura {
  uint64_t lect;
  int nLect;
  const uint8_t* p;
  const uint8_t* fin;
};
VentanaLectura RellenaLectorLento(VentanaLectura v);

// Tops up the bit window to at least 57 bits. With 8 bytes at hand they are
// read as one big-endian word: the bits of a byte that does not fit whole are
// the stream's own, so taking that byte again later changes nothing. Passed
// and returned by value so that the registers never need an address.
inline void RellenaLector(LectorAritmetico& l) {
  if (l.fin - l.p >= 8) {
    uint64_t w;
    std::memcpy(&w, l.p, sizeof w);
    if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap64(w);
    l.lect |= w >> l.nLect;
    l.p += (63 - l.nLect) >> 3;
    l.nLect |= 56;
    return;
  }
  const VentanaLectura v = RellenaLectorLento({l.lect, l.nLect, l.p, l.fin});
  l.lect = v.lect;
  l.nLect = v.nLect;
  l.p = v.p;
  l.fin = v.fin;
}

// Next k bits of the stream (0 <= k <= 32), most significant first.
inline uint32_t LeeBitsLector(LectorAritmetico& l, int k) {
  if (l.nLect < 32) RellenaLector(l);
  const uint32_t r = uint32_t((l.lect >> 1) >> (63 - k));
  l.lect <<= k;
  l.nLect -= k;
  return r;
}

// The interval narrowed to [low, high], with the code value at `hasta` above
// low, renormalised in the two runs of the encoder: the offset takes in one
// bit of the stream per step.
inline void RenormalizaLector(LectorAritmetico& l, uint32_t low, uint32_t high, uint32_t hasta) {
  const zalarit::Pasos p = zalarit::Renormaliza(low, high);
  const int k = p.n + p.m;
  l.hasta = (hasta << k) | LeeBitsLector(l, k);
  l.low = low;
  l.high = high;
}

// DecodificaSimbolo on the registers: a symbol in 1..nSimbolos, or 0 (nothing
// read) when the model has no symbol.
inline int DecodificaSimboloLector(LectorAritmetico& l, THistograma* m) {
  if (m->nSimbolos < 1 || m->nSimbolos > zalarit::kMaxSimbolos) return 0;
  const int32_t low = int32_t(l.low), rango = int32_t(l.high - l.low + 1);
  const zalarit::Eleccion e = zalarit::BuscaSimbolo(m, rango, int32_t(l.hasta));
  RenormalizaLector(l, uint32_t(low + e.abajo), uint32_t(low - 1 + e.arriba),
                    l.hasta - uint32_t(e.abajo));
  zalarit::ActualizaModelo(e.s, m);
  return e.s;
}

// One raw chunk of n <= 14 bits. The chunk value is the number of v in
// 1 .. 2^n - 1 whose sub-interval starts at or below value:
// low + (R v >> n) <= value, that is R v < (value - low + 1) << n. One- and
// two-bit chunks, most of those a coefficient coder sends, are counted; the
// longer ones divided.
inline int DecodificaChunkLector(LectorAritmetico& l, int n) {
  const int32_t rango = int32_t(l.high - l.low + 1);
  const int32_t x = (int32_t(l.hasta) + 1) << n;
  int32_t v;
  if (n <= 2)
    v = (rango < x) + (2 * rango < x) + (3 * rango < x);  // x <= R << n, so v < 2^n
  else
    v = (x - 1) / rango;
  const int32_t t = v * rango;
  const int32_t low = int32_t(l.low), abajo = t >> n;
  RenormalizaLector(l, uint32_t(low + abajo), uint32_t(low - 1 + ((t + rango) >> n)),
                    l.hasta - uint32_t(abajo));
  return v;
}

// DecodificaBits on the registers (0 <= nbits <= 32): chunks from the most
// significant end, summed as unsigned so that a 32-bit field comes back with
// its exact bit pattern.
inline int DecodificaBitsLector(LectorAritmetico& l, int nbits) {
  uint32_t suma = 0;
  while (nbits > zalarit::kMaxChunk) {
    nbits -= zalarit::kMaxChunk;
    suma += uint32_t(DecodificaChunkLector(l, zalarit::kMaxChunk)) << nbits;
  }
  suma += uint32_t(DecodificaChunkLector(l, nbits));
  return int32_t(suma);
}
