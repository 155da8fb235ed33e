#include "entropy/CodificadorAritmetico.h"

#include "entropy/LectorAritmetico.h"
#include "entropy/SalidaAtomica.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <new>
#include <vector>

namespace {

using namespace zalarit;

// Bytes travel through a block buffer instead of one stdio call per byte; the
// stream is the same, byte for byte. A multiple of 4: whole words fill it.
constexpr size_t kBloque = 1 << 16;

bool usarReferencia = false;  // test hook: plain paths for files opened from now on

struct EstadoFichero {
  // The plain paths keep the byte in hand as the format describes it.
  uint8_t outbyte;
  uint8_t inbyte;
  uint8_t mask;
  int32_t value;
  int32_t pending;
  int32_t low;
  int32_t high;
  FILE* file;           // reading; writing, salida.file
  SalidaAtomica salida; // writing: the output, replaced once the stream is whole
  FuenteBytes* fuente;  // reading: where the bytes come from
  bool referencia;      // this file goes through the plain step-by-step paths
  // Writing, fast path (see Registros): the open bytes of the stream, the
  // window over their last ones and where it stands.
  std::vector<uint8_t> abiertos;
  size_t inicioVentana;
  uint64_t ventana;
  int desfase;
  // Reading, fast path: the next nLect bits of the stream, left-aligned in lect.
  uint64_t lect;
  int nLect;
  bool contador;        // writing: count the bytes only, no file
  std::vector<uint8_t>* memoria;  // writing: the bytes go here instead of a file
  int64_t limite;       // counting: bytes beyond which the caller gives up (-1: none)
  int error;            // first failure since the file was opened
  bool escrituraFallida;  // a write of the bit file failed
  bool sinMemoria;        // ... for want of memory to hold the stream
  int64_t bytes;        // bytes of the stream put so far
  int64_t bitsContados; // writing, fast path: renormalisation steps so far
  size_t lleno;         // bytes held in buffer (writing) or read into it (reading)
  size_t leido;         // reading: next byte of buffer to hand out
  bool fin;             // reading: the file has no more bytes
  int64_t bytesAntes;   // reading: bytes of the source in the blocks before this one
  int64_t relleno;      // reading: 0xFF bytes handed out past the source's end
  uint8_t cola[16];     // reading: the last bytes of the block before this one
  size_t nCola;
  bool guardaCopia;     // reading: the source cannot rewind, so what it gives is kept
  bool copiaPerdida;    // no memory to keep it
  std::vector<uint8_t> copia;
  uint8_t buffer[kBloque];
};

thread_local EstadoFichero FichES;  // one bit file per thread

void AnotaError(int code) {
  if (FichES.error == 0) FichES.error = code;
}

// Writing --------------------------------------------------------------------

void VaciaBuffer() {
  if (FichES.lleno == 0) return;
  if (FichES.file && std::fwrite(FichES.buffer, 1, FichES.lleno, FichES.file) != FichES.lleno)
    FichES.escrituraFallida = true;
  if (FichES.memoria && !FichES.escrituraFallida) {
    try {
      FichES.memoria->insert(FichES.memoria->end(), FichES.buffer, FichES.buffer + FichES.lleno);
    } catch (const std::bad_alloc&) {
      FichES.escrituraFallida = FichES.sinMemoria = true;
    }
  }
  FichES.lleno = 0;
}

void EscribeByte(uint8_t b) {
  ++FichES.bytes;
  if (FichES.contador) return;
  FichES.buffer[FichES.lleno++] = b;
  if (FichES.lleno == kBloque) VaciaBuffer();
}

// Sends out n bytes of the stream (to the file, to memory, or nowhere when
// counting) through the block buffer.
void EscribeBytes(const uint8_t* p, size_t n) {
  FichES.bytes += int64_t(n);
  if (FichES.contador) return;
  while (n > 0) {
    const size_t parte = std::min(n, kBloque - FichES.lleno);
    std::memcpy(FichES.buffer + FichES.lleno, p, parte);
    FichES.lleno += parte;
    p += parte;
    n -= parte;
    if (FichES.lleno == kBloque) VaciaBuffer();
  }
}

// The fast path writes the stream as a number rather than bit by bit. The
// plain coder's bits are the binary digits of the lower end of the final
// interval, taken in absolute terms and rounded up by the flush: each
// renormalisation step only rescales the interval, a settled bit being a
// digit of that number and the pending bits the digits a later carry may
// still flip (0111... becoming 1000...). So, with S the steps so far (the
// position, in the stream, of bit 15 of low), narrowing the interval adds its
// rise d = new low - old low at position S, carries included, and the bytes
// of the stream are those of the sum. The sum is kept in `abiertos`, from
// the first byte that a carry may still change; its last bits live in a
// 64-bit window, `ventana`, whose first byte is abiertos[inicioVentana] and
// which the step count enters at bit `desfase` (0 to 7 between items). The
// window is stored whole after every step, so that the bytes it leaves
// behind are already in place.
constexpr size_t kAbiertos = kBloque;  // open bytes before a hand-over
constexpr size_t kHolgura = 32;        // room for the window's stores past it

// The fast path's writing registers, held in locals while items are coded
// and kept in FichES between calls.
struct Registros {
  uint32_t low, high;
  int64_t bits;      // renormalisation steps so far: S
  uint64_t ventana;
  int desfase;
  uint8_t* p;        // the window's first byte
  uint8_t* tope;     // past this, the oldest open bytes are handed over
};

inline Registros Carga() {
  uint8_t* base = FichES.abiertos.data();
  return {uint32_t(FichES.low), uint32_t(FichES.high), FichES.bitsContados, FichES.ventana,
          FichES.desfase,       base + FichES.inicioVentana,
          base + (FichES.abiertos.size() - kHolgura)};
}

inline void Guarda(const Registros& r) {
  FichES.low = int32_t(r.low);
  FichES.high = int32_t(r.high);
  FichES.bitsContados = r.bits;
  FichES.ventana = r.ventana;
  FichES.desfase = r.desfase;
  FichES.inicioVentana = size_t(r.p - FichES.abiertos.data());
}

// Counting needs no bits, only how many: every renormalisation step puts one
// bit, at once (settled) or later (pending, put with the next settled bit or
// by the flush), and the flush adds two more of its own. So a stream of S
// steps holds S + 2 bits and floor((S + 2) / 8) + 1 bytes, the byte in hand
// always going out.
constexpr int64_t kBitsCierre = 2;
inline int64_t BytesDeBits(int64_t bits) { return (bits + kBitsCierre) / 8 + 1; }

// A carry out of the window: 1 more in the open bytes before it, through any
// 0xFF. It always stops inside them: the first open byte is not 0xFF (see
// EntregaAbiertos), or is the stream's first, which no carry can pass.
[[gnu::noinline]] void Acarreo(const Registros& r) {
  const uint8_t* inicio = FichES.abiertos.data();
  for (uint8_t* c = r.p; c != inicio;)
    if (++*--c != 0) return;
}

// The window has reached `tope`. A carry stops at the first byte that is not
// 0xFF, so the bytes before the last such byte can no longer change: they go
// out, and the rest moves to the front. When there is no such byte (a run of
// 0xFF as long as the buffer, which the pending bits of the plain coder
// allow), the buffer grows instead.
[[gnu::noinline]] void EntregaAbiertos(Registros& r) {
  std::vector<uint8_t>& a = FichES.abiertos;
  uint8_t* inicio = a.data();
  size_t fijos = size_t(r.p - inicio);
  while (fijos > 0 && inicio[fijos - 1] == 0xFF) --fijos;
  if (fijos > 0) --fijos;  // that byte may still take a carry
  if (fijos > 0) {
    EscribeBytes(inicio, fijos);
    std::memmove(inicio, inicio + fijos, size_t(r.p - inicio) + 8 - fijos);
    r.p -= fijos;
    return;
  }
  const size_t ventana = size_t(r.p - inicio);
  try {
    a.resize(2 * a.size());
  } catch (const std::bad_alloc&) {
    // Without memory the stream is lost: keep coding into the same room.
    FichES.escrituraFallida = FichES.sinMemoria = true;
    r.p = a.data();
    return;
  }
  r.p = a.data() + ventana;
  r.tope = a.data() + (a.size() - kHolgura);
}

// Plain path: one bit at a time into the byte in hand.
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

// Plain renormalisation, one step per bit.
void EncoderActualizaIntervaloReferencia() {
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

// Renormalises the interval [low, high] just narrowed from [r.low, r.high]
// and, writing, adds its rise to the stream (see Registros); counting
// (kCuenta), only the steps are added up.
template <bool kCuenta>
inline void Emite(Registros& r, uint32_t low, uint32_t high) {
  if constexpr (!kCuenta) {
    const uint64_t suma = r.ventana + (uint64_t(low - r.low) << (48 - r.desfase));
    if (suma < r.ventana) [[unlikely]]
      Acarreo(r);
    r.ventana = suma;
  }
  const Pasos p = Renormaliza(low, high);
  r.bits += p.n + p.m;
  r.low = low;
  r.high = high;
  if constexpr (!kCuenta) {
    // The window moves on by the whole bytes the steps took it past (at
    // most 3: a step narrows by at most 2^14, which 16 steps undo).
    r.desfase += p.n + p.m;
    uint64_t w = r.ventana;
    if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap64(w);
    std::memcpy(r.p, &w, sizeof w);
    const int bytes = r.desfase >> 3;
    r.p += bytes;
    r.ventana <<= 8 * bytes;
    r.desfase &= 7;
    if (r.p >= r.tope) [[unlikely]]
      EntregaAbiertos(r);
  }
}

// One raw chunk of n <= 14 bits.
template <bool kCuenta>
inline void Chunk(Registros& r, int n, int v) {
  v &= (1 << n) - 1;
  const int32_t rango = int32_t(r.high - r.low + 1);
  const int32_t t = rango * v;
  const int32_t low = int32_t(r.low);
  Emite<kCuenta>(r, uint32_t(low + (t >> n)), uint32_t(low - 1 + ((t + rango) >> n)));
}

// A raw field of 0 to 32 bits, in chunks from its most significant end.
template <bool kCuenta>
inline void Campo(Registros& r, int nbits, int value) {
  while (nbits > kMaxChunk) {
    nbits -= kMaxChunk;
    Chunk<kCuenta>(r, kMaxChunk, value >> nbits);
  }
  Chunk<kCuenta>(r, nbits, value);
}

void CodificaBitsAux(int n, int v) {
  if (FichES.referencia) {
    v &= (1 << n) - 1;
    const int32_t rango = FichES.high - FichES.low + 1;
    const int32_t t = rango * v;
    const int32_t low = FichES.low;
    FichES.low = low + (t >> n);
    FichES.high = low - 1 + ((t + rango) >> n);
    return EncoderActualizaIntervaloReferencia();
  }
  Registros r = Carga();
  if (FichES.contador)
    Chunk<true>(r, n, v);
  else
    Chunk<false>(r, n, v);
  Guarda(r);
}

// Reading --------------------------------------------------------------------

// Reading a file is reading its source: the stream's bytes in blocks.
class FuenteFichero final : public FuenteBytes {
 public:
  size_t Lee(uint8_t* destino, size_t n) override {
    return FichES.file ? std::fread(destino, 1, n, FichES.file) : 0;
  }
  bool Rebobina() override { return FichES.file && std::fseek(FichES.file, 0, SEEK_SET) == 0; }
  bool Fallida() const override { return FichES.file && std::ferror(FichES.file); }
};
thread_local FuenteFichero fuenteFichero;

// The source's next block into the buffer; false at its end. The last bytes
// of the block before stay at hand (the stream's end may lie among them).
bool CargaBloque() {
  if (FichES.fin || !FichES.fuente) return false;
  FichES.nCola = std::min(FichES.lleno, sizeof FichES.cola);
  std::memcpy(FichES.cola, FichES.buffer + FichES.lleno - FichES.nCola, FichES.nCola);
  FichES.bytesAntes += int64_t(FichES.lleno);
  FichES.lleno = FichES.fuente->Lee(FichES.buffer, kBloque);
  FichES.leido = 0;
  if (FichES.lleno < kBloque) FichES.fin = true;
  // A source that fails to read is no shorter one: that error overrides any.
  if (FichES.lleno < kBloque && FichES.fuente->Fallida()) FichES.error = kAritErrorLectura;
  if (FichES.guardaCopia && !FichES.copiaPerdida) {
    try {
      FichES.copia.insert(FichES.copia.end(), FichES.buffer, FichES.buffer + FichES.lleno);
    } catch (const std::bad_alloc&) {
      FichES.copiaPerdida = true;
    }
  }
  return FichES.lleno > 0;
}

// Next byte of the source; every byte past its end reads as 0xFF.
uint8_t LeeByte() {
  if (FichES.leido == FichES.lleno) {
    if (!CargaBloque()) {
      ++FichES.relleno;
      return 0xFF;
    }
  }
  return FichES.buffer[FichES.leido++];
}

// Plain path: one bit at a time from the byte in hand.
inline int LeeBit() {
  if (FichES.mask == 0) {
    FichES.inbyte = LeeByte();
    FichES.mask = 0x80;
  }
  const int bit = (FichES.inbyte & FichES.mask) ? 1 : 0;
  FichES.mask >>= 1;
  return bit;
}

void DecoderActualizaIntervaloReferencia() {
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

// Plain decoding of a raw chunk: the renormalisation bit by bit, and a
// division for the chunk value.
int DecodificaBitsAuxReferencia(int n) {
  const int32_t rango = FichES.high - FichES.low + 1;
  const int32_t v = (((FichES.value - FichES.low + 1) << n) - 1) / rango;
  const int32_t t = v * rango;
  const int32_t low = FichES.low;
  FichES.low = low + (t >> n);
  FichES.high = low - 1 + ((t + rango) >> n);
  DecoderActualizaIntervaloReferencia();
  return v;
}

void CierraFichero() {
  // A stream left unfinished is not kept: the output keeps what it had.
  if (FichES.salida.file) FichES.file = nullptr;
  DescartaSalida(&FichES.salida);
  if (FichES.file) std::fclose(FichES.file);
  FichES.file = nullptr;
  FichES.fuente = nullptr;
}

void Reinicia() {
  FichES.outbyte = 0;
  FichES.inbyte = 0;
  FichES.value = 0;
  FichES.pending = 0;
  FichES.low = 0;
  FichES.high = kTop;
  FichES.referencia = usarReferencia;
  FichES.inicioVentana = 0;
  FichES.ventana = 0;
  FichES.desfase = 0;
  FichES.lect = 0;
  FichES.nLect = 0;
  FichES.contador = false;
  FichES.memoria = nullptr;
  FichES.limite = -1;
  FichES.error = 0;
  FichES.escrituraFallida = false;
  FichES.sinMemoria = false;
  FichES.bytes = 0;
  FichES.bitsContados = 0;
  FichES.lleno = 0;
  FichES.leido = 0;
  FichES.fin = false;
  FichES.bytesAntes = 0;
  FichES.relleno = 0;
  FichES.nCola = 0;
  FichES.guardaCopia = FichES.copiaPerdida = false;
  std::vector<uint8_t>().swap(FichES.copia);
}

// Models ---------------------------------------------------------------------

// Narrows the interval to symbol s; false if that would empty it.
inline bool AjustaRango(int s, const THistograma* m) {
  const int32_t rango = FichES.high - FichES.low + 1;
  const int32_t total = m->acumulada[0];
  const int32_t low = FichES.low;
  int32_t high, nuevoLow;
  if (FichES.referencia || total < 1 || total > kTotalMaximo) {
    high = low - 1 + (rango * m->acumulada[s - 1]) / total;
    nuevoLow = low + (rango * m->acumulada[s]) / total;
  } else {
    high = low - 1 + Escala(rango, m->acumulada[s - 1], total);
    nuevoLow = low + Escala(rango, m->acumulada[s], total);
  }
  if (nuevoLow > high) return false;  // "!(FichES.low>FichES.high)"
  FichES.low = nuevoLow;
  FichES.high = high;
  return true;
}

// Fast path of CodificaSimbolo on the registers, for a symbol of the model:
// the sub-interval by reciprocal scaling, renormalisation, then the update.
template <bool kCuenta>
inline int Simbolo(Registros& r, int s, THistograma* m) {
  if (m->nSimbolos < 1) return kAritModeloVacio;
  if (s < 1 || s > m->nSimbolos) return kAritIntervalo;
  const int32_t total = m->acumulada[0];
  const int32_t low = int32_t(r.low), rango = int32_t(r.high - r.low + 1);
  int32_t high, nuevoLow;
  if (total >= 1 && total <= kTotalMaximo) {
    high = low - 1 + Escala(rango, m->acumulada[s - 1], total);
    nuevoLow = low + Escala(rango, m->acumulada[s], total);
  } else {
    high = low - 1 + (rango * m->acumulada[s - 1]) / total;
    nuevoLow = low + (rango * m->acumulada[s]) / total;
  }
  if (nuevoLow > high) return kAritIntervalo;  // "!(FichES.low>FichES.high)"
  Emite<kCuenta>(r, uint32_t(nuevoLow), uint32_t(high));
  ActualizaModelo(s, m);
  return kAritOk;
}

// Plain search: the target count, then the first symbol at or below it.
int BuscaSimboloReferencia(const THistograma* m) {
  const int32_t rango = FichES.high - FichES.low + 1;
  const int32_t total = m->acumulada[0];
  const int32_t objetivo = ((FichES.value - FichES.low + 1) * total - 1) / rango;
  int s = 1;
  while (m->acumulada[s] > objetivo) ++s;
  return s;
}

// Room for the fast path's open bytes, zeroed; false without memory.
bool PreparaAbiertos() {
  try {
    if (FichES.abiertos.size() < kAbiertos + kHolgura) FichES.abiertos.resize(kAbiertos + kHolgura);
  } catch (const std::bad_alloc&) {
    return false;
  }
  std::fill(FichES.abiertos.begin(), FichES.abiertos.end(), uint8_t(0));
  return true;
}

}  // namespace

void CodificadorAritmeticoReferencia(bool on) { usarReferencia = on; }

int InicializaEscritura(const char* path) {
  CierraFichero();
  Reinicia();
  if (!PreparaAbiertos()) return kAritSinMemoria;
  FichES.file = path ? AbreSalidaAtomica(path, &FichES.salida) : nullptr;
  if (!FichES.file) return kAritNoAbre;
  FichES.mask = 0x80;
  return kAritOk;
}

int InicializaEscrituraContador(int64_t limite) {
  CierraFichero();
  Reinicia();
  if (!PreparaAbiertos()) return kAritSinMemoria;
  FichES.contador = true;
  FichES.limite = limite < 0 ? -1 : limite;
  FichES.mask = 0x80;
  return kAritOk;
}

bool LimiteSuperado() { return FichES.limite >= 0 && BytesEscritos() > FichES.limite; }

int InicializaEscrituraMemoria(std::vector<uint8_t>* destino, int64_t limite) {
  CierraFichero();
  Reinicia();
  if (destino == nullptr) return kAritNoAbre;
  if (!PreparaAbiertos()) return kAritSinMemoria;
  destino->clear();
  FichES.memoria = destino;
  FichES.limite = limite < 0 ? -1 : limite;
  FichES.mask = 0x80;
  return kAritOk;
}

int GuardaFlujo(SalidaAtomica* salida, const std::vector<uint8_t>& flujo) {
  FILE* f = AbreContenido(salida);
  if (!f) return kAritNoAbre;
  const bool bien = flujo.empty() || std::fwrite(flujo.data(), 1, flujo.size(), f) == flujo.size();
  return CierraContenido(salida, bien) ? kAritOk : kAritErrorEscritura;
}

int FinalizaEscrituraFicheroDeBits() {
  if (!FichES.file && !FichES.contador && !FichES.memoria) return kAritErrorEscritura;
  ++FichES.pending;
  const int b = FichES.low >= kPrimerCuarto ? 1 : 0;
  if (FichES.referencia) {
    PonBitMasPendientes(b);
    // The byte in hand always goes out, even when the last bit completed the
    // previous one (a trailing 0x00): the stream length depends on it.
    EscribeByte(FichES.outbyte);
    FichES.outbyte = 0;
  } else if (FichES.contador) {
    FichES.bytes = BytesDeBits(FichES.bitsContados);
  } else {
    // The flush settles on the point of the final interval whose digits end
    // soonest, 0x8000 or 0x4000 in the register (b and the pending bits
    // above), so the stream's number takes it in place of low. Its digits
    // end at step S + 1 and the bytes that hold S + 2 bits go out: the last
    // one padded with zeros, or a 0x00 of its own, as above.
    Registros r = Carga();
    const uint32_t punto = b ? uint32_t(kMitad) : uint32_t(kPrimerCuarto);
    const uint64_t suma = r.ventana + (uint64_t(punto - r.low) << (48 - r.desfase));
    if (suma < r.ventana) Acarreo(r);
    r.ventana = suma;
    uint64_t w = r.ventana;
    if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap64(w);
    std::memcpy(r.p, &w, sizeof w);
    Guarda(r);
    // After a hand-over that found no memory, the open bytes no longer hold
    // the stream's end: the write has failed already.
    if (!FichES.escrituraFallida)
      EscribeBytes(FichES.abiertos.data(), size_t(BytesDeBits(r.bits) - FichES.bytes));
  }
  VaciaBuffer();
  bool fallo = FichES.escrituraFallida;
  if (FichES.file) {
    FichES.file = nullptr;
    // A stream that recorded a coding error is not kept either.
    if (!CierraSalidaAtomica(&FichES.salida, !fallo && FichES.error == 0) && FichES.error == 0)
      fallo = true;
  }
  FichES.contador = false;
  FichES.memoria = nullptr;
  if (fallo) {
    const int codigo = FichES.sinMemoria ? kAritSinMemoria : kAritErrorEscritura;
    AnotaError(codigo);
    return codigo;
  }
  return kAritOk;
}

// By the fast path, the size the stream would have if it ended now, which
// later items can only make larger (and, once finished, its size).
int64_t BytesEscritos() {
  return FichES.referencia ? FichES.bytes : BytesDeBits(FichES.bitsContados);
}

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

namespace {

// The first 16 bits of the stream into the decoder's value register.
void EmpiezaLectura() {
  FichES.mask = 0;
  if (FichES.referencia) {
    for (int i = 0; i < 16; ++i) FichES.value = 2 * FichES.value + LeeBit();
  } else {
    LectorAritmetico l = TomaLector();
    l.hasta = LeeBitsLector(l, 16);  // low is 0
    DevuelveLector(l);
  }
}

}  // namespace

int InicializaLecturaFicheroDeBits(const char* path) {
  CierraFichero();
  Reinicia();
  FichES.file = path ? std::fopen(path, "rb") : nullptr;
  if (!FichES.file) return kAritNoAbre;
  FichES.fuente = &fuenteFichero;
  FichES.guardaCopia = !fuenteFichero.Rebobina();
  EmpiezaLectura();
  return kAritOk;
}

bool FuenteMemoria::Rebobina() {
  p_ = inicio_;
  resto_ = tamano_;
  return true;
}

size_t FuenteMemoria::Lee(uint8_t* destino, size_t n) {
  const size_t parte = std::min(n, resto_);
  if (parte > 0) std::memcpy(destino, p_, parte);
  p_ += parte;
  resto_ -= parte;
  return parte;
}

int InicializaLecturaFuente(FuenteBytes* fuente) {
  CierraFichero();
  Reinicia();
  if (!fuente) return kAritNoAbre;
  FichES.fuente = fuente;
  FichES.guardaCopia = !fuente->Rebobina();
  EmpiezaLectura();
  return kAritOk;
}

void FinalizaLecturaFicheroDeBits() { CierraFichero(); }

// Every byte handed out, less the bits still unused in the fast reader's
// window or in the plain path's byte in hand.
int64_t BitsConsumidos() {
  const int enMano = FichES.mask ? std::countr_zero(unsigned(FichES.mask)) + 1 : 0;
  return 8 * (FichES.bytesAntes + int64_t(FichES.leido) + FichES.relleno) - FichES.nLect - enMano;
}

int64_t BytesFuente() { return FichES.fin ? FichES.bytesAntes + int64_t(FichES.lleno) : -1; }

size_t BytesALaMano() { return FichES.lleno - FichES.leido; }

size_t BytesDesde(int64_t desde, uint8_t* destino, size_t n) {
  size_t k = 0;
  while (k < n) {
    const int64_t i = desde + int64_t(k), enBuffer = i - FichES.bytesAntes;
    if (enBuffer < 0) {
      const int64_t enCola = enBuffer + int64_t(FichES.nCola);
      if (enCola < 0) break;
      destino[k++] = FichES.cola[enCola];
    } else if (enBuffer < int64_t(FichES.lleno)) {
      destino[k++] = FichES.buffer[enBuffer];
    } else if (!CargaBloque()) {
      break;
    }
  }
  return k;
}

bool RecorreFuente(int64_t hasta, void (*trozo)(const uint8_t*, size_t, void*), void* datos) {
  if (FichES.guardaCopia) {
    if (FichES.copiaPerdida || int64_t(FichES.copia.size()) < hasta) return false;
    trozo(FichES.copia.data(), size_t(hasta), datos);
    return true;
  }
  if (!FichES.fuente || !FichES.fuente->Rebobina()) return false;
  // The buffer now holds other bytes than the decoder's: nothing more to read.
  FichES.lleno = FichES.leido = 0;
  FichES.fin = true;
  for (int64_t hecho = 0; hecho < hasta;) {
    const size_t n = FichES.fuente->Lee(FichES.buffer, size_t(std::min<int64_t>(kBloque, hasta - hecho)));
    if (n == 0) return false;
    trozo(FichES.buffer, n, datos);
    hecho += int64_t(n);
  }
  return true;
}

int DecodificaBits(int nbits) {
  if (nbits < 0 || nbits > 32) {
    AnotaError(kAritIntervalo);
    return 0;
  }
  if (!FichES.referencia) {
    LectorAritmetico l = TomaLector();
    const int v = DecodificaBitsLector(l, nbits);
    DevuelveLector(l);
    return v;
  }
  // Summed as unsigned so that a 32-bit field comes back with its exact bit
  // pattern, sign bit included.
  uint32_t suma = 0;
  while (nbits > kMaxChunk) {
    nbits -= kMaxChunk;
    suma += static_cast<uint32_t>(DecodificaBitsAuxReferencia(kMaxChunk)) << nbits;
  }
  suma += static_cast<uint32_t>(DecodificaBitsAuxReferencia(nbits));
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
  if (s < 1 || s > m->nSimbolos) {
    AnotaError(kAritIntervalo);
    return kAritIntervalo;
  }
  if (FichES.referencia) {
    if (!AjustaRango(s, m)) {
      AnotaError(kAritIntervalo);
      return kAritIntervalo;
    }
    EncoderActualizaIntervaloReferencia();
    ActualizaModelo(s, m);
    return kAritOk;
  }
  Registros r = Carga();
  const int codigo = FichES.contador ? Simbolo<true>(r, s, m) : Simbolo<false>(r, s, m);
  Guarda(r);
  if (codigo != kAritOk) AnotaError(codigo);
  return codigo;
}

int CodificaSimboloYBits(int s, THistograma* m, int nbits, int value) {
  const int r = CodificaSimbolo(s, m);
  CodificaBits(nbits, value);
  return r;
}

int CodificaItems(const ItemAritmetico* items, size_t n, THistograma* modelos) {
  int primero = kAritOk;
  auto anota = [&](int codigo) {
    if (codigo == kAritOk) return;
    AnotaError(codigo);
    if (primero == kAritOk) primero = codigo;
  };
  if (FichES.referencia) {
    for (size_t i = 0; i < n; ++i) {
      const ItemAritmetico& it = items[i];
      if (it.modelo != kSinSimbolo) anota(CodificaSimbolo(it.simbolo, modelos + it.modelo));
      if (it.nbits > 32) anota(kAritIntervalo);
      CodificaBits(it.nbits, it.valor);
    }
    return primero;
  }
  Registros r = Carga();
  auto codifica = [&]<bool kCuenta>() {
    for (size_t i = 0; i < n; ++i) {
      const ItemAritmetico& it = items[i];
      if (it.modelo != kSinSimbolo) anota(Simbolo<kCuenta>(r, it.simbolo, modelos + it.modelo));
      // An empty field leaves the interval as it is: skipped, it does not
      // hold up the next item with a renormalisation that changes nothing.
      if (it.nbits > 32)
        anota(kAritIntervalo);
      else if (it.nbits > 0)
        Campo<kCuenta>(r, it.nbits, it.valor);
    }
  };
  if (FichES.contador)
    codifica.operator()<true>();
  else
    codifica.operator()<false>();
  Guarda(r);
  return primero;
}

int DecodificaSimbolo(THistograma* m) {
  if (m->nSimbolos < 1 || m->nSimbolos > kMaxSimbolos) {
    AnotaError(kAritModeloVacio);
    return 0;
  }
  const int32_t total = m->acumulada[0];
  if (FichES.referencia) {
    const int s = BuscaSimboloReferencia(m);
    AjustaRango(s, m);
    DecoderActualizaIntervaloReferencia();
    ActualizaModelo(s, m);
    return s;
  }
  LectorAritmetico l = TomaLector();
  int s;
  if (total < 1 || total > kTotalMaximo) {  // a model no update can make: divide
    s = BuscaSimboloReferencia(m);
    AjustaRango(s, m);
    RenormalizaLector(l, uint32_t(FichES.low), uint32_t(FichES.high),
                      uint32_t(FichES.value - FichES.low));
    ActualizaModelo(s, m);
  } else {
    s = DecodificaSimboloLector(l, m);
  }
  DevuelveLector(l);
  return s;
}

bool LectorDisponible() { return !FichES.referencia; }

LectorAritmetico TomaLector() {
  return {uint32_t(FichES.low), uint32_t(FichES.high), uint32_t(FichES.value - FichES.low), FichES.lect,
          FichES.nLect,         FichES.buffer + FichES.leido, FichES.buffer + FichES.lleno};
}

void DevuelveLector(const LectorAritmetico& l) {
  FichES.low = int32_t(l.low);
  FichES.high = int32_t(l.high);
  FichES.value = int32_t(l.low + l.hasta);
  FichES.lect = l.lect;
  FichES.nLect = l.nLect;
  FichES.leido = size_t(l.p - FichES.buffer);
}

VentanaLectura RellenaLectorLento(VentanaLectura v) {
  FichES.leido = size_t(v.p - FichES.buffer);
  for (; v.nLect <= 56; v.nLect += 8) v.lect |= uint64_t(LeeByte()) << (56 - v.nLect);
  return {v.lect, v.nLect, FichES.buffer + FichES.leido, FichES.buffer + FichES.lleno};
}

int ErrorCodificadorAritmetico() { return FichES.error; }
