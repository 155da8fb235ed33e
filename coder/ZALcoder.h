// The ZAL tree coder of wavelet coefficients: compressed stream, encoder, decoder.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

class FuenteBytes;

// Error codes of the coder; ZALCheckError shows them plus 200.
enum : int {
  kZALOk = 0,
  kZALArquitectura = 1,      // int and float differ in size
  kZALRplanes = 2,           // rplanes outside 2..12
  kZALSinImagen = 3,         // no plane given
  kZALDemasiadosNiveles = 4, // levels above 9
  kZALPocosNiveles = 5,      // levels below 3
  kZALLadoNoMultiplo = 6,    // a side is not a multiple of 2^(levels+1)
  kZALNoEscribe = 7,         // the output cannot be created or written
  kZALNoLee = 8,             // the input cannot be opened
  kZALSinMemoria = 9,        // the decoded plane cannot be allocated
  kZALQuantPequeno = 10,     // an alphabet or magnitude would not fit the format
  kZALLadoFueraDeRango = 11, // a side outside 1..8191 (13-bit header fields)
  kZALCabeceraCorrupta = 12, // the file's header is not one the encoder writes
  kZALDatosCorruptos = 13,   // the file's body cannot be decoded
  kZALBordeIncorrecto = 14,  // negative blankborder
  kZALQuantInvalido = 15,    // quant not a positive finite number
  // The extension after a stream (ZALextension.h) is damaged:
  kZALExtCortada = 16,       // the file ends inside it
  kZALExtCrc = 17,           // its CRC-32 is not the file's, or its magic is damaged
  kZALExtFlags = 18,         // flags this version does not know
  kZALExtTamano = 19,        // a true size the padding cannot give
};

// Codes the transformed plane into the file `path`. Returns 0 or an error code
// (ZALCheckError). Overwrites the plane's cells with the coder's labels, also
// when it returns 7 or 10; it refuses with 2 to 6, 10, 11, 14 and 15 (quant
// NaN, infinite, zero or negative) before creating the file. When writing
// fails, or the stream is unusable, the output keeps what it had
// (entropy/SalidaAtomica.h). Memory that runs out, here or in the other
// encoders, is 9 (never 7).
// With rd the labels are chosen by rate and distortion (ZAL_RDO): a stream
// of the same format, usually better for its size and slower to make, which
// needs three more plane-sized arrays (code 9 without them).
int ZALCodificador(signed char rplanes, signed char levels, float quant, int width, int height,
                   float* plane, const char* path, signed char blankborder, bool rd = false);

// The refusal ZALCodificador gives for these arguments whatever the plane's
// values (one is given): 0 or the first of 2, 4 to 6, 11, 14 and 15 in its
// order. Known before the plane exists.
int ZALCompruebaArgumentos(signed char rplanes, signed char levels, float quant, int width, int height,
                           signed char blankborder);

// Same stream as ZALCodificador, but only its size in bytes is produced (*bytes);
// no file is touched. Used where only the rate of a trial matters.
// With limite >= 0 it may stop as soon as the stream has passed limite bytes,
// for a caller that only needs to know whether the stream is longer than
// that: *bytes > limite exactly when the whole stream would be longer than
// limite bytes, but when it is, *bytes may be less than the whole size.
// limite < 0 (the default) codes the whole stream.
// Calls on different threads may run at once (each on its own plane). With
// unHilo the call starts no thread of its own, for callers that keep the
// other cores busy themselves; the size is the same.
int ZALCodificadorTamano(signed char rplanes, signed char levels, float quant, int width,
                         int height, float* plane, signed char blankborder, int64_t* bytes,
                         int64_t limite = -1, bool unHilo = false, bool rd = false);

// As ZALCodificadorTamano, and the stream's bytes are kept in *flujo too: all
// of them when the whole stream was coded (*bytes <= limite, or limite < 0),
// only the first ones when the call stopped early.
int ZALCodificadorMemoria(signed char rplanes, signed char levels, float quant, int width,
                          int height, float* plane, signed char blankborder, int64_t* bytes,
                          std::vector<uint8_t>* flujo, int64_t limite = -1, bool unHilo = false,
                          bool rd = false);

