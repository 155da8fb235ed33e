// The decoder on files the encoder did not write: bad headers are refused,
// damaged bodies end in an error or in some image, never in a crash, a hang,
// a leaked plane or a file left open.
#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "coder/ZALcoder.h"
#include "entropy/CodificadorAritmetico.h"
#include "support/support.h"

namespace {

using zaltest::TempDir;
using Bytes = std::vector<uint8_t>;

int OpenFiles() {
  int n = 0;
  for (auto& e : std::filesystem::directory_iterator("/proc/self/fd")) n += e.exists() ? 1 : 0;
  return n;
}

// Decodes `path`; checks what every outcome must satisfy and returns the code.
int DecodeChecked(const std::string& path) {
  signed char r = 0, l = 0;
  float q = 0;
  int w = 0, h = 0;
  float* plane = reinterpret_cast<float*>(&w);  // must be replaced (null on error)
  const int code = ZALDecodificador(&r, &l, &q, &w, &h, &plane, path.c_str(), 3);
  if (code == kZALOk) {
    EXPECT_NE(plane, nullptr);
    EXPECT_TRUE(w >= 16 && w < 8192 && h >= 16 && h < 8192) << w << "x" << h;
    EXPECT_TRUE(r >= 2 && r <= 12 && l >= 3 && l <= 9);
    std::free(plane);
  } else {
    EXPECT_EQ(plane, nullptr);
  }
  return code;
}

// A stream with the given header fields followed by the given LL symbols
// (model of s[0] symbols) and nothing else.
void WriteStream(const std::string& path, int w, int h, int capas, std::vector<int> s,
                 std::vector<int> llSymbols = {}) {
  ASSERT_EQ(InicializaEscritura(path.c_str()), 0);
  CodificaBits(13, w);
  CodificaBits(13, h);
  CodificaBits(32, std::bit_cast<int32_t>(1.0f));
  CodificaBits(5, capas);
  CodificaBits(4, int(s.size()) - 1);
  for (int v : s) CodificaBits(5, v);
  THistograma m;
  InicializaModelo(s[0], &m);
  for (int v : llSymbols) CodificaSimbolo(v, &m);
  ASSERT_EQ(FinalizaEscrituraFicheroDeBits(), 0);
}

Bytes ValidFile(const TempDir& dir) {
  // The coder does not care whether the plane was transformed: a textured
  // image gives significant values on every level.
  zaltest::Plane p = zaltest::TexturedImage(64, 64, 11);
  const std::string path = dir.File("valid.zal");
  EXPECT_EQ(ZALCodificador(2, 3, 0.4f, 64, 64, p.data(), path.c_str(), 3), 0);
  return zaltest::ReadFile(path);
}

}  // namespace

TEST(CoderDamaged, HeadersOutsideTheEncodersRangesAreRefused) {
  TempDir dir;
  const std::string f = dir.File("h.zal");
  const int before = OpenFiles();
  struct Case {
    int w, h, capas;
    std::vector<int> s;
  };
  const Case cases[] = {
      {16, 16, 1, {2, 2, 2, 2}},      // rplanes below 2
      {16, 16, 13, {2, 2, 2, 2}},     // rplanes above 12
      {16, 16, 2, {2, 2, 2}},         // 2 levels
      {1024, 1024, 2, {2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2}},  // 10 levels
      {0, 16, 2, {2, 2, 2, 2}},       // no width
      {16, 0, 2, {2, 2, 2, 2}},       // no height
      {24, 16, 2, {2, 2, 2, 2}},      // not a multiple of 16
      {16, 8, 2, {2, 2, 2, 2}},
      {16, 16, 2, {2, 20, 2, 2}},     // level alphabet of 38 symbols
      {16, 16, 2, {2, 0, 2, 2}},      // level alphabet of -2 symbols
      {16, 16, 2, {2, 2, 2, 0}},      // leaf alphabet of -1 symbols
      {16, 16, 2, {31, 2, 2, 2}},     // bit length 31: the flag G overflows a cell
      {16, 16, 12, {2, 2, 2, 21}},    // the same with fcorrec -10
  };
  for (const Case& c : cases) {
    WriteStream(f, c.w, c.h, c.capas, c.s);
    EXPECT_EQ(DecodeChecked(f), kZALCabeceraCorrupta) << c.w << "x" << c.h << " capas " << c.capas;
  }
  // The largest legal values pass the header check.
  WriteStream(f, 16, 16, 2, {30, 19, 19, 30}, {1, 1, 1, 1, 1, 1, 1});
  EXPECT_NE(DecodeChecked(f), kZALCabeceraCorrupta);
  EXPECT_EQ(OpenFiles(), before);
}

