// Sample conversion, error texts and quality metrics of the image module.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "image/ImagenLuminanciaES.h"
#include "support/support.h"

namespace {

TEST(ImageRounding, RoundsHalfUpAndSaturates) {
  const float inf = std::numeric_limits<float>::infinity();
  const std::pair<float, int> cases[] = {
      {-0.3f, 0}, {std::nextafter(0.5f, 0.0f), 0},  // a float sum would give 1
      {0.5f, 1}, {127.5f, 128}, {std::nextafter(254.5f, 0.0f), 254}, {254.5f, 255}, {1000.0f, 255},
      {-inf, 0}, {inf, 255}, {std::numeric_limits<float>::quiet_NaN(), 0}};
  for (const auto& [v, want] : cases) EXPECT_EQ(redondeaSaturaByte(v), want) << v;
}

// A saved row is converted several samples at a time: every byte must be
// the one redondeaSaturaByte gives for its sample, the awkward ones included,
// wherever in the row (and in a group of samples) they fall.
TEST(ImageRounding, SavedRowsRoundLikeOneSampleAtATime) {
  const float raros[] = {-0.0f, 0.0f, std::nextafter(0.5f, 0.0f), 0.5f, 1.5f, 2.5f,
                         std::nextafter(254.5f, 0.0f), 254.5f, 255.0f, std::nextafter(255.5f, 0.0f),
                         255.5f, 256.0f, -1.0f, -1e30f, 1e30f, std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity(),
                         std::numeric_limits<float>::quiet_NaN(), 127.49999f, 3.0000002f};
  zaltest::Rng rng(21);
  for (int ancho : {1, 3, 4, 7, 37}) {
    const int alto = 5, gap = 3;
    std::vector<float> plano(size_t(alto) * (ancho + gap), 7.0f);
    std::vector<uint8_t> esperado;
    for (int y = 0; y < alto; ++y)
      for (int x = 0; x < ancho; ++x) {
        const float v = rng.Below(3) == 0 ? raros[rng.Below(std::size(raros))]
                                          : float(rng.Below(300000)) / 1000.0f - 20.0f;
        plano[size_t(y) * (ancho + gap) + x] = v;
        esperado.push_back(uint8_t(redondeaSaturaByte(v)));
      }
    zaltest::TempDir dir;
    const std::string f = dir.File("r.pgm");
    ASSERT_EQ(GuardaPGM(f.c_str(), ancho, alto, plano.data(), gap), 0);
    const std::vector<uint8_t> fichero = zaltest::ReadFile(f);
    ASSERT_GE(fichero.size(), esperado.size());
    EXPECT_TRUE(std::equal(esperado.begin(), esperado.end(), fichero.end() - long(esperado.size())))
        << "width " << ancho;
  }
}

// Spare samples carry a bit pattern that no conversion may touch.
constexpr uint32_t kSpareBits = 0x7FC0BEEF;

std::vector<uint32_t> PlaneBits(const std::vector<float>& samples, int w, int h, int gap) {
  std::vector<uint32_t> bits(size_t(h) * (w + gap), kSpareBits);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) std::memcpy(&bits[size_t(y) * (w + gap) + x], &samples[size_t(y) * w + x], 4);
  return bits;
}