// Writes a stream kept by ZALCodificadorMemoria as the whole content of a
// prepared output (entropy/SalidaAtomica.h), which, once confirmed, holds
// what ZALCodificador would have written: 0, or 7 when it cannot be opened
// or written.
struct SalidaAtomica;
int ZALGuardaFlujo(const std::vector<uint8_t>& flujo, SalidaAtomica* salida);
// The same as the whole of the file `path`, replaced only once written.
int ZALGuardaFlujo(const std::vector<uint8_t>& flujo, const char* path);

// How a decoded stream ended, for a caller that asks (the decoders' last
// argument). A stream that made the arithmetic decoder consume more than
// 8 * bytes + 13 bits ran off the end of a cut file: the decode still
// succeeds, with `truncado` set and the plane holding only what was read
// before the end (the rest 0). A whole stream ends at byte (bits - 6) / 8;
// an extension there that verifies gives the image's true size (the plane
// is the coded one, which may be larger), one that does not is refused
// (16 to 19), other bytes there are ignored.
struct ZALFinFlujo {
  bool truncado = false;
  int64_t bits = 0;    // bits the arithmetic decoder consumed
  int64_t bytes = 0;   // the file's size, -1 if its end was not reached
  bool extension = false;  // a verified extension followed the stream
  int ancho = 0, alto = 0;  // the true size: the extension's, else the coded one
};

// Decodes the file `path` into a new plane (caller frees it with free()).
// The header outputs are set as they are read; on any error *plane is null,
// the input is closed and nothing stays allocated.
int ZALDecodificador(signed char* rplanes, signed char* levels, float* quant, int* width,
                     int* height, float** plane, const char* path, signed char blankborder,
                     ZALFinFlujo* fin = nullptr);

// As ZALDecodificador, reading the stream from `fuente` (a file read in
// blocks, or bytes in memory) instead of opening a file: the same decoding.
int ZALDecodificadorFuente(signed char* rplanes, signed char* levels, float* quant, int* width,
                           int* height, float** plane, FuenteBytes* fuente, signed char blankborder,
                           ZALFinFlujo* fin = nullptr);

// The header of a stream, as the decoder reads it.
struct ZALCabecera {
  int ancho = 0, alto = 0;
  float quant = 0.0f;
  int rplanes = 0, levels = 0;
  int simbolos[10] = {};  // per level, LL first
};
// Reads only the header from `fuente`, with the decoder's checks: 0, 8 when
// there is no source, or 12 (the fields read so far are kept).
int ZALLeeCabecera(FuenteBytes* fuente, ZALCabecera* cabecera);
// The extension where the encoder puts it, as the last 14 of `tamano` bytes
// that begin with a stream of header c (found without decoding; the decoder
// finds it wherever the stream ends): 0 with the true size in *ancho, *alto
// (the coded one, *hay false, when those bytes do not begin with its magic),
// or 17 to 19 when it does not verify.
int ZALExtensionAlFinal(const uint8_t* datos, size_t tamano, const ZALCabecera& c, int* ancho,
                        int* alto, bool* hay);

// Test hook: calls made while it is on take the plain paths kept beside the
// fast ones (one-thread labelling without shortcuts, member-by-member
// emission and decoding). Both give the same files, labels and planes.
void ZALReferencia(bool on);

// Test hook: the instruction set of the encoder's labelling for later calls:
// 0 the baseline, 1 AVX2, 2 AVX-512, or -1 the widest the processor offers
// (the default), a wider request than that being lowered to it. Every choice
// gives the same labels. Returns the set in force.
int ZALSimd(int simd);

// Message for a coder error code, into a buffer of at least 128 characters:
// its text (below) and the number shown, code + 200.
void ZALCheckError(int code, char* buffer);
// The text alone, static.
const char* ZALTextoError(int code);
