// Forward and inverse 6-level transforms; the "ns/pixel" counter is the wall
// time per image sample. Arguments: side, kernel set (0 plain, 1 AVX2,
// 2 AVX-512, -1 automatic) and threads (1, 2 or -1 automatic); the CPU column
// adds up both threads.
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

// Applies the run's kernel set and threads; false (and the benchmark skipped)
// when the processor lacks the kernel set asked for.
bool SetMode(benchmark::State& state) {
  const int simd = int(state.range(1));
  if (WaveletsModo(simd, int(state.range(2))) != simd && simd >= 0) {
    state.SkipWithError("kernel set not offered by this processor");
    return false;
  }
  return true;
}

void BM_Forward(benchmark::State& state) {
  const int side = int(state.range(0));
  if (!SetMode(state)) return;
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
  if (!SetMode(state)) return;
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

// The automatic choice at both sizes, then every kernel set on one and two threads.
void Modes(benchmark::internal::Benchmark* b) {
  b->ArgNames({"side", "simd", "threads"});
  b->Args({512, -1, -1});
  b->Args({4096, -1, -1});
  for (const int simd : {0, 1, 2})
    for (const int threads : {1, 2}) b->Args({4096, simd, threads});
  b->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
}

BENCHMARK(BM_Forward)->Apply(Modes);
BENCHMARK(BM_Inverse)->Apply(Modes);
