// The wavelet transform: every kernel set and thread count bit for bit
// against a plain per-line reference, the stored reference transforms, and
// the argument checks. (The inverse is also held to reference output by the
// decoded images of the coder vectors.)
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "image/ImagenLuminanciaES.h"
#include "support/support.h"
#include "wavelet/wavelets.h"

namespace {

using zaltest::Plane;

// Spare samples hold a NaN pattern that no arithmetic produces, so any write shows.
const float kSentinel = std::bit_cast<float>(0x7fc0beefu);

void FillBorder(Plane& p) {
  for (int y = 0; y < p.height; y++)
    for (int x = p.width; x < p.stride(); x++) p.cells[size_t(y) * p.stride() + x] = kSentinel;
}

bool SameBits(const Plane& a, const Plane& b) {
  return a.cells.size() == b.cells.size() &&
         std::memcmp(a.cells.data(), b.cells.data(), a.cells.size() * sizeof(float)) == 0;
}

Plane RandomPlane(int w, int h, uint64_t seed) {
  Plane p(w, h);
  zaltest::Rng rng(seed);
  for (float& c : p.cells) c = float(rng.Unit() * 512.0 - 256.0);
  FillBorder(p);
  return p;
}

// Magnitudes from 2^-40 to 2^40 side by side: sums of such neighbours round in
// double and outputs cancel to various depths, so a change in the order of
// operations shows in the bits.
Plane WildPlane(int w, int h, uint64_t seed) {
  Plane p(w, h);
  zaltest::Rng rng(seed);
  for (float& c : p.cells) {
    const double mantissa = 1.0 + rng.Unit();
    const int exponent = int(rng.Below(81)) - 40;
    c = float((rng.Below(2) ? -mantissa : mantissa) * std::ldexp(1.0, exponent));
  }
  FillBorder(p);
  return p;
}

// An image file's samples, through the image module; empty if unreadable.
Plane LoadImage(const std::string& path) {
  int w = 0, h = 0;
  float* cells = nullptr;
  if (CargaImagenLuminancia(path.c_str(), &w, &h, &cells, 3) != 0) return Plane();
  Plane p(w, h);
  std::memcpy(p.data(), cells, p.cells.size() * sizeof(float));
  std::free(cells);
  FillBorder(p);
  return p;
}

// Little-endian floats, row-major, without spare samples.
Plane ReadF32(const std::string& path, int w, int h) {
  std::vector<uint8_t> bytes = zaltest::ReadFile(path);
  if (bytes.size() != size_t(w) * h * 4) return Plane();
  Plane p(w, h);
  for (int y = 0; y < h; y++)
    std::memcpy(&p.at(0, y), &bytes[size_t(y) * w * 4], size_t(w) * 4);
  FillBorder(p);
  return p;
}

// Plain per-line reference: every column and row gathered one at a time,
// filtered with the same order of operations, to check the blocked passes.
const float kLo[5] = {0.852698684f, 0.377402872f, -0.110624403f, -0.0238494705f, 0.0378284603f};
const float kHi[4] = {0.788485646f, -0.418092281f, -0.04068942f, 0.0645388812f};
const float kSynLo[5] = {0.852698684f, 0.418092281f, -0.110624403f, -0.0645388812f, 0.0378284603f};
const float kSynHi[4] = {0.788485646f, -0.377402872f, -0.04068942f, 0.0238494705f};

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
  for (int i = 1; i <= 4; i++) {
    x[-i] = x[i];
    x[n - 1 + i] = x[n - 1 - i];
  }
  for (int m = 0; m < n / 2; m++) {
    if (inverse) {
      *cell[2 * m] = Filter(x + 2 * m, kSynHi, 4);
      *cell[2 * m + 1] = Filter(x + 2 * m + 1, kSynLo, 5);
    } else {
      *cell[m] = Filter(x + 2 * m, kLo, 5);
      *cell[n / 2 + m] = Filter(x + 2 * m + 1, kHi, 4);
    }
  }
}

void ReferenceTransform(int level, Plane& p, bool inverse) {
  for (int i = 0; i < level; i++) {
    const int k = inverse ? level - 1 - i : i;
    const int w = p.width >> k, h = p.height >> k;
    for (int j = 0; j < w; j++) {
      std::vector<float*> column;
      for (int r = 0; r < h; r++) column.push_back(&p.at(j, r));
      ReferenceLine(column, inverse);
    }
    for (int r = 0; r < h; r++) {
      std::vector<float*> row;
      for (int j = 0; j < w; j++) row.push_back(&p.at(j, r));
      ReferenceLine(row, inverse);
    }
  }
}

