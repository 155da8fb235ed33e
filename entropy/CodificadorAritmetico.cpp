#include "entropy/CodificadorAritmetico.h"

#include <cstdio>

namespace {

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

// Bytes travel through a block buffer instead of one stdio call per byte; the
// stream is the same, byte for byte.
constexpr size_t kBloque = 1 << 16;

struct EstadoFichero {
  uint8_t outbyte;
  uint8_t inbyte;
  uint8_t mask;
  int32_t value;
  int32_t pending;
  int32_t low;
  int32_t high;
  FILE* file;
  bool contador;        // writing: count the bytes only, no file
  int error;            // first failure since the file was opened
  bool escrituraFallida;  // a write of the bit file failed
  int64_t bytes;        // bytes of the stream put so far
  size_t lleno;         // bytes held in buffer (writing) or read into it (reading)
  size_t leido;         // reading: next byte of buffer to hand out
  bool fin;             // reading: the file has no more bytes
  uint8_t buffer[kBloque];
};

EstadoFichero FichES;

void AnotaError(int code) {
  if (FichES.error == 0) FichES.error = code;
}

// Writing --------------------------------------------------------------------

void VaciaBuffer() {
  if (FichES.lleno == 0) return;
  if (FichES.file && std::fwrite(FichES.buffer, 1, FichES.lleno, FichES.file) != FichES.lleno)
    FichES.escrituraFallida = true;
  FichES.lleno = 0;
}

void EscribeByte(uint8_t b) {
  ++FichES.bytes;
  if (FichES.contador) return;
  FichES.buffer[FichES.lleno++] = b;
  if (FichES.lleno == kBloque) VaciaBuffer();
}

inline void PonBit(int b) {
  if (b) FichES.outbyte |= FichES.mask;
  FichES.mask >>= 1;
  if (FichES.mask == 0) {
    EscribeByte(FichES.outbyte);
    FichES.outbyte = 0;
    FichES.mask = 0x80;
  }
}

inline void PonBitMasPendientes(int b) {
  PonBit(b);
  for (; FichES.pending > 0; --FichES.pending) PonBit(1 - b);
}

void EncoderActualizaIntervalo() {
  for (;;) {
    if (FichES.high < kMitad) {
      PonBitMasPendientes(0);
    } else if (FichES.low >= kMitad) {
      PonBitMasPendientes(1);
      FichES.low -= kMitad;
      FichES.high -= kMitad;
    } else if (FichES.low >= kPrimerCuarto && FichES.high < kTercerCuarto) {
      ++FichES.pending;
      FichES.low -= kPrimerCuarto;
      FichES.high -= kPrimerCuarto;
    } else {
      return;
    }
    FichES.low = 2 * FichES.low;
    FichES.high = 2 * FichES.high + 1;
  }
}

void CodificaBitsAux(int n, int v) {
  v &= (1 << n) - 1;
  const int32_t rango = FichES.high - FichES.low + 1;
  const int32_t t = rango * v;
  const int32_t low = FichES.low;
  FichES.low = low + (t >> n);
  FichES.high = low - 1 + ((t + rango) >> n);
  EncoderActualizaIntervalo();
}

// Reading --------------------------------------------------------------------

// Next byte of the file; every byte past its end reads as 0xFF.
uint8_t LeeByte() {
  if (FichES.leido == FichES.lleno) {
    if (FichES.fin || !FichES.file) return 0xFF;
    FichES.lleno = std::fread(FichES.buffer, 1, kBloque, FichES.file);
    FichES.leido = 0;
    if (FichES.lleno < kBloque) FichES.fin = true;
    if (FichES.lleno == 0) return 0xFF;
  }
  return FichES.buffer[FichES.leido++];
}

inline int LeeBit() {
  if (FichES.mask == 0) {
    FichES.inbyte = LeeByte();
    FichES.mask = 0x80;
  }
  const int bit = (FichES.inbyte & FichES.mask) ? 1 : 0;
  FichES.mask >>= 1;
  return bit;
}

void DecoderActualizaIntervalo() {
  for (;;) {
    if (FichES.high < kMitad) {
      // nothing to subtract
    } else if (FichES.low >= kMitad) {
      FichES.value -= kMitad;
      FichES.low -= kMitad;
      FichES.high -= kMitad;
    } else if (FichES.low >= kPrimerCuarto && FichES.high < kTercerCuarto) {
      FichES.value -= kPrimerCuarto;
      FichES.low -= kPrimerCuarto;
      FichES.high -= kPrimerCuarto;
    } else {
      return;
    }
    FichES.low = 2 * FichES.low;
    FichES.high = 2 * FichES.high + 1;
    FichES.value = 2 * FichES.value + LeeBit();
  }
}

int DecodificaBitsAux(int n) {
  const int32_t rango = FichES.high - FichES.low + 1;
  const int32_t v = (((FichES.value - FichES.low + 1) << n) - 1) / rango;
  const int32_t t = v * rango;
  const int32_t low = FichES.low;
  FichES.high = low - 1 + ((t + rango) >> n);
  FichES.low = low + (t >> n);
  DecoderActualizaIntervalo();
  return v;
}

void CierraFichero() {
  if (FichES.file) std::fclose(FichES.file);
  FichES.file = nullptr;
}

void Reinicia() {
  FichES.outbyte = 0;
  FichES.inbyte = 0;
  FichES.value = 0;
  FichES.pending = 0;
  FichES.low = 0;
  FichES.high = kTop;
  FichES.contador = false;
  FichES.error = 0;
  FichES.escrituraFallida = false;
  FichES.bytes = 0;
  FichES.lleno = 0;
  FichES.leido = 0;
  FichES.fin = false;
}

// Models ---------------------------------------------------------------------

// Narrows the interval to symbol s; false if that would empty it.
bool AjustaRango(int s, const THistograma* m) {
  const int32_t rango = FichES.high - FichES.low + 1;
  const int32_t total = m->acumulada[0];
  const int32_t low = FichES.low;
  const int32_t high = low - 1 + (rango * m->acumulada[s - 1]) / total;
  const int32_t nuevoLow = low + (rango * m->acumulada[s]) / total;
  if (nuevoLow > high) return false;  // "!(FichES.low>FichES.high)"
  FichES.low = nuevoLow;
  FichES.high = high;
  return true;
}

void ActualizaModelo(int s, THistograma* m) {
  if (m->acumulada[0] > kMaxTotal) {
    int32_t suma = 0;
    for (int i = m->nSimbolos; i >= 0; --i) {
      m->frecuencia[i] = (m->frecuencia[i] + 1) / 2;
      m->acumulada[i] = suma;
      suma += m->frecuencia[i];
    }
  }
  m->frecuencia[s] += kIncremento;
  for (int i = s - 1; i >= 0; --i) m->acumulada[i] += kIncremento;
}

}  // namespace

