// Damaged and hostile files: every loader must answer with an error code or a
// plane that fits its size, and never read or write out of bounds (the
// sanitizer build checks the latter).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "image/ImagenLuminanciaES.h"
#include "support/support.h"

namespace {

constexpr signed char kGap = 3;

// Loads `name` with the twin T and checks the outcome; returns the code.
template <typename T>
int LoadAndCheck(const std::string& name, int width, int height) {
  T* plane = nullptr;
  const int err = CargaImagenLuminancia(name.c_str(), &width, &height, &plane, kGap);
  EXPECT_TRUE(err >= 0 && err <= 12) << err;
  if (err != 0) {
    EXPECT_EQ(plane, nullptr) << "a failed load handed out a plane";
    return err;
  }
  EXPECT_NE(plane, nullptr);
  EXPECT_TRUE(width > 0 && height > 0 && width <= 65535 && height <= 65535 &&
              int64_t(width) * height <= (int64_t{1} << 28))
      << width << "x" << height;
  // Every sample is a byte or -1 for a missing one.
  for (int64_t y = 0; y < height; ++y)
    for (int64_t x = 0; x < width; ++x) {
      const T v = plane[y * (width + kGap) + x];
      if (v < -1 || v > 255) {
        ADD_FAILURE() << "sample " << v << " at " << x << "," << y;
        y = height;
        break;
      }
    }
  std::free(plane);
  return err;
}

// Writes `bytes` as an image of each kind (and as a RAW image's dimension
// file) and loads it with both twins.
void LoadEveryWay(const zaltest::TempDir& dir, const std::string& bytes) {
  for (const char* ext : {"pgm", "bmp"}) {
    const std::string name = dir.File(std::string("x.") + ext);
    zaltest::WriteFile(name, bytes);
    LoadAndCheck<float>(name, 0, 0);
    LoadAndCheck<int>(name, 0, 0);
  }
  const std::string raw = dir.File("x.raw");
  zaltest::WriteFile(raw, bytes);
  zaltest::WriteFile(dir.File("x.txt"), bytes);
  LoadAndCheck<float>(raw, 0, 0);
  LoadAndCheck<int>(raw, 5, 3);
}

std::string ValidPgm() { return "P5\n#Imagen recuperada de ZAL\n7 5\n255\n" + std::string(35, '\x80'); }

std::string ValidBmp() {
  zaltest::TempDir dir;
  const std::vector<float> plane(size_t(5) * (6 + kGap), 42.0f);
  EXPECT_EQ(GuardaBMPLuminancia(dir.File("v.bmp").c_str(), 6, 5, plane.data(), kGap), 0);
  const auto b = zaltest::ReadFile(dir.File("v.bmp"));
  return std::string(b.begin(), b.end());
}

TEST(ImageBadInput, TruncatedAtEveryLength) {
  zaltest::TempDir dir;
  for (const std::string& whole : {ValidPgm(), ValidBmp()})
    for (size_t n = 0; n <= whole.size(); ++n) LoadEveryWay(dir, whole.substr(0, n));
}

TEST(ImageBadInput, SingleByteDamageInHeaders) {
  zaltest::TempDir dir;
  zaltest::Rng rng(7);
  for (const std::string& whole : {ValidPgm(), ValidBmp()})
    for (size_t at = 0; at < 60 && at < whole.size(); ++at)
      for (int k = 0; k < 4; ++k) {
        std::string damaged = whole;
        damaged[at] = char(rng.Below(256));
        LoadEveryWay(dir, damaged);
      }
}

TEST(ImageBadInput, RandomGarbage) {
  zaltest::TempDir dir;
  zaltest::Rng rng(2024);
  for (int k = 0; k < 150; ++k) {
    std::string bytes;
    const char* prefixes[] = {"", "P5", "P5 ", "P5\n#", "BM", "ancho: "};
    bytes = prefixes[k % 6];
    const uint32_t n = rng.Below(k % 2 ? 40 : 1500);
    for (uint32_t i = 0; i < n; ++i) bytes += char(rng.Below(256));
    LoadEveryWay(dir, bytes);
  }
}

TEST(ImageBadInput, HugeTokensCommentsAndSizes) {
  zaltest::TempDir dir;
  const std::string lots(100000, '7');
  const std::string cases[] = {
      "P5\n#" + std::string(100000, 'c') + "\n3 2\n255\nabcdef",
      "P5\n" + lots + " 2\n255\nabcdef",
      "P5 3 2 " + lots + "\nabcdef",
      "P5" + lots,
      std::string(100000, '#'),
      std::string(100000, ' '),
      "P5 2147483647 2147483647 255 x",
      "P5 -2147483648 -1 255 x",
      "P5 65535 65535 255 x",
      "ancho: " + lots + "\nalto: " + lots + "\n",
      "ancho: -1\nalto: 2\n",
      "ancho: 65535\nalto: 65535\n",
  };
  for (const auto& bytes : cases) LoadEveryWay(dir, bytes);
  EXPECT_EQ(LoadAndCheck<float>(dir.File("none.pgm"), 0, 0), 4);
}

}  // namespace
