// The wavelet transform, every kernel set and thread count bit for bit against a plain per-line
// reference (its output is held by the coder's vectors), its argument checks; the timing slots.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <ctime>

#include "support/support.h"
#include "timing/tiempos.h"
#include "wavelet/wavelets.h"

namespace {

using zaltest::Plane;

bool SameBits(const Plane& a, const Plane& b) {
  return a.cells.size() == b.cells.size() && std::memcmp(a.cells.data(), b.cells.data(), a.cells.size() * 4) == 0;
}

// Samples in -128..128, or (wild) magnitudes from 2^-40 to 2^40 side by side, so that a change in the
// order of operations shows in the bits. The spare samples hold a NaN pattern no arithmetic produces.
Plane RandomPlane(int w, int h, uint64_t seed, bool wild) {
  Plane p(w, h);
  zaltest::Rng rng(seed);
  for (int i = 0; i < int(p.cells.size()); ++i) {
    const double m = 1.0 + rng.Unit();
    p.cells[i] = i % p.stride() >= w ? std::bit_cast<float>(0x7fc0beefu)
                 : wild ? float((rng.Below(2) ? -m : m) * std::ldexp(1.0, int(rng.Below(81)) - 40))
                        : float(m * 256 - 384);
  }
  return p;
}

// Plain per-line reference: each column, then each row, gathered, mirrored and
// filtered with the kernels' order of operations (pairs summed first, in double).
const float kTaps[4][5] = {{0.852698684f, 0.377402872f, -0.110624403f, -0.0238494705f, 0.0378284603f},
                           {0.788485646f, -0.418092281f, -0.04068942f, 0.0645388812f},
                           {0.788485646f, -0.377402872f, -0.04068942f, 0.0238494705f},
                           {0.852698684f, 0.418092281f, -0.110624403f, -0.0645388812f, 0.0378284603f}};

float Filter(const float* x, const float* taps, int n) {
  double s = double(taps[0]) * x[0];
  for (int t = 1; t < n; t++) s += double(taps[t]) * (double(x[t]) + double(x[-t]));
  return float(s);
}

void ReferenceLine(const std::vector<float*>& cell, bool inverse) {
  const int n = int(cell.size());
  std::vector<float> line(n + 8);
  float* x = line.data() + 4;
  for (int i = 0; i < n; i++) x[i] = inverse ? *cell[i % 2 ? n / 2 + i / 2 : i / 2] : *cell[i];
  for (int i = 1; i <= 4; i++) x[-i] = x[i], x[n - 1 + i] = x[n - 1 - i];  // whole-sample mirror
  for (int m = 0; m < n / 2; m++) {  // outputs: low, high (forward); even, odd (inverse)
    *cell[inverse ? 2 * m : m] = Filter(x + 2 * m, kTaps[inverse ? 2 : 0], inverse ? 4 : 5);
    *cell[inverse ? 2 * m + 1 : n / 2 + m] = Filter(x + 2 * m + 1, kTaps[inverse ? 3 : 1], inverse ? 5 : 4);
  }
}

void ReferenceTransform(int level, Plane& p, bool inverse) {
  for (int i = 0; i < level; i++) {
    const int k = inverse ? level - 1 - i : i, w = p.width >> k, h = p.height >> k;
    for (int dir = 0; dir < 2; dir++)  // columns, then rows
      for (int a = 0; a < (dir ? h : w); a++) {
        std::vector<float*> line;
        for (int b = 0; b < (dir ? w : h); b++) line.push_back(dir ? &p.at(b, a) : &p.at(a, b));
        ReferenceLine(line, inverse);
      }
  }
}

}  // namespace

