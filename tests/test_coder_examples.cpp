// The coefficient coder on hand-made planes: the LL band's threshold, argument
// checks, degenerate and oversized alphabets, and the size-only encoder. The
// symbol stream itself is held byte for byte by the reference vectors and the
// golden files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "coder/ZALcoder.h"
#include "support/labels.h"
#include "support/support.h"

namespace {

using zaltest::Plane;
using zaltest::ReadFile;
using zaltest::TempDir;
using Bytes = std::vector<uint8_t>;

int32_t Label(Plane& p, int x, int y) { return zaltest::LabelAt(p.data(), p.stride(), x, y); }

struct Decoded {
  int code = -1;
  signed char rplanes = 0, levels = 0;
  float quant = 0;
  int width = 0, height = 0;
  float* plane = nullptr;
  ~Decoded() { std::free(plane); }
  float at(int x, int y) const { return plane[size_t(y) * (width + 3) + x]; }
};

void Decode(const std::string& path, Decoded& d) {
  d.code = ZALDecodificador(&d.rplanes, &d.levels, &d.quant, &d.width, &d.height, &d.plane,
                            path.c_str(), 3);
}

int Encode(Plane& p, int rplanes, int levels, float q, const std::string& path) {
  return ZALCodificador(static_cast<signed char>(rplanes), static_cast<signed char>(levels), q,
                        p.width, p.height, p.data(), path.c_str(), 3);
}

// Bits of a file, most significant first.
uint32_t BitsAt(const Bytes& b, int pos, int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; ++i, ++pos) v = v << 1 | ((b[pos / 8] >> (7 - pos % 8)) & 1);
  return v;
}

}  // namespace

// LL values are only rounded, and below the threshold when negative or when
// they round below it; 300 comes back as 256 + 44 + 2.
TEST(CoderExamples, LowPassOnlyImage) {
  TempDir dir;
  Plane p(16, 16);
  p.at(0, 0) = 300.0f;
  p.at(1, 0) = 3.4f;   // umbral - 0.6: below threshold
  p.at(0, 1) = -3.7f;  // negative: below threshold
  p.at(1, 1) = 3.5f;   // umbral - 0.5 rounds up to umbral: significant
  ASSERT_EQ(Encode(p, 2, 3, 0.5f, dir.File("a.zal")), 0);
  EXPECT_EQ(Label(p, 0, 0), 300);
  EXPECT_EQ(Label(p, 1, 0), 1);
  EXPECT_EQ(Label(p, 0, 1), 1);
  EXPECT_EQ(Label(p, 1, 1), 4);
  EXPECT_EQ(Label(p, 15, 15), -1);

  Decoded d;
  Decode(dir.File("a.zal"), d);
  ASSERT_EQ(d.code, 0);
  EXPECT_EQ(d.at(0, 0), 302.0f);
  EXPECT_EQ(d.at(1, 1), 6.0f);
  EXPECT_EQ(d.at(1, 0), 0.0f);
}

TEST(CoderExamples, ArgumentChecksLeaveNoFile) {
  TempDir dir;
  const std::string out = dir.File("x.zal");
  Plane p(8192, 40);
  const struct {
    int rplanes, levels, w, h, border, code;
  } cases[] = {
      {1, 3, 64, 64, 3, kZALRplanes},         {13, 3, 64, 64, 3, kZALRplanes},
      {2, 10, 64, 64, 3, kZALDemasiadosNiveles}, {2, 2, 64, 64, 3, kZALPocosNiveles},
      {2, 3, 24, 16, 3, kZALLadoNoMultiplo},  // a multiple of 8, not of 16
      {2, 3, 16, 40, 3, kZALLadoNoMultiplo},  {2, 3, 0, 16, 3, kZALLadoFueraDeRango},
      {2, 3, 16, -16, 3, kZALLadoFueraDeRango},
      {2, 3, 8192, 16, 3, kZALLadoFueraDeRango},  // does not fit the 13-bit width field
      {2, 3, 16, 16, -1, kZALBordeIncorrecto}};
  for (const auto& c : cases)
    EXPECT_EQ(ZALCodificador(static_cast<signed char>(c.rplanes), static_cast<signed char>(c.levels), 1.0f,
                             c.w, c.h, p.data(), out.c_str(), static_cast<signed char>(c.border)),
              c.code)
        << c.rplanes << " " << c.levels << " " << c.w << "x" << c.h << " " << c.border;
  EXPECT_EQ(ZALCodificador(2, 3, 1.0f, 64, 64, nullptr, out.c_str(), 3), kZALSinImagen);
  EXPECT_FALSE(zaltest::FileExists(out));
  EXPECT_EQ(ZALCodificador(2, 3, 1.0f, 64, 64, p.data(), dir.File("no/such/dir.zal").c_str(), 3), kZALNoEscribe);
  EXPECT_EQ(ZALCodificador(2, 3, 1.0f, 64, 64, p.data(), nullptr, 3), kZALNoEscribe);
  Decoded d;
  d.code = ZALDecodificador(&d.rplanes, &d.levels, &d.quant, &d.width, &d.height, &d.plane, nullptr, 3);
  EXPECT_EQ(d.code, kZALNoLee);
  EXPECT_EQ(d.plane, nullptr);
}

