// Damaged and hostile image files: every loader answers with an error code or
// a sound plane, and never reads or writes out of bounds (the sanitizer build
// checks the latter). What "sound" means is the fuzz targets' own check.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fuzz/targets.h"
#include "support/support.h"

namespace {

// The bytes as a PGM, a BMP and a RAW image (whose first byte tells how many
// of the following bytes form its dimension file).
void LoadEveryWay(const std::string& bytes) {
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  EXPECT_EQ(zalfuzz::CargadorPGM(data, bytes.size()), "") << bytes.size() << " bytes";
  EXPECT_EQ(zalfuzz::CargadorBMP(data, bytes.size()), "") << bytes.size() << " bytes";
  EXPECT_EQ(zalfuzz::CargadorRAW(data, bytes.size()), "") << bytes.size() << " bytes";
}

std::vector<std::string> ValidFiles() {
  zaltest::TempDir dir;
  const std::vector<float> plane(size_t(5) * (6 + 3), 42.0f);
  EXPECT_EQ(GuardaBMPLuminancia(dir.File("v.bmp").c_str(), 6, 5, plane.data(), 3), 0);
  const auto bmp = zaltest::ReadFile(dir.File("v.bmp"));
  const std::string dimensions = "ancho: 7\nalto: 5\n";
  return {"P5\n#Imagen recuperada de ZAL\n7 5\n255\n" + std::string(35, '\x80'),
          std::string(bmp.begin(), bmp.end()),
          char(dimensions.size()) + dimensions + std::string(35, '\x80')};
}

TEST(ImageBadInput, TruncatedAtEveryLength) {
  for (const std::string& whole : ValidFiles())
    for (size_t n = 0; n <= whole.size(); ++n) LoadEveryWay(whole.substr(0, n));
}

TEST(ImageBadInput, SingleByteDamageInHeaders) {
  zaltest::Rng rng(7);
  for (const std::string& whole : ValidFiles())
    for (size_t at = 0; at < 60 && at < whole.size(); ++at)
      for (int k = 0; k < 4; ++k) {
        std::string damaged = whole;
        damaged[at] = char(rng.Below(256));
        LoadEveryWay(damaged);
      }
}

TEST(ImageBadInput, RandomGarbage) {
  zaltest::Rng rng(2024);
  const char* prefixes[] = {"", "P5", "P5 ", "P5\n#", "BM", "\x0f" "ancho: "};
  for (int k = 0; k < 150; ++k) {
    std::string bytes = prefixes[k % 6];
    const uint32_t n = rng.Below(k % 2 ? 40 : 1500);
    for (uint32_t i = 0; i < n; ++i) bytes += char(rng.Below(256));
    LoadEveryWay(bytes);
  }
}

TEST(ImageBadInput, HugeTokensCommentsAndSizes) {
  const std::string lots(100000, '7');
  for (const std::string& bytes : {
           "P5\n#" + std::string(100000, 'c') + "\n3 2\n255\nabcdef",
           "P5\n" + lots + " 2\n255\nabcdef",
           "P5 3 2 " + lots + "\nabcdef",
           "P5" + lots,
           std::string(100000, '#'),
           std::string(100000, ' '),
           std::string("P5 2147483647 2147483647 255 x"),
           std::string("P5 -2147483648 -1 255 x"),
           std::string("\x14" "ancho: -1\nalto: 2\n  abcdef"),
       })
    LoadEveryWay(bytes);
}

}  // namespace
