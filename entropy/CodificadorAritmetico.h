// Bit file and adaptive arithmetic coder (16-bit registers, pending bits).
// The only code that touches the bytes of a compressed file. Each thread has
// one bit file open at a time, for writing or for reading; the state lives in
// the module, one record per thread.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

// Adaptive frequency model of an alphabet of at most 37 symbols.
typedef struct tagTCodAritm {
  int32_t frecuencia[38];  // [0] is a sentinel 0; [1..nSimbolos] counts >= 1
  int32_t acumulada[38];   // acumulada[i] = sum of frecuencia[i+1..nSimbolos]
  int32_t nSimbolos;
} THistograma;

// Status codes of the module. The opening operations keep their historical
// result 1 for "cannot open"; the other failures are recorded as the module's
// error (see ErrorCodificadorAritmetico) and never abort the process.
enum : int {
  kAritOk = 0,
  kAritNoAbre = 1,           // the file cannot be opened
  kAritErrorEscritura = 2,   // a write, flush or close of the bit file failed
  kAritAlfabeto = 3,         // alphabet above 37 or below 0 symbols: "!(nSimbolos>=38)"
  kAritIntervalo = 4,        // symbol outside its model: "!(FichES.low>FichES.high)"
  kAritModeloVacio = 5,      // a symbol was asked of a model with no symbols
  kAritSinMemoria = 6,       // writing: no memory to hold the stream's bytes
  kAritErrorLectura = 7,     // reading: the file failed to read (not its end)
};

// Writing.
// 0, 1 if the file cannot be opened, or kAritSinMemoria (before it is opened).
int InicializaEscritura(const char* path);
// As above, but only counts the bytes: no file (0 or kAritSinMemoria). With a
// limit >= 0 the caller may stop coding once LimiteSuperado() says the stream
// has passed it.
int InicializaEscrituraContador(int64_t limite = -1);
bool LimiteSuperado();                      // more than `limite` bytes already put
// As InicializaEscritura, but the stream's bytes go into *destino (emptied
// first) instead of a file; with a limit as for counting. 1 if destino is null,
// kAritSinMemoria as above.
int InicializaEscrituraMemoria(std::vector<uint8_t>* destino, int64_t limite = -1);
// Writes a stream kept in memory as the whole content of a prepared output
// (SalidaAtomica.h), which the caller then confirms: 0, 1 if it cannot be
// opened, or kAritErrorEscritura.
struct SalidaAtomica;
int GuardaFlujo(SalidaAtomica* salida, const std::vector<uint8_t>& flujo);
// Flush and close: 0, kAritErrorEscritura, or kAritSinMemoria when some of
// the stream could not be held. A file replaces its name only now, and only
// when it is whole and no coding error was recorded
// (ErrorCodificadorAritmetico); otherwise the name keeps what it had.
int FinalizaEscrituraFicheroDeBits();
// Bytes of the stream so far, final after Finaliza. While counting, at least
// the bytes put so far and at most the size the stream would have if it ended
// now: either way a size that later items can only make larger.
int64_t BytesEscritos();
void CodificaBits(int nbits, int value);    // raw field of 0..32 bits (low bits of value)

// Reading. The stream's bytes come from a source, in blocks as the decoder
// needs them: a file (read, never mapped: a file that shrinks under a mapping
// would kill the process) or bytes in memory. Every byte past the source's
// end reads as 0xFF.
class FuenteBytes {
 public:
  // Puts up to n bytes in destino; fewer (or 0) only at the end of the source,
  // or when reading it failed.
  virtual size_t Lee(uint8_t* destino, size_t n) = 0;
  // Back to the first byte, if the source can go there (a pipe cannot).
  virtual bool Rebobina() { return false; }
  // Whether a read failed (a device error, a directory): no end of the source.
  // Decoding then ends with kAritErrorLectura.
  virtual bool Fallida() const { return false; }

 protected:
  ~FuenteBytes() = default;
};
// Bytes held in memory: reading never goes past datos[tamano - 1].
class FuenteMemoria final : public FuenteBytes {
 public:
  FuenteMemoria(const uint8_t* datos, size_t tamano)
      : inicio_(datos), p_(datos), tamano_(datos ? tamano : 0), resto_(tamano_) {}
  size_t Lee(uint8_t* destino, size_t n) override;
  bool Rebobina() override;

 private:
  const uint8_t* inicio_;
  const uint8_t* p_;
  size_t tamano_, resto_;
};
int InicializaLecturaFicheroDeBits(const char* path);  // 0, or 1 if it cannot be opened
// As above from a source the caller keeps alive until FinalizaLectura...; 1
// if it is null.
int InicializaLecturaFuente(FuenteBytes* fuente);
void FinalizaLecturaFicheroDeBits();
int DecodificaBits(int nbits);  // raw field of 0..32 bits
// Bits the arithmetic decoder has consumed: the 16 of its first code value
// and one per renormalisation step, not what the fast reader fetched ahead.
int64_t BitsConsumidos();
// The source's size in bytes once its end has been read, -1 before.
int64_t BytesFuente();
// Bytes read from the source and not yet handed to the decoder's window.
size_t BytesALaMano();
// Once the decoder is done: up to n bytes of the source from byte `desde`
// on, which is at most 16 bytes before the decoder's window (fewer at the
// source's end).
size_t BytesDesde(int64_t desde, uint8_t* destino, size_t n);
// Once the decoder is done: hands the source's bytes 0 to hasta - 1 to
// trozo, piece by piece, reading them again (a source that cannot go back to
// its start has had them kept as they were read); false if they cannot be had.
bool RecorreFuente(int64_t hasta, void (*trozo)(const uint8_t*, size_t, void*), void* datos);

// Models. InicializaModelo returns 0 or kAritAlfabeto (the model then has no
// symbols). CodificaSimbolo returns 0, or an error code when s is not a symbol
// of the model (nothing is coded then). DecodificaSimbolo returns a symbol in
// 1..nSimbolos, or 0 when the model has no symbol (the error is recorded).
int InicializaModelo(long nSimbolos, THistograma* model);
int CodificaSimbolo(int s, THistograma* model);
int DecodificaSimbolo(THistograma* model);
// CodificaSimbolo(s, model) then CodificaBits(nbits, value), in one call.
int CodificaSimboloYBits(int s, THistograma* model, int nbits, int value);

// A run of items handed over at once: each is a symbol of the model
// modelos[modelo] (none when modelo is kSinSimbolo) followed by a raw field
// of `nbits` (0 to 32) bits of `valor`. Eight bytes each, so that a caller
// can hand many over cheaply. CodificaItems codes them exactly as the calls
// above would, one after the other, and returns 0 or the first error (all
// errors are also recorded).
struct ItemAritmetico {
  int32_t valor;
  uint8_t simbolo;
  uint8_t modelo;
  uint8_t nbits;
};
constexpr uint8_t kSinSimbolo = 0xFF;
int CodificaItems(const ItemAritmetico* items, size_t n, THistograma* modelos);

// Test hook: files opened while it is on are coded and decoded through the
// plain paths kept beside the fast ones (one renormalisation step and one bit
// at a time, divisions, linear symbol search). Both give the same bytes and
// the same items.
void CodificadorAritmeticoReferencia(bool on);

// First error recorded since the last Inicializa* of the bit file, or 0.
int ErrorCodificadorAritmetico();
