// The tree coder's shared state (one record per thread), its test hook and
// its messages. The encoder, the decoder and their parts are listed in
// ZALinterno.h.
#include <cstdio>

#include "coder/ZALinterno.h"

namespace zalcoder {

thread_local constinit EstadoZAL z;
bool usarReferencia = false;

}  // namespace zalcoder

void ZALReferencia(bool on) { zalcoder::usarReferencia = on; }

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
    case kZALExtCortada: return "Corrupt compressed file: extension cut short";
    case kZALExtCrc: return "Corrupt compressed file: checksum mismatch";
    case kZALExtFlags: return "Compressed file extension not supported: unknown flags";
    case kZALExtTamano: return "Corrupt compressed file: invalid true size in extension";
    default: return "Unknown error";
  }
}

void ZALCheckError(int code, char* buffer) {
  std::snprintf(buffer, 128, "%s (error #%d)", ZALTextoError(code), code + 200);
}
