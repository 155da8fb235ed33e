// Golden hashes: generated images encoded at a few parameter sets; the SHA-256
// of each compressed file and of each decoded image (inverse transform, PGM)
// is checked in as tests/data/coder_golden.txt. A change of any of them must
// be deliberate: on failure the test prints the whole table to paste back.
#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "coder/ZALcoder.h"
#include "image/ImagenLuminanciaES.h"
#include "support/support.h"
#include "wavelet/wavelets.h"

namespace {

using zaltest::Plane;
using zaltest::TempDir;

struct Image {
  const char* name;
  Plane plane;
};

struct Params {
  const char* name;
  float quant;
  int rplanes, levels;
};

// "<zal sha> <decoded pgm sha>" of one image at one parameter set.
std::string Hashes(const Plane& image, const Params& p) {
  TempDir dir;
  Plane coef = image;
  EXPECT_EQ(TransformaWavelet(p.levels, coef.width, coef.height, coef.data(), coef.gap), 0);
  const std::string zal = dir.File("g.zal"), pgm = dir.File("g.pgm");
  EXPECT_EQ(ZALCodificador(static_cast<signed char>(p.rplanes), static_cast<signed char>(p.levels),
                           p.quant, coef.width, coef.height, coef.data(), zal.c_str(), 3),
            0);
  signed char r, l;
  float q;
  int w, h;
  float* out = nullptr;
  EXPECT_EQ(ZALDecodificador(&r, &l, &q, &w, &h, &out, zal.c_str(), 3), 0);
  if (out == nullptr) return "decode-failed";
  EXPECT_EQ(TransformaWaveletInversa(l, w, h, out, 3), 0);
  EXPECT_EQ(GuardaPGM(pgm.c_str(), w, h, out, 3), 0);
  std::free(out);
  return zaltest::Sha256Hex(zaltest::ReadFile(zal)) + " " +
         zaltest::Sha256Hex(zaltest::ReadFile(pgm));
}

}  // namespace

TEST(CoderGolden, CompressedFilesAndDecodedImages) {
  const Image images[] = {
      {"smooth64x64", zaltest::SmoothImage(64, 64, 1)},
      {"smooth256x128", zaltest::SmoothImage(256, 128, 4)},
      {"textured128x64", zaltest::TexturedImage(128, 64, 2)},
      {"noisy64x32", zaltest::NoisyImage(64, 32, 3)},
      {"flat64x64", zaltest::FlatImage(64, 64, 77.0f)},
  };
  const Params params[] = {
      {"default_l3", std::bit_cast<float>(0x3F6549F9u), 2, 3},
      {"q3.5_r3_l4", 3.5f, 3, 4},
      {"q0.3_r6_l3", 0.3f, 6, 3},
      {"q0.05_r2_l5", 0.05f, 2, 5},
  };

  std::map<std::string, std::string> want;
  std::ifstream f(zaltest::TestDataDir() + "/coder_golden.txt");
  for (std::string line; std::getline(f, line);) {
    std::istringstream in(line);
    std::string key, zal, pgm;
    if (in >> key >> zal >> pgm) want[key] = zal + " " + pgm;
  }

  std::string table;
  int mismatches = 0;
  for (const Image& im : images)
    for (const Params& p : params) {
      const int side = 1 << (p.levels + 1);
      if (im.plane.width % side || im.plane.height % side) continue;
      const std::string key = std::string(im.name) + "_" + p.name;
      const std::string got = Hashes(im.plane, p);
      table += key + " " + got + "\n";
      if (want[key] != got) {
        ++mismatches;
        ADD_FAILURE() << key << "\n  got  " << got << "\n  want " << want[key];
      }
    }
  EXPECT_EQ(mismatches, 0) << "If the change is deliberate, replace tests/data/coder_golden.txt by:\n"
                           << table;
}