TEST(ImageBuffers, FloatToIntAndBackKeepSpareSamples) {
  const int w = 3, h = 2, gap = 2;
  const std::vector<float> in = {-4.0f, 0.49f, 127.5f, 300.0f, 254.5f, 17.0f};
  const std::vector<int> rounded = {0, 0, 128, 255, 255, 17};
  std::vector<uint32_t> cells = PlaneBits(in, w, h, gap);
  float* plane = reinterpret_cast<float*>(cells.data());

  Buffer_ftoi(w, h, plane, nullptr, gap);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      int v;
      std::memcpy(&v, &cells[size_t(y) * (w + gap) + x], 4);
      EXPECT_EQ(v, rounded[size_t(y) * w + x]);
    }
    EXPECT_EQ(cells[size_t(y) * (w + gap) + w], kSpareBits);
    EXPECT_EQ(cells[size_t(y) * (w + gap) + w + 1], kSpareBits);
  }
  Buffer_itof(w, h, reinterpret_cast<int*>(cells.data()), nullptr, gap);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      float f;
      std::memcpy(&f, &cells[size_t(y) * (w + gap) + x], 4);
      EXPECT_EQ(f, float(rounded[size_t(y) * w + x]));
    }
    EXPECT_EQ(cells[size_t(y) * (w + gap) + w], kSpareBits);
  }

  // Into a separate plane: the source and the target's spare samples stay.
  std::vector<float> source = {1.4f, 2.6f, 9.0f, 3.5f, 5.0f, -1.0f};
  std::vector<int> target(6, -7);
  Buffer_ftoi(2, 2, source.data(), target.data(), 1);
  EXPECT_EQ(target, (std::vector<int>{1, 3, -7, 4, 5, -7}));
  EXPECT_EQ(source[2], 9.0f);
  std::vector<float> back(6, 0.25f);
  Buffer_itof(2, 2, target.data(), back.data(), 1);
  EXPECT_EQ(back, (std::vector<float>{1, 3, 0.25f, 4, 5, 0.25f}));
}

TEST(ImageErrors, MessagesCarryCodePlusHundred) {
  const std::pair<int, std::string> cases[] = {
      {0, "Unknown error (error #100)"},
      {1, "File format not supported (error #101)"},
      {2, "File format not supported (error #102)"},
      {3, "File format not supported (error #103)"},
      {4, "Cannot read file (error #104)"},
      {5, "Cannot write file (error #105)"},
      {6, "File format not supported (error #106)"},
      {7, "File format not supported (error #107)"},
      {8, "Corrupt dimension file for raw format (error #108)"},
      {9, "No extension in file name (error #109)"},
      {10, "File format not supported (error #110)"},
      {11, "Insuficient memory available (error #111)"},
      {12, "Image size not supported (error #112)"},
      {13, "Unknown error (error #113)"},
      {-100, "Unknown error (error #0)"},
      {INT_MAX, "Unknown error (error #2147483747)"},
  };
  for (const auto& [code, text] : cases) {
    char buffer[128];
    std::memset(buffer, 'x', sizeof buffer);
    ImagenCheckError(code, buffer);
    EXPECT_EQ(std::string(buffer), text) << code;
  }
}

TEST(ImageQuality, MseAndPsnr) {
  // Differences 1 and 3: m = 1, then 1/2 * 1 + 9/2 = 5. Spare samples differ wildly.
  const int a[] = {10, 20, 999}, b[] = {11, 17, -999};
  EXPECT_EQ(CalculaMSELuminancia(2, 1, a, b, 1), 5.0f);
  EXPECT_NEAR(CalculaPSNRLuminancia(2, 1, a, b, 1), 41.14f, 0.005f);
  EXPECT_NEAR(CalculaPSNRLuminancia(2, 1, b, a, 1), 41.14f, 0.005f);
  const int zero[] = {0}, full[] = {255};
  EXPECT_EQ(CalculaPSNRLuminancia(1, 1, zero, full, 0), 0.0f);

  // Identical planes (spare samples aside) and empty ones: +infinity.
  const int c[] = {3, 4, 5, 6}, d[] = {3, 9, 5, 0};
  EXPECT_EQ(CalculaPSNRLuminancia(2, 2, c, c, 0), std::numeric_limits<float>::infinity());
  EXPECT_EQ(CalculaPSNRLuminancia(1, 2, c, d, 1), std::numeric_limits<float>::infinity());
  EXPECT_EQ(CalculaPSNRLuminancia(0, 0, c, d, 0), std::numeric_limits<float>::infinity());
}

}  // namespace
