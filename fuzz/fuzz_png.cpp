// libFuzzer driver: see zalfuzz::CargadorPNG in targets.h.
#include <cstdio>
#include <cstdlib>

#include "fuzz/targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string fallo = zalfuzz::CargadorPNG(data, size);
  if (!fallo.empty()) {
    std::fprintf(stderr, "zalfuzz: %s\n", fallo.c_str());
    std::abort();
  }
  return 0;
}