TEST(CoderExamples, ErrorTexts) {
  char buf[128];
  const char* want[] = {
      "Unknown error (error #200)",
      "Architecture not supported (different sizes of int and float) (error #201)",
      "Incorrect rplane parameter (error #202)",
      "Image must be loaded before compressed (error #203)",
      "Too many decomposition levels (error #204)",
      "Number of decomposition levels too low (error #205)",
      "Image side should be multiple of 2^(level+1) (error #206)",
      "Cannot write file (error #207)",
      "Cannot read file (error #208)",
      "Insuficient memory available (error #209)",
      "Quantization parameter too small for this image (error #210)",
      "Image side should be between 1 and 8191 (error #211)",
      "Corrupt compressed file: invalid header (error #212)",
      "Corrupt compressed file: invalid data (error #213)",
      "Incorrect blank border (error #214)",
      "Incorrect quantization parameter (error #215)",
      "Unknown error (error #216)",
  };
  for (int code = 0; code < 17; ++code) {
    ZALCheckError(code, buf);
    EXPECT_STREQ(buf, want[code]);
  }
  ZALCheckError(-5, buf);
  EXPECT_STREQ(buf, "Unknown error (error #195)");
}

// Images whose levels hold no significant coefficient: their alphabets are
// raised where symbols are coded, and every symbol stays inside its model
// (the encoder would fail otherwise).
TEST(CoderExamples, DegenerateAlphabetsEncodeAndDecode) {
  TempDir dir;
  const std::string out = dir.File("d.zal");
  for (int rplanes : {2, 7, 12}) {
    SCOPED_TRACE(rplanes);
    Plane black(64, 64);
    ASSERT_EQ(Encode(black, rplanes, 3, 1.0f, out), 0);
    const Bytes b = ReadFile(out);
    EXPECT_EQ(BitsAt(b, 67, 5), 2u);  // s_0 raised to 2
    for (int k = 1; k <= 3; ++k) EXPECT_EQ(BitsAt(b, 67 + 5 * k, 5), 1u);
    Decoded d;
    Decode(out, d);
    ASSERT_EQ(d.code, 0);
    for (int y = 0; y < 64; ++y)
      for (int x = 0; x < 64; ++x) ASSERT_EQ(d.at(x, y), 0.0f);

    // One significant finest coefficient under an insignificant LL band: every
    // coarser level codes zero symbols only.
    Plane dot(64, 64);
    dot.at(40, 40) = 50000.0f;
    ASSERT_EQ(Encode(dot, rplanes, 3, 1.0f, out), 0);
    const Bytes c = ReadFile(out);
    EXPECT_EQ(BitsAt(c, 67, 5), 2u);
    EXPECT_EQ(BitsAt(c, 72, 5), 2u);
    EXPECT_EQ(BitsAt(c, 77, 5), 2u);
    Decoded e;
    Decode(out, e);
    ASSERT_EQ(e.code, 0);
    EXPECT_NEAR(e.at(40, 40), 50000.0f, 2.0f * (1 << rplanes));
  }
  // rplanes 2 with nothing significant and no empty level-1 group: s_0 stays 1.
  Plane p(16, 16);
  for (int y = 0; y < 16; y += 2)
    for (int x = 0; x < 16; x += 2)
      if (x >= 2 || y >= 2) p.at(x, y) = 50.0f;
  ASSERT_EQ(Encode(p, 2, 3, 1.0f, out), 0);
  EXPECT_EQ(BitsAt(ReadFile(out), 67, 5), 1u);
}

