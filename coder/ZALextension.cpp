// The extension after a stream (ZALextension.h): its CRC-32, its bytes and
// their reading.
#include "coder/ZALextension.h"

#include <algorithm>
#include <cstring>

#include <zlib.h>

namespace {

void Pon16(uint8_t* p, unsigned v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
}
unsigned Lee16(const uint8_t* p) { return unsigned(p[0]) << 8 | p[1]; }
uint32_t Lee32(const uint8_t* p) { return uint32_t(Lee16(p)) << 16 | Lee16(p + 2); }

// A true side that the padding of `codificado` at `levels` levels can give.
bool LadoValido(int lado, int codificado, int levels) {
  if (levels < 0 || levels > 29) return false;
  return lado >= 1 && lado <= codificado && codificado - lado < (1 << (levels + 1));
}

}  // namespace

uint32_t ZALCrc32(uint32_t crc, const uint8_t* bytes, size_t n) {
  return uint32_t(crc32_z(crc, bytes, n));
}

std::array<uint8_t, kZALExtensionBytes> ZALConstruyeExtension(uint32_t crcFlujo, int ancho, int alto) {
  std::array<uint8_t, kZALExtensionBytes> e{};
  std::memcpy(e.data(), kZALExtensionMagia, sizeof kZALExtensionMagia);
  Pon16(&e[kZALExtensionAncho], unsigned(ancho));
  Pon16(&e[kZALExtensionAlto], unsigned(alto));
  Pon16(&e[kZALExtensionFlags], 0);
  const uint32_t crc = ZALCrc32(crcFlujo, e.data(), kZALExtensionCrc);
  Pon16(&e[kZALExtensionCrc], crc >> 16);
  Pon16(&e[kZALExtensionCrc + 2], crc & 0xFFFF);
  return e;
}

void ZALAnadeExtension(std::vector<uint8_t>& flujo, int ancho, int alto) {
  const auto e = ZALConstruyeExtension(ZALCrc32(0, flujo.data(), flujo.size()), ancho, alto);
  flujo.insert(flujo.end(), e.begin(), e.end());
}

ZALEstadoExtension ZALLeeExtension(uint32_t crcFlujo, const uint8_t* resto, size_t n, int anchoCod,
                                   int altoCod, int levels, int* ancho, int* alto) {
  const size_t magia = std::min(n, sizeof kZALExtensionMagia);
  if (n == 0 || resto[0] != kZALExtensionMagia[0]) return kExtAusente;
  if (std::memcmp(resto, kZALExtensionMagia, magia) != 0) return kExtMagia;
  if (n < kZALExtensionBytes) return kExtCortada;
  if (ZALCrc32(crcFlujo, resto, kZALExtensionCrc) != Lee32(resto + kZALExtensionCrc)) return kExtCrc;
  if (Lee16(resto + kZALExtensionFlags) != 0) return kExtFlags;
  const int w = int(Lee16(resto + kZALExtensionAncho)), h = int(Lee16(resto + kZALExtensionAlto));
  if (!LadoValido(w, anchoCod, levels) || !LadoValido(h, altoCod, levels)) return kExtTamano;
  *ancho = w;
  *alto = h;
  return kExtValida;
}
