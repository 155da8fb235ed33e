// Forward and inverse 6-level transforms; the "ns/pixel" counter is the time per
// image sample.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "wavelet/wavelets.h"

namespace {

constexpr int kLevels = 6;
constexpr int kBorder = 3;

// A deterministic image-like plane: a gradient with some texture, 0..255.
std::vector<float> MakePlane(int side) {
  std::vector<float> plane(size_t(side) * (side + kBorder), 0.0f);
  uint32_t r = 12345;
  for (int y = 0; y < side; y++)
    for (int x = 0; x < side; x++) {
      r = r * 1664525u + 1013904223u;
      plane[size_t(y) * (side + kBorder) + x] = float((x + y) * 255 / (2 * side) + (r >> 28) * 4);
    }
  return plane;
}

void SetPerPixel(benchmark::State& state, int side) {
  state.counters["ns/pixel"] = benchmark::Counter(
      double(side) * side * 1e-9,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_Forward(benchmark::State& state) {
  const int side = int(state.range(0));
  const std::vector<float> image = MakePlane(side);
  std::vector<float> plane = image;
  for (auto _ : state) {
    state.PauseTiming();
    plane = image;
    state.ResumeTiming();
    TransformaWavelet(kLevels, side, side, plane.data(), kBorder);
    benchmark::DoNotOptimize(plane.data());
  }
  SetPerPixel(state, side);
}

void BM_Inverse(benchmark::State& state) {
  const int side = int(state.range(0));
  std::vector<float> plane = MakePlane(side);
  TransformaWavelet(kLevels, side, side, plane.data(), kBorder);
  const std::vector<float> coefficients = plane;
  for (auto _ : state) {
    state.PauseTiming();
    plane = coefficients;
    state.ResumeTiming();
    TransformaWaveletInversa(kLevels, side, side, plane.data(), kBorder);
    benchmark::DoNotOptimize(plane.data());
  }
  SetPerPixel(state, side);
}

}  // namespace

BENCHMARK(BM_Forward)->Arg(512)->Arg(4096)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Inverse)->Arg(512)->Arg(4096)->Unit(benchmark::kMillisecond);