int InicializaEscritura(const char* path) {
  CierraFichero();
  Reinicia();
  FichES.file = path ? std::fopen(path, "wb") : nullptr;
  if (!FichES.file) return kAritNoAbre;
  FichES.mask = 0x80;
  return kAritOk;
}

int InicializaEscrituraContador() {
  CierraFichero();
  Reinicia();
  FichES.contador = true;
  FichES.mask = 0x80;
  return kAritOk;
}

int FinalizaEscrituraFicheroDeBits() {
  if (!FichES.file && !FichES.contador) return kAritErrorEscritura;
  ++FichES.pending;
  PonBitMasPendientes(FichES.low >= kPrimerCuarto ? 1 : 0);
  // The byte in hand always goes out, even when the last bit completed the
  // previous one (a trailing 0x00): the stream length depends on it.
  EscribeByte(FichES.outbyte);
  FichES.outbyte = 0;
  VaciaBuffer();
  bool fallo = FichES.escrituraFallida;
  if (FichES.file) {
    if (std::fflush(FichES.file) != 0 || std::ferror(FichES.file)) fallo = true;
    if (std::fclose(FichES.file) != 0) fallo = true;
    FichES.file = nullptr;
  }
  FichES.contador = false;
  if (fallo) {
    AnotaError(kAritErrorEscritura);
    return kAritErrorEscritura;
  }
  return kAritOk;
}

