// The coefficient coder alone, on planes already transformed (6 levels,
// rplanes 2): encoder into a file, size-only encoder, and decoder. Photographs
// of the shared folder at about 1 bpp (quant found once, fixed here). The
// "ns/pixel" counter is the wall-clock time per image sample (the encoder
// labels and codes on two threads). The size-only encoder is also timed
// without its helper threads, alone and as two encodes at once on two
// threads, as the rate finder runs them (there "ns/pixel" counts both images).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "coder/ZALcoder.h"
#include "image/ImagenLuminanciaES.h"
#include "wavelet/wavelets.h"

namespace {

constexpr int kLevels = 6;
constexpr int kRplanes = 2;
constexpr int kBorder = 3;

struct Photo {
  const char* file;
  float quant;  // about 1 bpp at 6 levels and rplanes 2
};
// camera: 1.00 bpp; kleiber: 1.00 bpp.
constexpr Photo kPhotos[] = {{"camera_512x512.pgm", 1.35f}, {"kleiber_4096x3328.pgm", 0.45f}};

struct Transformed {
  int width = 0, height = 0;
  std::vector<float> plane;
};

bool Load(const Photo& photo, Transformed& t) {
  const std::string path = std::string(ZAL_SHARED_DIR) + "/images/" + photo.file;
  float* plane = nullptr;
  if (CargaImagenLuminancia(path.c_str(), &t.width, &t.height, &plane, kBorder) != 0) return false;
  const size_t cells = size_t(t.height) * (t.width + kBorder);
  const bool ok = TransformaWavelet(kLevels, t.width, t.height, plane, kBorder) == 0;
  t.plane.assign(plane, plane + cells);
  std::free(plane);
  return ok;
}

std::string TempFile() { return "/tmp/bench_coder_" + std::to_string(getpid()) + ".zal"; }

void SetPerPixel(benchmark::State& state, const Transformed& t) {
  state.counters["ns/pixel"] = benchmark::Counter(
      double(t.width) * t.height * 1e-9,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_Encode(benchmark::State& state) {
  const Photo& photo = kPhotos[state.range(0)];
  Transformed t;
  if (!Load(photo, t)) return state.SkipWithError("photograph not found in the shared folder");
  const std::string out = TempFile();
  std::vector<float> plane = t.plane;
  int64_t bytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    plane = t.plane;  // the encoder overwrites the plane with its labels
    state.ResumeTiming();
    if (ZALCodificador(kRplanes, kLevels, photo.quant, t.width, t.height, plane.data(),
                       out.c_str(), kBorder) != 0)
      return state.SkipWithError("encoder failed");
  }
  ZALCodificadorTamano(kRplanes, kLevels, photo.quant, t.width, t.height, t.plane.data(), kBorder,
                       &bytes);
  unlink(out.c_str());
  state.counters["bpp"] = double(bytes) * 8 / (double(t.width) * t.height);
  state.SetLabel(photo.file);
  SetPerPixel(state, t);
}

void BM_EncodeSizeOnly(benchmark::State& state) {
  const Photo& photo = kPhotos[state.range(0)];
  Transformed t;
  if (!Load(photo, t)) return state.SkipWithError("photograph not found in the shared folder");
  std::vector<float> plane = t.plane;
  for (auto _ : state) {
    state.PauseTiming();
    plane = t.plane;
    state.ResumeTiming();
    int64_t bytes = 0;
    ZALCodificadorTamano(kRplanes, kLevels, photo.quant, t.width, t.height, plane.data(), kBorder,
                         &bytes);
    benchmark::DoNotOptimize(bytes);
  }
  state.SetLabel(photo.file);
  SetPerPixel(state, t);
}

// range(1): 0 one encode without helper threads, 1 two such encodes at once
// (at a second parameter 1% above, as a rate finder's next trial).
void BM_EncodeSizeOnlyOneThread(benchmark::State& state) {
  const Photo& photo = kPhotos[state.range(0)];
  const bool pair = state.range(1) != 0;
  Transformed t;
  if (!Load(photo, t)) return state.SkipWithError("photograph not found in the shared folder");
  std::vector<float> plane = t.plane, other = t.plane;
  auto code = [&](std::vector<float>& p, float quant) {
    int64_t bytes = 0;
    ZALCodificadorTamano(kRplanes, kLevels, quant, t.width, t.height, p.data(), kBorder, &bytes, -1,
                         true);
    benchmark::DoNotOptimize(bytes);
  };
  for (auto _ : state) {
    state.PauseTiming();
    plane = t.plane;
    other = t.plane;
    state.ResumeTiming();
    if (pair) {
      std::thread second([&] { code(other, photo.quant * 1.01f); });
      code(plane, photo.quant);
      second.join();
    } else {
      code(plane, photo.quant);
    }
  }
  state.SetLabel(std::string(photo.file) + (pair ? " two at once" : " alone"));
  SetPerPixel(state, t);
  if (pair) state.counters["ns/pixel"] = benchmark::Counter(
      2 * double(t.width) * t.height * 1e-9,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_Decode(benchmark::State& state) {
  const Photo& photo = kPhotos[state.range(0)];
  Transformed t;
  if (!Load(photo, t)) return state.SkipWithError("photograph not found in the shared folder");
  const std::string in = TempFile();
  if (ZALCodificador(kRplanes, kLevels, photo.quant, t.width, t.height, t.plane.data(), in.c_str(),
                     kBorder) != 0)
    return state.SkipWithError("encoder failed");
  for (auto _ : state) {
    signed char r, l;
    float q;
    int w, h;
    float* plane = nullptr;
    if (ZALDecodificador(&r, &l, &q, &w, &h, &plane, in.c_str(), kBorder) != 0)
      return state.SkipWithError("decoder failed");
    benchmark::DoNotOptimize(plane);
    std::free(plane);
  }
  unlink(in.c_str());
  state.SetLabel(photo.file);
  SetPerPixel(state, t);
}

}  // namespace

BENCHMARK(BM_Encode)->DenseRange(0, 1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_EncodeSizeOnly)->DenseRange(0, 1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_EncodeSizeOnlyOneThread)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_Decode)->DenseRange(0, 1)->Unit(benchmark::kMillisecond)->UseRealTime();
