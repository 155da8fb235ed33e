// libFuzzer driver: the fuzzer's bytes straight into zal_decode, as a program
// holding a stream in memory hands it over. Whatever the bytes, the call
// ends in a status; a success gives the header's sides and an image of them,
// and a failure leaves nothing allocated (the leak check sees the rest).
#include <zal/zal.h>

#include <cstdio>
#include <cstdlib>

#include "fuzz/targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The width and height are the stream's first 26 bits, unchanged.
  const int64_t ancho = zalfuzz::BitsIniciales(data, size, 0, 13);
  const int64_t alto = zalfuzz::BitsIniciales(data, size, 13, 13);
  if (ancho * alto > zalfuzz::kCeldasMaximas) return 0;
  zal_info info;
  uint8_t* pixels = nullptr;
  const int estado = zal_decode(data, size, &info, &pixels);
  const char* fallo = nullptr;
  if (estado == 0 && (pixels == nullptr || info.width != ancho || info.height != alto))
    fallo = "a success without the header's image";
  if (estado != 0 && pixels != nullptr) fallo = "a failure left an image behind";
  if (estado == 0) {
    unsigned suma = 0;  // every pixel is read: an image shorter than its sides shows
    for (int64_t i = 0; i < ancho * alto; ++i) suma += pixels[i];
    if (suma == ~0u) std::fprintf(stderr, " ");
  }
  zal_free(pixels);
  if (fallo != nullptr) {
    std::fprintf(stderr, "zalfuzz: %s (status %d: %s)\n", fallo, estado, zal_strerror(estado));
    std::abort();
  }
  return 0;
}
