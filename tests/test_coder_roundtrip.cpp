// Encode -> decode round trips of transformed images. Every decoded cell must
// equal the value that the encoder's label for it implies (worked out here
// from the labels alone), and stay within the quantization error of the
// coefficient it came from.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "coder/ZALcoder.h"
#include "support/labels.h"
#include "support/support.h"
#include "wavelet/wavelets.h"

namespace {

using zaltest::Plane;
using zaltest::TempDir;

// Encodes the transform of `image`, decodes it and checks every cell.
void RoundTrip(const Plane& image, float quant, int rplanes, int levels) {
  SCOPED_TRACE(std::to_string(image.width) + "x" + std::to_string(image.height) + " q " +
               std::to_string(quant) + " r " + std::to_string(rplanes) + " l " +
               std::to_string(levels));
  Plane coef = image;
  ASSERT_EQ(TransformaWavelet(levels, coef.width, coef.height, coef.data(), coef.gap), 0);
  Plane labels = coef;
  TempDir dir;
  const std::string path = dir.File("rt.zal");
  ASSERT_EQ(ZALCodificador(static_cast<signed char>(rplanes), static_cast<signed char>(levels),
                           quant, labels.width, labels.height, labels.data(), path.c_str(), 3),
            0);
  signed char r = 0, l = 0;
  float q = 0;
  int w = 0, h = 0;
  float* out = nullptr;
  ASSERT_EQ(ZALDecodificador(&r, &l, &q, &w, &h, &out, path.c_str(), 3), 0);
  ASSERT_EQ(w, image.width);
  ASSERT_EQ(h, image.height);
  ASSERT_EQ(r, rplanes);
  ASSERT_EQ(l, levels);
  ASSERT_EQ(q, quant);

  const int umbral = 1 << rplanes;
  const int anchoLL = w >> levels, altoLL = h >> levels;
  int wrong = 0, far = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const int32_t e = zaltest::LabelAt(labels.data(), labels.stride(), x, y);
      const float got = out[size_t(y) * (w + 3) + x];
      const float v = coef.at(x, y);
      const bool ll = x < anchoLL && y < altoLL;
      const float want = zaltest::DecodedFromLabel(e, ll, rplanes, quant);
      // negative LL values decode as 0
      const double bound = ll ? (v < 0 ? INFINITY : umbral) : 2.0 * quant * umbral + 1e-5 * std::fabs(v);
      if (got != want && ++wrong <= 5) ADD_FAILURE() << "cell " << x << "," << y << " label " << e
                                                     << " decoded " << got << " want " << want;
      if (!(std::fabs(double(got) - v) <= bound) && ++far <= 5)
        ADD_FAILURE() << "cell " << x << "," << y << " coefficient " << v << " decoded " << got;
    }
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(far, 0);
  for (int y = 0; y < h; ++y)
    for (int x = w; x < w + 3; ++x) ASSERT_EQ(out[size_t(y) * (w + 3) + x], 0.0f);
  std::free(out);
}

}  // namespace

TEST(CoderRoundTrip, GeneratedImagesAtEveryLevelCount) {
  RoundTrip(zaltest::SmoothImage(64, 64, 1), 0.8956599831581116f, 2, 3);
  RoundTrip(zaltest::TexturedImage(128, 64, 2), 0.5f, 3, 4);
  RoundTrip(zaltest::NoisyImage(64, 128, 3), 2.0f, 2, 5);
  RoundTrip(zaltest::TexturedImage(128, 128, 4), 0.05f, 8, 6);
  RoundTrip(zaltest::SmoothImage(256, 256, 5), 0.01f, 12, 7);
  RoundTrip(zaltest::NoisyImage(512, 512, 6), 0.3f, 6, 8);
  RoundTrip(zaltest::SmoothImage(1024, 1024, 7), 0.9f, 2, 9);
  RoundTrip(zaltest::FlatImage(64, 32, 77.0f), 0.9f, 2, 4);
}

TEST(CoderRoundTrip, EveryRplanesSetting) {
  const Plane textured = zaltest::TexturedImage(64, 64, 8);
  for (int rplanes = 2; rplanes <= 12; ++rplanes) RoundTrip(textured, 0.2f, rplanes, 3);
}

TEST(CoderRoundTrip, CoarseAndFineQuantization) {
  const Plane smooth = zaltest::SmoothImage(128, 128, 10);
  for (float q : {0.02f, 0.1f, 1.0f, 4.0f, 30.0f, 500.0f}) RoundTrip(smooth, q, 2, 4);
  const Plane noisy = zaltest::NoisyImage(64, 64, 11);
  for (float q : {0.05f, 3.0f, 1000.0f}) RoundTrip(noisy, q, 4, 3);
}
