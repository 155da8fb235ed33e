// PGM loading and saving speed on a 4096 × 4096 generated image, reported in
// nanoseconds per pixel ("ns_per_pixel", shown with an SI prefix: 1.5n = 1.5 ns).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "image/ImagenLuminanciaES.h"

namespace {

constexpr int kSide = 4096;
constexpr signed char kGap = 3;

// A folder with the generated image, removed at exit.
struct Fixture {
  std::string dir, input, output;
  std::vector<float> plane;
  Fixture() {
    char tmpl[] = "/tmp/zalbench-XXXXXX";
    if (!mkdtemp(tmpl)) std::abort();
    dir = tmpl;
    input = dir + "/in.pgm";
    output = dir + "/out.pgm";
    plane.assign(size_t(kSide) * (kSide + kGap), 0.0f);
    uint32_t state = 12345;  // small LCG: a photograph-like mix is not needed for I/O
    for (int y = 0; y < kSide; ++y)
      for (int x = 0; x < kSide; ++x) {
        state = state * 1664525u + 1013904223u;
        plane[size_t(y) * (kSide + kGap) + x] = float((x + y) / 32 + (state >> 28));
      }
    if (GuardaImagenLuminancia(input.c_str(), kSide, kSide, plane.data(), kGap) != 0) std::abort();
  }
  ~Fixture() {
    std::remove(input.c_str());
    std::remove(output.c_str());
    rmdir(dir.c_str());
  }
};

Fixture& Shared() {
  static Fixture fixture;
  return fixture;
}

void PerPixel(benchmark::State& state) {
  state.counters["ns_per_pixel"] = benchmark::Counter(
      double(kSide) * kSide, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_LoadPgm(benchmark::State& state) {
  const Fixture& f = Shared();
  for (auto _ : state) {
    int width = 0, height = 0;
    float* plane = nullptr;
    if (CargaImagenLuminancia(f.input.c_str(), &width, &height, &plane, kGap) != 0) {
      state.SkipWithError("load failed");
      break;
    }
    benchmark::DoNotOptimize(plane);
    std::free(plane);
  }
  PerPixel(state);
}
BENCHMARK(BM_LoadPgm)->Unit(benchmark::kMillisecond);

void BM_SavePgm(benchmark::State& state) {
  const Fixture& f = Shared();
  for (auto _ : state) {
    if (GuardaImagenLuminancia(f.output.c_str(), kSide, kSide, f.plane.data(), kGap) != 0) {
      state.SkipWithError("save failed");
      break;
    }
  }
  PerPixel(state);
}
BENCHMARK(BM_SavePgm)->Unit(benchmark::kMillisecond);

}  // namespace