// Short lines (2 to 10 samples mirror more than once), widths below, at and
// across the block of columns, deep levels, and passes shared between threads
// (from 2^16 samples) with a narrow last block; every kernel set the processor
// offers (the others are reported), on one and two threads.
TEST(Wavelet, EveryModeMatchesPerLineReference) {
  const struct { int w, h, level; } shapes[] = {{2, 2, 1},   {6, 4, 1},   {10, 6, 1},    {8, 10, 1},     {20, 12, 2},
                                                {48, 48, 4}, {136, 8, 3}, {8, 72, 3},    {64, 64, 6},    {304, 224, 4},
                                                {1024, 72, 3}, {72, 1024, 3}, {256, 256, 8}};
  uint64_t seed = 100;
  for (const int simd : {0, 1, 2}) {
    if (WaveletsModo(simd, 1) != simd) {
      std::printf("kernel set %d not offered by this processor: not tested\n", simd);
      continue;
    }
    for (const auto& s : shapes)
      for (const int mix : {0, 1, 2, 3}) {
        const bool inverse = mix & 1, wild = mix & 2;
        const Plane input = RandomPlane(s.w, s.h, seed++, wild);
        Plane plain = input;
        ReferenceTransform(s.level, plain, inverse);
        for (const int threads : {1, 2}) {
          Plane fast = input;
          WaveletsModo(simd, threads);
          ASSERT_EQ((inverse ? TransformaWaveletInversa : TransformaWavelet)(s.level, s.w, s.h, fast.data(), 3), 0);
          EXPECT_TRUE(SameBits(fast, plain)) << s.w << "x" << s.h << " level " << s.level << " mix " << mix
                                             << " simd " << simd << " threads " << threads;
        }
      }
  }
  WaveletsModo(-1, -1);
}

// Bad arguments (a good width with a bad height among them) are refused, and level 0 does nothing,
// both leaving the plane as it was.
TEST(Wavelet, RefusesBadArgumentsWithoutTouchingThePlane) {
  const Plane image = RandomPlane(48, 40, 4, false);
  Plane p = image;
  const struct { int level, w, h, border, code; } cases[] = {
      {0, 48, 32, 3, 0},  {5, 48, 32, 3, 1},  {-1, 48, 32, 3, 1}, {32, 48, 32, 3, 1}, {1, 0, 32, 3, 1},
      {1, -48, 32, 3, 1}, {1, 48, -32, 3, 1}, {1, 48, 0, 3, 1},   {1, 48, 32, -1, 1}, {4, 48, 40, 3, 1}};
  for (const auto& c : cases)
    for (auto* f : {TransformaWavelet, TransformaWaveletInversa})
      EXPECT_EQ(f(c.level, c.w, c.h, p.data(), c.border), c.code) << c.level << " " << c.w << "x" << c.h;
  EXPECT_TRUE(TransformaWavelet(1, 48, 32, nullptr, 3) == 1 && TransformaWaveletInversa(1, 48, 32, nullptr, 3) == 1);
  EXPECT_TRUE(SameBits(p, image));
  EXPECT_EQ(TransformaWavelet(4, 48, 32, p.data(), p.gap), 0);  // 48 = 3 * 16
}

// Ten slots of processor ticks, each adding up its own intervals until reset; others are ignored.
TEST(Timing, SlotsAccumulateAndReset) {
  auto measure = [](int slot) {
    AcumuladorTStart(slot);
    for (const clock_t start = clock(); clock() - start < 3000;) continue;
    AcumuladorTStop(slot);
    return ConsigueAcumuladorT(slot);
  };
  ResetAllAcumuladorT();
  EXPECT_TRUE(measure(2) >= 3000 && measure(2) >= 6000 && measure(-1) == 0 && measure(10) == 0);
  measure(9);
  ResetAcumuladorT(2);
  ResetAcumuladorT(99);
  EXPECT_TRUE(ConsigueAcumuladorT(2) == 0 && ConsigueAcumuladorT(9) >= 3000 && ConsigueAcumuladorT(0) == 0);
  ResetAllAcumuladorT();
  EXPECT_EQ(ConsigueAcumuladorT(9), 0);
  EXPECT_TRUE(CosigueCPUFrec() == 0 && ClicksToSeconds(0, 2500000) == 2.5f && ClicksToSeconds(123, 1000000) == 1.0f);
}