// A quantization parameter that is not a positive finite number is refused
// before anything is touched: no file, and the plane keeps its coefficients.
TEST(CoderExamples, InvalidQuantIsRefusedBeforeTheFile) {
  TempDir dir;
  const std::string out = dir.File("q.zal"), kept = dir.File("kept.zal");
  zaltest::WriteFile(kept, std::string("keep me"));
  const float inf = std::numeric_limits<float>::infinity();
  for (float q : {std::numeric_limits<float>::quiet_NaN(), inf, -inf, 0.0f, -0.0f, -1.0f, -1e-45f}) {
    SCOPED_TRACE(q);
    Plane p = zaltest::TexturedImage(64, 64, 1);
    const Plane before = p;
    EXPECT_EQ(Encode(p, 2, 3, q, out), kZALQuantInvalido);
    EXPECT_FALSE(zaltest::FileExists(out));
    EXPECT_EQ(Encode(p, 2, 3, q, kept), kZALQuantInvalido);
    EXPECT_EQ(zaltest::ReadFile(kept), Bytes({'k', 'e', 'e', 'p', ' ', 'm', 'e'}));
    int64_t bytes = 0;
    EXPECT_EQ(ZALCodificadorTamano(2, 3, q, p.width, p.height, p.data(), 3, &bytes), kZALQuantInvalido);
    EXPECT_EQ(p.cells, before.cells);
  }
}

TEST(CoderExamples, OversizedAlphabetsAreRefusedBeforeTheFile) {
  TempDir dir;
  const std::string out = dir.File("big.zal");
  zaltest::WriteFile(out, std::string("keep me"));
  Plane p = zaltest::TexturedImage(64, 64, 1);
  EXPECT_EQ(Encode(p, 2, 3, 1e-4f, out), kZALQuantPequeno);
  p = zaltest::TexturedImage(64, 64, 1);
  EXPECT_EQ(Encode(p, 2, 3, 1e-45f, out), kZALQuantPequeno);  // positive, but 1/(2 quant) overflows
  EXPECT_EQ(zaltest::ReadFile(out), Bytes({'k', 'e', 'e', 'p', ' ', 'm', 'e'}));
  // Huge and non-finite coefficients are refused, not converted blindly.
  Plane h(16, 16);
  h.at(8, 8) = 3e38f;
  EXPECT_EQ(Encode(h, 2, 3, 1.0f, out), kZALQuantPequeno);
  Plane ll(16, 16);
  ll.at(0, 0) = 2e9f;
  EXPECT_EQ(Encode(ll, 12, 3, 1.0f, out), kZALQuantPequeno);
  // A NaN coefficient counts as zero rather than as garbage.
  Plane n(16, 16);
  n.at(8, 8) = std::numeric_limits<float>::quiet_NaN();
  n.at(0, 0) = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(Encode(n, 2, 3, 1.0f, out), 0);
  // The largest level alphabet that fits (s_k = 19, 36 symbols) still codes.
  Plane edge(16, 16);
  edge.at(4, 4) = float((1 << 18) + 100);  // bit length 19 at level 2
  edge.at(8, 8) = float((1 << 29));         // bit length 30 on the leaf level
  ASSERT_EQ(Encode(edge, 2, 3, 0.5f, out), 0);
  Decoded d;
  Decode(out, d);
  ASSERT_EQ(d.code, 0);
  EXPECT_NEAR(d.at(4, 4), float((1 << 18) + 100), 3.0f);
  EXPECT_NEAR(d.at(8, 8), float(1 << 29), 3.0f);
  Plane over(16, 16);
  over.at(4, 4) = float(1 << 19);  // bit length 20: 38 symbols
  EXPECT_EQ(Encode(over, 2, 3, 0.5f, out), kZALQuantPequeno);
}