// Lines on which a fused multiply-add would show: around every tenth sample
// p, x[p+2] ≈ 1 and x[p-2] some 2^-30 smaller, so their sum in double is
// rounded and so is its product with the tap; x[p] nearly cancels that
// product in the low-pass output, whose float then depends on the product's
// rounding (a fused one would skip it, in about one output of ten). The pair
// at distance 2 is added to a running sum, where contraction would happen;
// the other filter's first pass keeps the pattern (constant across it, the
// lines only gain a factor). `along_rows` puts the lines along the rows. For
// the inverse, p is odd (whose filter has the same taps 0 and 2) and the line
// is stored as the inverse reads it: sample 2i at i, sample 2i + 1 at n/2 + i.
Plane CancellingPlane(int w, int h, bool along_rows, bool inverse, uint64_t seed) {
  const int n = along_rows ? w : h;
  std::vector<float> line(n, 0.0f);
  zaltest::Rng rng(seed);
  for (int p = inverse ? 5 : 4; p + 5 < n; p += 10) {
    line[p + 2] = float(1.0 + rng.Unit());
    line[p - 2] = float(line[p + 2] * std::ldexp(1.0 + rng.Unit(), -30 - int(rng.Below(20))));
    line[p] = float(-double(kLo[2]) * (double(line[p + 2]) + line[p - 2]) / kLo[0]);
  }
  if (inverse) {
    std::vector<float> halves(n);
    for (int i = 0; i < n; i++) halves[i % 2 ? n / 2 + i / 2 : i / 2] = line[i];
    line = halves;
  }
  Plane plane(w, h);
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) plane.at(x, y) = line[along_rows ? x : y];
  FillBorder(plane);
  return plane;
}

// Every way the transforms can run: kernel set (0 plain, 1 AVX2, 2 AVX-512)
// and one or two threads. Sets the processor lacks are reported and left out.
struct Mode {
  int simd, threads;
};

std::vector<Mode> AvailableModes() {
  std::vector<Mode> modes;
  for (const int simd : {0, 1, 2}) {
    if (WaveletsModo(simd, 1) != simd) {
      std::printf("kernel set %d not offered by this processor: not tested\n", simd);
      continue;
    }
    for (const int threads : {1, 2}) modes.push_back({simd, threads});
  }
  WaveletsModo(-1, -1);
  return modes;
}

// Runs one transform in the given mode and restores the automatic choice.
int Transform(const Mode& mode, bool inverse, int level, Plane& p) {
  WaveletsModo(mode.simd, mode.threads);
  const int code = inverse ? TransformaWaveletInversa(level, p.width, p.height, p.data(), p.gap)
                           : TransformaWavelet(level, p.width, p.height, p.data(), p.gap);
  WaveletsModo(-1, -1);
  return code;
}

}  // namespace

TEST(Wavelet, EveryModeMatchesPerLineReference) {
  // Short lines (2 to 10 samples mirror more than once), widths below, at and
  // across the block of columns, odd multiples, and passes large enough to be
  // shared between threads (from 2^16 samples), with a narrow last block.
  const struct { int w, h, level; } shapes[] = {
      {2, 2, 1},    {4, 4, 2},     {6, 4, 1},     {10, 6, 1},   {8, 10, 1},   {16, 8, 3},
      {20, 12, 2},  {48, 48, 4},   {40, 24, 3},   {136, 8, 3},  {8, 72, 3},   {64, 64, 6},
      {304, 224, 4}, {1024, 72, 3}, {72, 1024, 3}, {256, 256, 8}, {512, 384, 5}};
  const std::vector<Mode> modes = AvailableModes();
  uint64_t seed = 100;
  for (const auto& s : shapes) {
    for (const bool inverse : {false, true}) {
      for (const bool wild : {false, true}) {
        const Plane input = wild ? WildPlane(s.w, s.h, seed++) : RandomPlane(s.w, s.h, seed++);
        Plane plain = input;
        ReferenceTransform(s.level, plain, inverse);
        for (const Mode& mode : modes) {
          Plane fast = input;
          ASSERT_EQ(Transform(mode, inverse, s.level, fast), 0);
          EXPECT_TRUE(SameBits(fast, plain))
              << s.w << "x" << s.h << " level " << s.level << (inverse ? " inverse" : " forward")
              << (wild ? " wild" : "") << " simd " << mode.simd << " threads " << mode.threads;
        }
      }
    }
  }
}

