// Inputs that once made a fuzz target fail (tests/data/regress/<target>/), the
// seed corpora (fuzz/corpus/<target>/), and damaged image files, replayed
// through the fuzz targets' own bodies: each must be handled soundly. Their
// real worth is in the sanitizer build, which replays them under ASan and UBSan.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/targets.h"
#include "support/support.h"

namespace {

namespace fs = std::filesystem;
using Target = std::string (*)(const uint8_t*, size_t);

std::string Feed(Target target, const std::string& bytes) {
  return target(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

TEST(Replays, RegressionInputsAndSeedCorpora) {
  const std::pair<const char*, Target> targets[] = {
      {"decoder", zalfuzz::Decodificador}, {"pgm", zalfuzz::CargadorPGM}, {"bmp", zalfuzz::CargadorBMP},
      {"raw", zalfuzz::CargadorRAW}, {"roundtrip", zalfuzz::IdaYVuelta}};
  const fs::path data = zaltest::TestDataDir();
  for (const auto& [name, target] : targets) {
    EXPECT_EQ(target(nullptr, 0), "") << name;
    for (int b = 0; b < 256; b += 17) EXPECT_EQ(Feed(target, std::string(1, char(b))), "") << name << " " << b;
    for (const fs::path& folder : {data / "regress" / name, data / ".." / ".." / "fuzz" / "corpus" / name}) {
      std::vector<fs::path> files;
      std::error_code ec;
      for (const auto& e : fs::directory_iterator(folder, ec)) files.push_back(e.path());
      EXPECT_FALSE(files.empty()) << "nothing to replay in " << folder;
      std::sort(files.begin(), files.end());
      for (const fs::path& f : files) {
        const auto bytes = zaltest::ReadFile(f.string());
        EXPECT_EQ(Feed(target, std::string(bytes.begin(), bytes.end())), "") << f;
      }
    }
  }
}

// Every loader on the bytes as a PGM, a BMP and a RAW image (whose first byte
// tells how many of the following bytes form its dimension file).
void LoadEveryWay(const std::string& bytes) {
  for (Target target : {zalfuzz::CargadorPGM, zalfuzz::CargadorBMP, zalfuzz::CargadorRAW})
    EXPECT_EQ(Feed(target, bytes), "") << bytes.size() << " bytes";
}

TEST(Replays, DamagedImageFiles) {
  zaltest::TempDir dir;
  const std::vector<float> plane(size_t(5) * (6 + 3), 42.0f);
  ASSERT_EQ(GuardaBMPLuminancia(dir.File("v.bmp").c_str(), 6, 5, plane.data(), 3), 0);
  const auto bmp = zaltest::ReadFile(dir.File("v.bmp"));
  const std::string dimensions = "ancho: 7\nalto: 5\n";
  const std::string valid[] = {"P5\n#Imagen recuperada de ZAL\n7 5\n255\n" + std::string(35, '\x80'),
                               std::string(bmp.begin(), bmp.end()),
                               char(dimensions.size()) + dimensions + std::string(35, '\x80')};
  zaltest::Rng rng(7);
  for (const std::string& whole : valid) {
    for (size_t n = 0; n <= whole.size(); ++n) LoadEveryWay(whole.substr(0, n));
    for (size_t at = 0; at < 60 && at < whole.size(); ++at)
      for (int k = 0; k < 4; ++k) {
        std::string damaged = whole;
        damaged[at] = char(rng.Below(256));
        LoadEveryWay(damaged);
      }
  }
  const char* prefixes[] = {"", "P5", "P5 ", "P5\n#", "BM", "\x0f" "ancho: "};
  for (int k = 0; k < 150; ++k) {
    std::string bytes = prefixes[k % 6];
    for (uint32_t i = 0, n = rng.Below(k % 2 ? 40 : 1500); i < n; ++i) bytes += char(rng.Below(256));
    LoadEveryWay(bytes);
  }
  const std::string lots(100000, '7');
  for (const std::string& bytes : {"P5\n#" + std::string(100000, 'c') + "\n3 2\n255\nabcdef",
                                   "P5\n" + lots + " 2\n255\nabcdef", "P5 3 2 " + lots + "\nabcdef", "P5" + lots,
                                   std::string(100000, '#'), std::string(100000, ' '),
                                   std::string("P5 2147483647 2147483647 255 x"), std::string("P5 -2147483648 -1 255 x"),
                                   std::string("\x14" "ancho: -1\nalto: 2\n  abcdef")})
    LoadEveryWay(bytes);
}

}  // namespace