// The size-only encoder measures the file the encoder writes, with the same
// labels. With a byte limit it may stop early, but "above the limit" is
// answered exactly: *bytes > limit when, and only when, the whole stream is
// longer; a negative limit is no limit.
TEST(CoderExamples, SizeOnlyEncoder) {
  TempDir dir;
  const Plane image = zaltest::TexturedImage(256, 256, 4);
  Plane a = image, b = image;
  int64_t total = -1;
  ASSERT_EQ(ZALCodificadorTamano(2, 4, 0.6f, a.width, a.height, a.data(), 3, &total), 0);
  ASSERT_EQ(Encode(b, 2, 4, 0.6f, dir.File("s.zal")), 0);
  EXPECT_EQ(total, int64_t(ReadFile(dir.File("s.zal")).size()));
  EXPECT_EQ(a.cells, b.cells);
  ASSERT_GT(total, 1000);
  for (int64_t limite : {int64_t(0), int64_t(10), total / 3, total - 1, total, total + 1, total * 2}) {
    Plane b = image;
    int64_t bytes = -1;
    ASSERT_EQ(ZALCodificadorTamano(2, 4, 0.6f, b.width, b.height, b.data(), 3, &bytes, limite), 0);
    EXPECT_EQ(bytes > limite, total > limite) << "limit " << limite;
    if (limite >= total) {
      EXPECT_EQ(bytes, total);
    }
  }
  Plane c = image;
  int64_t bytes = -1;
  ASSERT_EQ(ZALCodificadorTamano(2, 4, 0.6f, c.width, c.height, c.data(), 3, &bytes, -1), 0);
  EXPECT_EQ(bytes, total);
}

// The encoder into memory keeps the file's bytes (on one thread and with the
// walker on its own), stops past a limit like the size-only encoder, and its
// stream written out is the file ZALCodificador writes.
TEST(CoderExamples, InMemoryEncoder) {
  TempDir dir;
  for (const Plane& image : {zaltest::TexturedImage(256, 256, 4), zaltest::TexturedImage(1024, 1024, 8)}) {
    for (const bool unHilo : {false, true}) {
      Plane a = image, b = image;
      ASSERT_EQ(Encode(a, 2, 4, 0.6f, dir.File("f.zal")), 0);
      const std::vector<uint8_t> fichero = ReadFile(dir.File("f.zal"));
      const int64_t total = int64_t(fichero.size());
      std::vector<uint8_t> flujo = {1, 2, 3};  // emptied first
      int64_t bytes = -1;
      ASSERT_EQ(ZALCodificadorMemoria(2, 4, 0.6f, b.width, b.height, b.data(), 3, &bytes, &flujo, -1, unHilo), 0);
      EXPECT_EQ(bytes, total);
      EXPECT_EQ(flujo, fichero);
      EXPECT_EQ(a.cells, b.cells);
      for (int64_t limite : {int64_t(0), total - 1, total}) {
        Plane c = image;
        ASSERT_EQ(ZALCodificadorMemoria(2, 4, 0.6f, c.width, c.height, c.data(), 3, &bytes, &flujo, limite, unHilo), 0);
        EXPECT_EQ(bytes > limite, total > limite) << "limit " << limite;
        if (limite >= total) {
          EXPECT_EQ(flujo, fichero);
        }
      }
      ASSERT_EQ(ZALGuardaFlujo(fichero, dir.File("g.zal").c_str()), 0);
      EXPECT_EQ(ReadFile(dir.File("g.zal")), fichero);
    }
  }
  Plane d = zaltest::TexturedImage(64, 64, 1);
  EXPECT_EQ(ZALCodificadorMemoria(2, 3, 0.6f, d.width, d.height, d.data(), 3, nullptr, nullptr), 7);
  // Failures to write are the encoder's: 7, and no incomplete file left.
  const std::vector<uint8_t> algo(100000, 0x5A);
  EXPECT_EQ(ZALGuardaFlujo(algo, "/dev/full"), 7);
  EXPECT_EQ(ZALGuardaFlujo(algo, dir.File("no/such/dir.zal").c_str()), 7);
}