TEST(CoderDamaged, ImpossibleSymbolsAreCorruptData) {
  TempDir dir;
  const std::string f = dir.File("b.zal");
  const int before = OpenFiles();
  // A marker where the TL coefficient is due (bit length capas, field of -1 bits).
  WriteStream(f, 16, 16, 2, {3, 1, 1, 1}, {2});
  EXPECT_EQ(DecodeChecked(f), kZALDatosCorruptos);
  // A marker right after a marker.
  WriteStream(f, 16, 16, 2, {3, 1, 1, 1}, {1, 2, 2});
  EXPECT_EQ(DecodeChecked(f), kZALDatosCorruptos);
  // The LL band says a level-1 group is coded, but level 1 has no symbols.
  WriteStream(f, 16, 16, 2, {2, 1, 1, 1}, {1, 1, 1, 1, 1, 1, 1});
  EXPECT_EQ(DecodeChecked(f), kZALDatosCorruptos);
  // An LL model without symbols.
  WriteStream(f, 16, 16, 2, {0, 1, 1, 1});
  EXPECT_EQ(DecodeChecked(f), kZALDatosCorruptos);
  // Markers before TR, BL and BR and nothing significant: a legal empty image.
  WriteStream(f, 16, 16, 2, {2, 1, 1, 1}, {1, 2, 1, 2, 1, 2, 1});
  EXPECT_EQ(DecodeChecked(f), kZALOk);
  EXPECT_EQ(DecodeChecked(dir.File("missing.zal")), kZALNoLee);
  signed char r, l;
  float q;
  int w, h;
  float* p = nullptr;
  EXPECT_EQ(ZALDecodificador(&r, &l, &q, &w, &h, &p, f.c_str(), -2), kZALBordeIncorrecto);
  EXPECT_EQ(OpenFiles(), before);
}

TEST(CoderDamaged, TruncatedFiles) {
  TempDir dir;
  const Bytes good = ValidFile(dir);
  ASSERT_GT(good.size(), 200u);
  const std::string f = dir.File("t.zal");
  const int before = OpenFiles();
  for (size_t n = 0; n < good.size(); n += 1 + n / 64) {
    zaltest::WriteFile(f, Bytes(good.begin(), good.begin() + n));
    DecodeChecked(f);
  }
  EXPECT_EQ(OpenFiles(), before);
}

TEST(CoderDamaged, BitFlips) {
  TempDir dir;
  const Bytes good = ValidFile(dir);
  const std::string f = dir.File("f.zal");
  zaltest::Rng rng(5);
  const int before = OpenFiles();
  int accepted = 0;
  for (int i = 0; i < 300; ++i) {
    Bytes b = good;
    const int flips = 1 + int(rng.Below(3));
    for (int k = 0; k < flips; ++k) {
      // Mostly in the body; now and then in the header.
      const size_t pos = rng.Below(4) == 0 ? rng.Below(12) : rng.Below(uint32_t(b.size()));
      b[pos] ^= uint8_t(1u << rng.Below(8));
    }
    zaltest::WriteFile(f, b);
    accepted += DecodeChecked(f) == kZALOk;
  }
  EXPECT_GT(accepted, 0);  // most damage goes unnoticed: the format has no checks
  EXPECT_EQ(OpenFiles(), before);
}

