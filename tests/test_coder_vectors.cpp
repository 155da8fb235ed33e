// Conformance to the reference vectors: each case is encoded from its input
// image (load, forward transform, coder) and must give the reference file
// byte for byte; each reference file is decoded (coder, inverse transform,
// PGM) and must give the reference image byte for byte. The small cases are
// copied in tests/data; the full set is read from the shared folder.
#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "coder/ZALcoder.h"
#include "image/ImagenLuminanciaES.h"
#include "support/support.h"
#include "wavelet/wavelets.h"

namespace {

using zaltest::ReadFile;
using zaltest::TempDir;
using Bytes = std::vector<uint8_t>;

struct Case {
  std::string input, name;
  float quant = std::bit_cast<float>(0x3F6549F9u);
  signed char rplanes = 2, levels = 6;
};

std::vector<Case> ReadCases(const std::string& path) {
  std::vector<Case> cases;
  std::ifstream f(path);
  std::string line;
  while (std::getline(f, line)) {
    std::istringstream in(line);
    Case c;
    if (!(in >> c.input >> c.name)) continue;
    std::string opt, val;
    while (in >> opt >> val) {
      // As the encoder program reads them: atof to float, atoi to 8 bits.
      if (opt == "-q") c.quant = float(std::atof(val.c_str()));
      if (opt == "-r") c.rplanes = static_cast<signed char>(std::atoi(val.c_str()));
      if (opt == "-l") c.levels = static_cast<signed char>(std::atoi(val.c_str()));
    }
    cases.push_back(c);
  }
  return cases;
}

void CheckEncode(const Case& c, const std::string& input, const std::string& reference) {
  SCOPED_TRACE("encode " + c.name);
  TempDir dir;
  int w = 0, h = 0;
  float* plane = nullptr;
  ASSERT_EQ(CargaImagenLuminancia(input.c_str(), &w, &h, &plane, 3), 0) << input;
  ASSERT_EQ(TransformaWavelet(c.levels, w, h, plane, 3), 0);
  const std::string out = dir.File("out.zal");
  const int code = ZALCodificador(c.rplanes, c.levels, c.quant, w, h, plane, out.c_str(), 3);
  std::free(plane);
  ASSERT_EQ(code, 0);
  const Bytes got = ReadFile(out), want = ReadFile(reference);
  ASSERT_FALSE(want.empty()) << reference;
  EXPECT_EQ(got.size(), want.size());
  EXPECT_TRUE(got == want) << "compressed file differs from " << reference;
}

void CheckDecode(const Case& c, const std::string& zal, const std::string& reference) {
  SCOPED_TRACE("decode " + c.name);
  TempDir dir;
  signed char r = 0, l = 0;
  float q = 0;
  int w = 0, h = 0;
  float* plane = nullptr;
  ASSERT_EQ(ZALDecodificador(&r, &l, &q, &w, &h, &plane, zal.c_str(), 3), 0) << zal;
  EXPECT_EQ(r, c.rplanes);
  EXPECT_EQ(l, c.levels);
  EXPECT_EQ(q, c.quant);
  const int inv = TransformaWaveletInversa(l, w, h, plane, 3);
  const std::string out = dir.File("out.pgm");
  const int saved = GuardaPGM(out.c_str(), w, h, plane, 3);
  std::free(plane);
  ASSERT_EQ(inv, 0);
  ASSERT_EQ(saved, 0);
  const Bytes got = ReadFile(out), want = ReadFile(reference);
  ASSERT_FALSE(want.empty()) << reference;
  EXPECT_TRUE(got == want) << "decoded image differs from " << reference;
}

// The coder alone, from a stored forward transform (no spare samples).
void CheckEncodeTransform(const std::string& f32, int w, int h, const Case& c,
                          const std::string& reference) {
  SCOPED_TRACE("encode transform " + c.name);
  const Bytes raw = ReadFile(f32);
  ASSERT_EQ(raw.size(), size_t(w) * h * 4) << f32;
  zaltest::Plane p(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const size_t i = (size_t(y) * w + x) * 4;
      const uint32_t bits = uint32_t(raw[i]) | uint32_t(raw[i + 1]) << 8 |
                            uint32_t(raw[i + 2]) << 16 | uint32_t(raw[i + 3]) << 24;
      p.at(x, y) = std::bit_cast<float>(bits);
    }
  TempDir dir;
  const std::string out = dir.File("t.zal");
  ASSERT_EQ(ZALCodificador(c.rplanes, c.levels, c.quant, w, h, p.data(), out.c_str(), 3), 0);
  EXPECT_TRUE(ReadFile(out) == ReadFile(reference)) << "compressed file differs from " << reference;
}

}  // namespace

TEST(CoderVectors, SmallCasesInTestData) {
  const std::string d = zaltest::TestDataDir() + "/";
  const std::vector<Case> cases = ReadCases(d + "coder_cases.txt");
  ASSERT_EQ(cases.size(), 6u);
  for (const Case& c : cases) {
    CheckEncode(c, d + c.input, d + c.name + ".zal");
    CheckDecode(c, d + c.name + ".zal", d + c.name + ".dec.pgm");
  }
}

TEST(CoderVectors, CoderAloneOnAStoredTransform) {
  const std::string d = zaltest::TestDataDir() + "/";
  Case c;
  c.name = "wave_q25_r2_l3";
  c.quant = 25.0f;
  c.levels = 3;
  CheckEncodeTransform(d + "wave_128x128.l3.f32", 128, 128, c, d + "wave_q25_r2_l3.zal");

  const std::string shared = zaltest::SharedDir();
  if (shared.empty()) GTEST_SKIP() << "shared reference data not found: camera transform skipped";
  Case camera;
  camera.name = "camera_default";
  CheckEncodeTransform(shared + "/vectors/camera_512x512.l6.f32", 512, 512, camera,
                       shared + "/vectors/camera_default.zal");
}

TEST(CoderVectors, AllSharedCases) {
  const std::string shared = zaltest::SharedDir();
  if (shared.empty()) GTEST_SKIP() << "shared reference data not found: only tests/data cases ran";
  const std::string v = shared + "/vectors/";
  const std::vector<Case> cases = ReadCases(v + "cases.txt");
  ASSERT_FALSE(cases.empty());
  for (const Case& c : cases) {
    const std::string input = zaltest::FileExists(v + c.input) ? v + c.input
                                                                 : shared + "/images/" + c.input;
    CheckEncode(c, input, v + c.name + ".zal");
    CheckDecode(c, v + c.name + ".zal", v + c.name + ".dec.pgm");
  }
}