int64_t BytesEscritos() { return FichES.bytes; }

void CodificaBits(int nbits, int value) {
  if (nbits < 0 || nbits > 32) {
    AnotaError(kAritIntervalo);
    return;
  }
  while (nbits > kMaxChunk) {
    nbits -= kMaxChunk;
    CodificaBitsAux(kMaxChunk, value >> nbits);
  }
  CodificaBitsAux(nbits, value);
}

int InicializaLecturaFicheroDeBits(const char* path) {
  CierraFichero();
  Reinicia();
  FichES.file = path ? std::fopen(path, "rb") : nullptr;
  if (!FichES.file) return kAritNoAbre;
  FichES.mask = 0;
  for (int i = 0; i < 16; ++i) FichES.value = 2 * FichES.value + LeeBit();
  return kAritOk;
}

void FinalizaLecturaFicheroDeBits() { CierraFichero(); }

int DecodificaBits(int nbits) {
  if (nbits < 0 || nbits > 32) {
    AnotaError(kAritIntervalo);
    return 0;
  }
  // Summed as unsigned so that a 32-bit field comes back with its exact bit
  // pattern, sign bit included.
  uint32_t suma = 0;
  while (nbits > kMaxChunk) {
    nbits -= kMaxChunk;
    suma += static_cast<uint32_t>(DecodificaBitsAux(kMaxChunk)) << nbits;
  }
  suma += static_cast<uint32_t>(DecodificaBitsAux(nbits));
  return static_cast<int32_t>(suma);
}

int InicializaModelo(long nSimbolos, THistograma* m) {
  if (nSimbolos > kMaxSimbolos || nSimbolos < 0) {  // "!(nSimbolos>=38)"
    m->nSimbolos = 0;
    m->frecuencia[0] = 0;
    m->acumulada[0] = 0;
    AnotaError(kAritAlfabeto);
    return kAritAlfabeto;
  }
  const int n = static_cast<int>(nSimbolos);
  m->nSimbolos = n;
  m->frecuencia[0] = 0;
  for (int i = 1; i <= n; ++i) m->frecuencia[i] = 1;
  m->acumulada[n] = 0;
  for (int i = n; i >= 1; --i) m->acumulada[i - 1] = m->frecuencia[i] + m->acumulada[i];
  return kAritOk;
}

int CodificaSimbolo(int s, THistograma* m) {
  if (m->nSimbolos < 1) {
    AnotaError(kAritModeloVacio);
    return kAritModeloVacio;
  }
  if (s < 1 || s > m->nSimbolos || !AjustaRango(s, m)) {
    AnotaError(kAritIntervalo);
    return kAritIntervalo;
  }
  EncoderActualizaIntervalo();
  ActualizaModelo(s, m);
  return kAritOk;
}

int DecodificaSimbolo(THistograma* m) {
  if (m->nSimbolos < 1 || m->nSimbolos > kMaxSimbolos) {
    AnotaError(kAritModeloVacio);
    return 0;
  }
  const int32_t rango = FichES.high - FichES.low + 1;
  const int32_t total = m->acumulada[0];
  const int32_t objetivo = ((FichES.value - FichES.low + 1) * total - 1) / rango;
  int s = 1;
  while (m->acumulada[s] > objetivo) ++s;
  AjustaRango(s, m);
  DecoderActualizaIntervalo();
  ActualizaModelo(s, m);
  return s;
}

int ErrorCodificadorAritmetico() { return FichES.error; }