TEST(Wavelet, NoModeFusesMultiplyAndAdd) {
  // Vertical and horizontal lines, full blocks of columns and a narrow one.
  const std::vector<Mode> modes = AvailableModes();
  uint64_t seed = 500;
  for (const bool inverse : {false, true}) {
    for (const bool along_rows : {true, false}) {
      for (const int across : {64, 40}) {
        const int w = along_rows ? 2048 : across, h = along_rows ? across : 2048;
        const Plane input = CancellingPlane(w, h, along_rows, inverse, seed++);
        Plane plain = input;
        ReferenceTransform(1, plain, inverse);
        for (const Mode& mode : modes) {
          Plane fast = input;
          ASSERT_EQ(Transform(mode, inverse, 1, fast), 0);
          EXPECT_TRUE(SameBits(fast, plain)) << w << "x" << h << (inverse ? " inverse" : " forward")
                                             << " simd " << mode.simd << " threads " << mode.threads;
        }
      }
    }
  }
}

// Bad arguments are refused, and level 0 does nothing, both leaving the plane
// as it was.
TEST(Wavelet, RefusesBadArgumentsWithoutTouchingThePlane) {
  const Plane image = RandomPlane(48, 32, 4);
  Plane p = image;
  EXPECT_EQ(TransformaWavelet(0, 48, 32, p.data(), p.gap), 0);
  EXPECT_EQ(TransformaWaveletInversa(0, 48, 32, p.data(), p.gap), 0);
  const struct { int level, w, h, border; } bad[] = {
      {5, 48, 32, 3},  {-1, 48, 32, 3}, {32, 48, 32, 3}, {1, 0, 32, 3},
      {1, -48, 32, 3}, {1, 48, -32, 3}, {1, 48, 0, 3},   {1, 48, 32, -1}};
  for (const auto& b : bad) {
    EXPECT_EQ(TransformaWavelet(b.level, b.w, b.h, p.data(), b.border), 1) << b.level << " " << b.w;
    EXPECT_EQ(TransformaWaveletInversa(b.level, b.w, b.h, p.data(), b.border), 1) << b.level << " " << b.w;
  }
  EXPECT_EQ(TransformaWavelet(1, 48, 32, nullptr, 3), 1);
  EXPECT_EQ(TransformaWaveletInversa(1, 48, 32, nullptr, 3), 1);
  EXPECT_TRUE(SameBits(p, image));
  EXPECT_EQ(TransformaWavelet(4, 48, 32, p.data(), p.gap), 0);  // 48 = 3 * 16

  const std::pair<int, const char*> texts[] = {{1, "Image side should be multiple of 2^level (error #301)"},
                                               {2, "Insuficient memory available (error #302)"},
                                               {0, "Unknown error (error #300)"},
                                               {7, "Unknown error (error #307)"}};
  for (const auto& [code, text] : texts) {
    char buffer[128];
    WaveletsCheckError(code, buffer);
    EXPECT_STREQ(buffer, text);
  }
}

TEST(Wavelet, ReproducesReferenceTransforms) {
  struct Case { std::string image, transform; int size, level; };
  const std::string data = zaltest::TestDataDir(), shared = zaltest::SharedDir();
  std::vector<Case> cases = {{data + "/wave_128x128.pgm", data + "/wave_128x128.l3.f32", 128, 3}};
  if (!shared.empty()) {
    cases.push_back({shared + "/vectors/wave_128x128.pgm", shared + "/vectors/wave_128x128.l3.f32", 128, 3});
    cases.push_back({shared + "/images/camera_512x512.pgm", shared + "/vectors/camera_512x512.l6.f32", 512, 6});
  }
  for (const Case& c : cases) {
    Plane p = LoadImage(c.image);
    const Plane expected = ReadF32(c.transform, c.size, c.size);
    ASSERT_EQ(p.width, c.size) << c.image;
    ASSERT_EQ(expected.width, c.size) << c.transform;
    ASSERT_EQ(TransformaWavelet(c.level, p.width, p.height, p.data(), p.gap), 0);
    EXPECT_TRUE(SameBits(p, expected)) << c.transform;
  }
}
