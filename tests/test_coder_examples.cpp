// The coefficient coder on hand-made planes: labels, the exact symbol stream
// (checked against streams coded item by item here), argument checks, and
// degenerate and oversized alphabets.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "coder/ZALcoder.h"
#include "entropy/CodificadorAritmetico.h"
#include "support/support.h"

namespace {

using zaltest::Plane;
using zaltest::ReadFile;
using zaltest::TempDir;
using Bytes = std::vector<uint8_t>;

int32_t Label(const Plane& p, int x, int y) {
  int32_t v;
  std::memcpy(&v, &p.cells[size_t(y) * p.stride() + x], sizeof v);
  return v;
}

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

// Writes a stream item by item, as the format lays it out.
struct Stream {
  THistograma m[2];
  explicit Stream(const std::string& path) { EXPECT_EQ(InicializaEscritura(path.c_str()), 0); }
  void Header(int w, int h, float q, int capas, std::vector<int> s) {
    CodificaBits(13, w);
    CodificaBits(13, h);
    CodificaBits(32, std::bit_cast<int32_t>(q));
    CodificaBits(5, capas);
    CodificaBits(4, int(s.size()) - 1);
    for (int v : s) CodificaBits(5, v);
  }
  void Models(int n) {
    InicializaModelo(n, &m[0]);
    InicializaModelo(n, &m[1]);
  }
  // One coded item: a symbol of a model, then a raw field when nbits > 0.
  struct Item {
    int symbol, model = 0, nbits = 0, field = 0;
  };
  void Items(std::initializer_list<Item> items) {
    for (const Item& i : items) {
      EXPECT_EQ(CodificaSimbolo(i.symbol, &m[i.model]), 0) << "symbol " << i.symbol;
      if (i.nbits > 0) CodificaBits(i.nbits, i.field);
    }
  }
  void Finish() { EXPECT_EQ(FinalizaEscrituraFicheroDeBits(), 0); }
};

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

// LL values are only rounded; 300 is symbol 9 plus the field 001011, and comes
// back as 256 + 44 + 2. A plane without detail codes only the LL pass.
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

  {
    Stream s(dir.File("b.zal"));
    s.Header(16, 16, 0.5f, 2, {9, 1, 1, 1});
    s.Models(9);
    // 300, then TR, BL and BR each after a marker (every level-1 group is
    // empty); 4 has bit length 3 and no raw bits.
    s.Items({{9, 0, 6, 75}, {2}, {1}, {2}, {1}, {2}, {3}});
    s.Finish();
  }
  EXPECT_EQ(ReadFile(dir.File("a.zal")), ReadFile(dir.File("b.zal")));

  Decoded d;
  Decode(dir.File("a.zal"), d);
  ASSERT_EQ(d.code, 0);
  EXPECT_EQ(d.at(0, 0), 302.0f);
  EXPECT_EQ(d.at(1, 1), 6.0f);
  EXPECT_EQ(d.at(1, 0), 0.0f);
}

// One tree through every level of the smallest image (16x16, 3 levels), with
// quant 0.5 so that a coefficient v quantizes to floor(|v| + 1.5).
TEST(CoderExamples, SmallestImageTree) {
  TempDir dir;
  Plane p(16, 16);
  p.at(4, 0) = 35.6f;   // 37, child group empty
  p.at(4, 1) = -5.6f;   // -7, child group coded
  p.at(10, 0) = -4.75f; // leaf -6
  p.at(8, 2) = 3.6f;    // leaf 5
  p.at(9, 3) = 6.6f;    // leaf 8, stored as 7
  ASSERT_EQ(Encode(p, 2, 3, 0.5f, dir.File("a.zal")), 0);

  EXPECT_EQ(Label(p, 4, 0), 37);
  EXPECT_EQ(Label(p, 4, 1), -7);
  EXPECT_EQ(Label(p, 5, 0), 1);   // isolated zero: its child group is coded
  EXPECT_EQ(Label(p, 5, 1), 0);   // zero root
  EXPECT_EQ(Label(p, 9, 3), 7);
  EXPECT_EQ(Label(p, 10, 0), -6);
  EXPECT_EQ(Label(p, 8, 0), -1);  // empty leaf group
  EXPECT_EQ(Label(p, 4, 2), -1);  // empty level group ...
  EXPECT_EQ(Label(p, 2, 1), 0);   // ... makes its parent a zero root
  EXPECT_EQ(Label(p, 2, 0), 1);
  EXPECT_EQ(Label(p, 0, 2), -1);

  {
    Stream s(dir.File("b.zal"));
    // s_0 and s_1 are raised to 2 (markers and zero symbols are coded);
    // s_3 counts the 8 before it became 7.
    s.Header(16, 16, 0.5f, 2, {2, 2, 6, 4});
    s.Models(2);  // LL: markers before BL and BR only
    s.Items({{1}, {1}, {2}, {1}, {2}, {1}});
    s.Models(2);  // level 1: group (2,0), members TL BL TR BR
    s.Items({{1, 0}, {2, 1}, {2, 0}, {2, 1}});
    // Level 2, group (4,0): 37 with empty children is 6 + 0 - 2 + 6 = 10 and
    // the field 0010; -7 (left neighbour small, TL not) is 3 and the sign 1.
    s.Models(10);
    s.Items({{10, 0, 4, 0b0010}, {3, 0, 1, 1}, {1, 0}, {2, 1}});
    // Leaf, group (10,0): -6 is symbol 2 and sign 1; group (8,2): 5 and 7.
    s.Models(3);
    s.Items({{2, 0, 1, 1}, {1, 1}, {1, 0}, {1, 1}, {2, 1, 1, 0}, {1, 1}, {1, 1}, {2, 1, 1, 0}});
    s.Finish();
  }
  EXPECT_EQ(ReadFile(dir.File("a.zal")), ReadFile(dir.File("b.zal")));

  Decoded d;
  Decode(dir.File("a.zal"), d);
  ASSERT_EQ(d.code, 0);
  EXPECT_EQ(d.at(4, 0), 36.5f);    // 38 -> 2 * 0.5 * (38 - 1.5)
  EXPECT_EQ(d.at(4, 1), -4.5f);    // -6
  EXPECT_EQ(d.at(10, 0), -4.5f);   // leaf symbol 2 with sign bit 1: -6, -9 quant
  EXPECT_EQ(d.at(8, 2), 4.5f);     // the same symbol with bit 0: +6, +9 quant
  EXPECT_EQ(d.at(9, 3), 4.5f);
  int nonzero = 0;
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) nonzero += d.at(x, y) != 0.0f;
  EXPECT_EQ(nonzero, 5);
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
