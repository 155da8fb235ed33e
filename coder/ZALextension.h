// The optional 14 bytes that may follow a stream: the image's true size,
// when the stream codes it padded to sides the format takes, and a CRC-32 of
// the whole file, so that a damaged file is told from a good one. Bytes after
// the encoder's flush decode to the same values, so a decoder that knows
// nothing of them reads such a file as the padded image.
//
//   offset  bytes  content
//    0      4      "ZALx"
//    4      2      true width, big-endian
//    6      2      true height, big-endian
//    8      2      flags, big-endian: 0 (a reader refuses any other value)
//   10      4      CRC-32 of every byte of the file before it, big-endian
//
// The CRC is the common one: polynomial 0xEDB88320 (reflected), initial value
// and final xor 0xFFFFFFFF. Nothing here reads or writes a file.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

constexpr size_t kZALExtensionBytes = 14;
constexpr uint8_t kZALExtensionMagia[4] = {'Z', 'A', 'L', 'x'};
constexpr size_t kZALExtensionAncho = 4, kZALExtensionAlto = 6, kZALExtensionFlags = 8,
                 kZALExtensionCrc = 10;

// CRC-32 of n bytes following bytes whose CRC-32 is `crc` (0 for none), so
// that a file may be checked in pieces: ZALCrc32(ZALCrc32(0, a), b) is the
// CRC of a followed by b.
uint32_t ZALCrc32(uint32_t crc, const uint8_t* bytes, size_t n);

// The 14 bytes that follow a stream whose CRC-32 is crcFlujo, for an image of
// ancho x alto samples (1 to 65535 each; the format's own sides are smaller).
std::array<uint8_t, kZALExtensionBytes> ZALConstruyeExtension(uint32_t crcFlujo, int ancho, int alto);
// Appends them to a whole stream.
void ZALAnadeExtension(std::vector<uint8_t>& flujo, int ancho, int alto);

// What the bytes after a stream's last byte are.
enum ZALEstadoExtension : int {
  kExtValida = 0,  // a whole extension that verifies: the true size is read
  kExtAusente,     // none: no bytes, or bytes that do not begin as the magic does (ignored)
  kExtCortada,     // the file ends inside the extension (or inside its magic)
  kExtMagia,       // the first bytes agree with the magic, then one differs
  kExtCrc,         // the CRC is not the file's
  kExtFlags,       // flags other than 0: written by a later version, not understood
  kExtTamano,      // a true side of 0, above the coded one, or a whole 2^(levels+1) below it
};

// Reads the n bytes `resto` that follow a stream whose CRC-32 is crcFlujo,
// the stream coding an image of anchoCod x altoCod with `levels` levels.
// Checked in this order: magic, length, CRC, flags, size; bytes after the 14
// are not looked at. On kExtValida, *ancho and *alto get the true size.
ZALEstadoExtension ZALLeeExtension(uint32_t crcFlujo, const uint8_t* resto, size_t n, int anchoCod,
                                   int altoCod, int levels, int* ancho, int* alto);