TEST(CoderDamaged, RandomBodiesAndRandomFiles) {
  TempDir dir;
  const Bytes good = ValidFile(dir);
  const std::string f = dir.File("r.zal");
  zaltest::Rng rng(9);
  const int before = OpenFiles();
  for (int i = 0; i < 200; ++i) {
    // The valid header (its first 11 bytes hold all its fields) and random bits.
    Bytes b(good.begin(), good.begin() + 11);
    const size_t n = rng.Below(600);
    for (size_t k = 0; k < n; ++k) b.push_back(uint8_t(rng.Below(256)));
    zaltest::WriteFile(f, b);
    DecodeChecked(f);
  }
  for (int i = 0; i < 200; ++i) {
    Bytes b(rng.Below(64));
    for (uint8_t& c : b) c = uint8_t(rng.Below(256));
    // Sides below 32 keep the rare accepted header cheap to decode.
    if (b.size() > 0) b[0] = 0;
    if (b.size() > 1) b[1] &= 0xF8;
    if (b.size() > 2) b[2] &= 0x07;
    zaltest::WriteFile(f, b);
    DecodeChecked(f);
  }
  EXPECT_EQ(OpenFiles(), before);
}

// Planes large enough for the decoder's second thread, damaged early (the
// decoding stops before the companion has work), late (in the leaf pass) or
// not at all: the same outcome and, when decoded, the same plane as the plain
// one-thread path, and nothing left running or open.
TEST(CoderDamaged, LargePlanesOnTwoThreads) {
  TempDir dir;
  zaltest::Plane p = zaltest::TexturedImage(1024, 1024, 12);
  const std::string f = dir.File("big.zal");
  ASSERT_EQ(ZALCodificador(2, 5, 0.4f, 1024, 1024, p.data(), f.c_str(), 3), 0);
  const Bytes good = zaltest::ReadFile(f);
  const int before = OpenFiles();
  std::vector<int> codes;
  auto decode = [&](std::vector<float>& out) {
    signed char r, l;
    float q;
    int w = 0, h = 0;
    float* plane = nullptr;
    const int code = ZALDecodificador(&r, &l, &q, &w, &h, &plane, f.c_str(), 3);
    if (plane != nullptr) out.assign(plane, plane + size_t(h) * (w + 3));
    std::free(plane);
    return code;
  };
  for (size_t at : {size_t(0), size_t(40), good.size() / 50, good.size() / 3, good.size() - 20}) {
    Bytes b = good;
    if (at > 0) b[at] ^= 0x5A;
    zaltest::WriteFile(f, b);
    std::vector<float> fast, plain;
    const int code = decode(fast);
    ZALReferencia(true);
    CodificadorAritmeticoReferencia(true);
    const int plainCode = decode(plain);
    ZALReferencia(false);
    CodificadorAritmeticoReferencia(false);
    ASSERT_EQ(code, plainCode) << "damage at byte " << at;
    ASSERT_EQ(fast.size(), plain.size());
    if (!fast.empty()) {
      EXPECT_EQ(std::memcmp(fast.data(), plain.data(), fast.size() * sizeof(float)), 0)
          << "damage at byte " << at;
    }
    codes.push_back(code);
  }
  // A leaf level of one symbol count: its models have no symbol, so the
  // decoding fails at the first coded leaf group, after the companion has
  // started. The header's fields are the file's first bits; with 5 levels the
  // leaf count is the 5-bit field at bit 67 + 5 * 5.
  Bytes b = good;
  for (int i = 0; i < 5; ++i) {
    const int bit = 92 + i, valor = i == 4 ? 1 : 0;  // the value 1
    b[bit / 8] = uint8_t((b[bit / 8] & ~(0x80 >> (bit % 8))) | (valor ? 0x80 >> (bit % 8) : 0));
  }
  zaltest::WriteFile(f, b);
  std::vector<float> none;
  EXPECT_EQ(decode(none), kZALDatosCorruptos);
  EXPECT_TRUE(none.empty());
  EXPECT_NE(codes[1], kZALOk);  // the damaged header above
  EXPECT_EQ(OpenFiles(), before);
}
