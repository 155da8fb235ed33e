// The coefficient coder: reference vectors and golden hashes, the fast paths
// (labelling kernels, helper threads, row walks, memory and size-only
// encoders) against the plain ones, hand-made planes, and damaged files.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <thread>

#include "coder/ZALcoder.h"
#include "entropy/CodificadorAritmetico.h"
#include "image/ImagenLuminanciaES.h"
#include "support/support.h"
#include "wavelet/wavelets.h"

namespace {

using zaltest::Plane;
using zaltest::ReadFile;
using Bytes = std::vector<uint8_t>;
using SC = signed char;
const float kNaN = std::numeric_limits<float>::quiet_NaN(), kInf = std::numeric_limits<float>::infinity();

struct Decoded {
  int code = -1, width = 0, height = 0;
  SC rplanes = 0, levels = 0;
  float quant = 0;
  std::vector<float> plane;  // with its spare samples
  float at(int x, int y) const { return plane[size_t(y) * (width + 3) + x]; }
};
Decoded Decode(const std::string& path) {
  Decoded d;
  float* p = &d.quant;  // must be replaced (null on error)
  d.code = ZALDecodificador(&d.rplanes, &d.levels, &d.quant, &d.width, &d.height, &p, path.c_str(), 3);
  EXPECT_EQ(p == nullptr, d.code != 0);
  if (p) d.plane.assign(p, p + size_t(d.height) * (d.width + 3));
  std::free(p);
  return d;
}
int Encode(Plane& p, int rplanes, int levels, float q, const std::string& path) {
  return ZALCodificador(SC(rplanes), SC(levels), q, p.width, p.height, p.data(), path.c_str(), 3);
}
Plane Transformed(Plane p, int levels) {
  EXPECT_EQ(TransformaWavelet(levels, p.width, p.height, p.data(), p.gap), 0);
  return p;
}
// Bit patterns, so that labels over floats (and NaN cells) compare exactly.
bool SameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * 4) == 0);
}
void SetPlain(bool on) { ZALReferencia(on), CodificadorAritmeticoReferencia(on); }

// The file and the decoded image (inverse transform, PGM) of an image.
std::pair<Bytes, Bytes> CodeAndDecode(const Plane& image, float q, int rplanes, int levels) {
  zaltest::TempDir dir;
  const std::string zal = dir.File("c.zal"), pgm = dir.File("c.pgm");
  Plane coef = Transformed(image, levels);
  EXPECT_EQ(Encode(coef, rplanes, levels, q, zal), 0);
  Decoded d = Decode(zal);
  EXPECT_TRUE(d.code == 0 && d.rplanes == rplanes && d.levels == levels && d.quant == q);
  EXPECT_EQ(TransformaWaveletInversa(d.levels, d.width, d.height, d.plane.data(), 3), 0);
  EXPECT_EQ(GuardaPGM(pgm.c_str(), d.width, d.height, d.plane.data(), 3), 0);
  return {ReadFile(zal), ReadFile(pgm)};
}

// Reference cases "input name [-q Q] [-r R] [-l L]", read as the encoder program reads them.
int CheckVectors(const std::string& dir, const std::string& cases, const std::string& images) {
  std::ifstream f(dir + cases);
  int n = 0;
  for (std::string line, input, name, opt, val; std::getline(f, line);) {
    std::istringstream in(line);
    if (!(in >> input >> name)) continue;
    float q = std::bit_cast<float>(0x3F6549F9u);
    SC r = 2, l = 6;
    while (in >> opt >> val)
      opt == "-q" ? void(q = float(std::atof(val.c_str()))) : void((opt == "-r" ? r : l) = SC(std::atoi(val.c_str())));
    const std::string path = zaltest::FileExists(dir + input) ? dir + input : images + input;
    int w = 0, h = 0;
    float* cells = nullptr;
    EXPECT_EQ(CargaImagenLuminancia(path.c_str(), &w, &h, &cells, 3), 0) << path;
    Plane p(w, h);
    std::memcpy(p.data(), cells, p.cells.size() * 4), std::free(cells);
    const auto [zal, pgm] = CodeAndDecode(p, q, r, l);
    EXPECT_TRUE(zal == ReadFile(dir + name + ".zal") && pgm == ReadFile(dir + name + ".dec.pgm")) << name;
    ++n;
  }
  return n;
}

// The plain paths' code, file, labels, size-only size and decoded plane (also
// of the file damaged two thirds in) against those of every labelling kernel
// set the processor runs.
void Compare(const Plane& coef, float q, int rplanes, int levels) {
  struct { int code; Bytes file; std::vector<float> labels, decoded, damaged; int64_t size = -1; } o[2];
  for (int simd : {-2, 0, 1, 2}) {
    if (simd >= 0 && ZALSimd(simd) != simd) continue;
    SetPlain(simd == -2);
    zaltest::TempDir dir;
    Plane p = coef, s = coef;
    auto& r = o[simd >= 0];
    r = {Encode(p, rplanes, levels, q, dir.File("x.zal")), ReadFile(dir.File("x.zal")), p.cells, {}, {}};
    ZALCodificadorTamano(SC(rplanes), SC(levels), q, s.width, s.height, s.data(), 3, &r.size);
    if (r.code == 0) r.decoded = Decode(dir.File("x.zal")).plane;
    if (r.code == 0) r.file[r.file.size() * 2 / 3] ^= 0x5A, zaltest::WriteFile(dir.File("x.zal"), r.file);
    if (r.code == 0) r.damaged = Decode(dir.File("x.zal")).plane;
    SetPlain(false);
    EXPECT_TRUE(simd < 0 || (r.code == o[0].code && r.file == o[0].file && r.size == o[0].size &&
                             SameBits(r.labels, o[0].labels) && SameBits(r.decoded, o[0].decoded) &&
                             SameBits(r.damaged, o[0].damaged)))
        << coef.width << "x" << coef.height << " q " << q << " r " << rplanes << " l " << levels << " kernels " << simd;
  }
  ZALSimd(-1);
}

// A raw plane on the quantizer's edges: around UmbralPre and the points where
// the quantized magnitude steps, zeros of both signs, huge values, and either
// magnitudes near the format's largest or (odd) NaN and infinities.
Plane Edges(int w, int h, float q, int rplanes, uint64_t seed, bool odd) {
  zaltest::Rng rng(seed);
  Plane p(w, h);
  const int umbral = 1 << rplanes;
  const float pre = float((umbral - 1.5) / double(float(1.0 / (double(q) + double(q))))), raro[] = {kNaN, kInf, 3e38f};
  for (float& c : p.cells) {
    const uint32_t t = rng.Below(100);
    const int n = rng.Below(3) == 0 ? umbral : rng.Below(2) ? 2 * umbral : int(rng.Below(8 * umbral));
    float v = t < 55 ? float(rng.Unit() * pre) : t < 62 ? pre : t < 70 ? std::nextafter(pre, t & 1 ? 0.0f : 1e30f)
            : t < 92 ? float((n - 1.5) * 2.0 * double(q)) : t < 96 ? 0.0f : t < 99 ? float(rng.Unit() * 1e6)
            : odd ? raro[rng.Below(3)] : float((double(1 << 28) + rng.Below(1 << 28)) * 2.0 * double(q));
    for (int k = t >= 70 && t < 92 ? int(rng.Below(3)) : 0; k > 0; --k) v = std::nextafter(v, rng.Below(2) ? 0.0f : 1e30f);
    c = rng.Below(2) ? -v : v;
  }
  return p;
}

int OpenFiles() {
  return int(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator()));
}

}  // namespace

// One data-driven check of the reference vectors (tests/data, and the full set
// when the shared folder is there) and of the golden hashes of generated images.
TEST(Coder, VectorsAndGoldenHashes) {
  EXPECT_EQ(CheckVectors(zaltest::TestDataDir() + "/", "coder_cases.txt", ""), 6);
  const std::string shared = zaltest::SharedDir();
  EXPECT_TRUE(shared.empty() || CheckVectors(shared + "/vectors/", "cases.txt", shared + "/images/") > 6);
  const std::pair<const char*, Plane> images[] = {
      {"smooth64x64", zaltest::SmoothImage(64, 64, 1)},       {"smooth256x128", zaltest::SmoothImage(256, 128, 4)},
      {"textured128x64", zaltest::TexturedImage(128, 64, 2)}, {"noisy64x32", zaltest::NoisyImage(64, 32, 3)},
      {"flat64x64", zaltest::FlatImage(64, 64, 77.0f)}};
  const struct { const char* name; float quant; int rplanes, levels; } params[] = {
      {"default_l3", std::bit_cast<float>(0x3F6549F9u), 2, 3}, {"q3.5_r3_l4", 3.5f, 3, 4},
      {"q0.3_r6_l3", 0.3f, 6, 3}, {"q0.05_r2_l5", 0.05f, 2, 5}};
  std::map<std::string, std::string> want;
  std::ifstream f(zaltest::TestDataDir() + "/coder_golden.txt");
  for (std::string key, zal, pgm; f >> key >> zal >> pgm;) want[key] = zal + " " + pgm;
  std::string table;
  int right = 0;
  for (const auto& [name, image] : images)
    for (const auto& p : params) {
      if (image.width % (2 << p.levels) || image.height % (2 << p.levels)) continue;
      const auto [zal, pgm] = CodeAndDecode(image, p.quant, p.rplanes, p.levels);
      const std::string key = std::string(name) + "_" + p.name, got = zaltest::Sha256Hex(zal) + " " + zaltest::Sha256Hex(pgm);
      table += key + " " + got + "\n";
      right += want[key] == got;
    }
  EXPECT_EQ(right, 19) << "If the change is deliberate, tests/data/coder_golden.txt becomes:\n" << table;
}

// Transformed images (oblong ones large enough for the labelling, walking and
// decoding helper threads, whose shares depend on each side) and raw planes on
// the quantizer's edges: fast and plain paths alike.
TEST(Coder, FastPathsMatchPlainPaths) {
  Compare(Transformed(zaltest::TexturedImage(2048, 512, 9), 6), 0.7f, 2, 6);
  Compare(Transformed(zaltest::TexturedImage(512, 2048, 10), 3), 1.5f, 3, 3);
  Compare(Transformed(zaltest::SmoothImage(96, 160, 5), 4), 0.05f, 12, 4);  // fine: many raw bits
  Compare(Transformed(zaltest::NoisyImage(16, 16, 6), 3), 1.0f, 2, 3);      // groups of 2, 4 and 8 cells
  uint64_t seed = 1;
  for (int rplanes : {2, 3, 5, 9, 12})
    for (float q : {0.3f, 1.0f, 7.5f}) {
      Compare(Edges(64, 48, q, rplanes, seed++, false), q, rplanes, 3);
      Compare(Edges(128, 128, q, rplanes, seed++, true), q, rplanes, 5);  // may be refused: alike
    }
}

// The size-only and in-memory encoders give the file's size and bytes and its
// labels; past a limit they may stop early, but "above the limit" is answered
// exactly. Run on two threads at once (each with or without helper threads of
// its own) while a third writes a file, every call gives what it gives alone.
TEST(Coder, SizeOnlyAndInMemoryEncodersOnThreadsAtOnce) {
  zaltest::TempDir dir;
  const Plane image = Transformed(zaltest::TexturedImage(1024, 1024, 8), 5);
  Plane a = image;
  ASSERT_EQ(Encode(a, 2, 4, 0.6f, dir.File("f.zal")), 0);
  const Bytes file = ReadFile(dir.File("f.zal"));
  const int64_t total = int64_t(file.size());
  auto check = [&](int first) {
    for (int k = first; k < first + 8; ++k) {
      const int64_t limit = std::vector<int64_t>{-1, 0, total - 1, total}[k % 4];
      Plane b = image, c = image;
      Bytes stream = {1, 2, 3};
      int64_t size = -7, bytes = -7;
      EXPECT_EQ(ZALCodificadorTamano(2, 4, 0.6f, b.width, b.height, b.data(), 3, &size, limit, k / 4 % 2), 0);
      EXPECT_EQ(ZALCodificadorMemoria(2, 4, 0.6f, c.width, c.height, c.data(), 3, &bytes, &stream, limit, k / 4 % 2), 0);
      EXPECT_TRUE((size > limit) == (total > limit) && (bytes > limit) == (total > limit)) << "limit " << limit;
      EXPECT_TRUE((limit >= 0 && limit < total) || (size == total && bytes == total && stream == file &&
                                                    SameBits(b.cells, a.cells) && SameBits(c.cells, a.cells)));
    }
  };
  int written = -1;
  std::thread other(check, 4), writer([&] { Plane g = image; written = Encode(g, 2, 4, 0.6f, dir.File("g.zal")); });
  check(0);
  other.join(), writer.join();
  EXPECT_TRUE(written == 0 && ReadFile(dir.File("g.zal")) == file);
  ASSERT_EQ(ZALGuardaFlujo(file, dir.File("h.zal").c_str()), 0);
  EXPECT_EQ(ReadFile(dir.File("h.zal")), file);
  EXPECT_EQ(ZALGuardaFlujo(file, "/dev/full"), kZALNoEscribe);
  EXPECT_EQ(ZALCodificadorMemoria(2, 4, 0.6f, 64, 64, a.data(), 3, nullptr, nullptr), kZALNoEscribe);
}

// Refusals come before the file is created (or an existing one touched) and,
// but for 10, leave the plane as it was; the last messages of the codes.
TEST(Coder, ArgumentChecksAndMessages) {
  zaltest::TempDir dir;
  const std::string out = dir.File("x.zal"), kept = dir.File("kept.zal");
  zaltest::WriteFile(kept, std::string("keep me"));
  const struct { int rplanes, levels, w, h, border; float q; int code; } cases[] = {
      {1, 3, 64, 64, 3, 1, kZALRplanes},        {13, 3, 64, 64, 3, 1, kZALRplanes},     {2, 10, 64, 64, 3, 1, kZALDemasiadosNiveles},
      {2, 2, 64, 64, 3, 1, kZALPocosNiveles},   {2, 3, 24, 16, 3, 1, kZALLadoNoMultiplo}, {2, 3, 16, 40, 3, 1, kZALLadoNoMultiplo},
      {2, 3, 0, 16, 3, 1, kZALLadoFueraDeRango}, {2, 3, 16, -16, 3, 1, kZALLadoFueraDeRango}, {2, 3, 8192, 16, 3, 1, kZALLadoFueraDeRango},
      {2, 3, 16, 16, -1, 1, kZALBordeIncorrecto}, {2, 3, 64, 64, 3, kNaN, kZALQuantInvalido}, {2, 3, 64, 64, 3, -kInf, kZALQuantInvalido},
      {2, 3, 64, 64, 3, kInf, kZALQuantInvalido}, {2, 3, 64, 64, 3, -0.0f, kZALQuantInvalido}, {2, 3, 64, 64, 3, -1e-45f, kZALQuantInvalido},
      {2, 3, 64, 64, 3, 1e-4f, kZALQuantPequeno}, {2, 3, 64, 64, 3, 1e-45f, kZALQuantPequeno}};  // 1/(2 quant) overflows
  for (const auto& c : cases)
    for (const std::string& path : {out, kept, std::string()}) {  // "": the size-only encoder
      Plane p = c.w == 8192 ? Plane(8192, 16) : zaltest::TexturedImage(64, 64, 1);
      const std::vector<float> before = p.cells;
      int64_t bytes = 0;
      EXPECT_EQ(path.empty() ? ZALCodificadorTamano(SC(c.rplanes), SC(c.levels), c.q, c.w, c.h, p.data(), SC(c.border), &bytes)
                             : ZALCodificador(SC(c.rplanes), SC(c.levels), c.q, c.w, c.h, p.data(), path.c_str(), SC(c.border)),
                c.code) << c.rplanes << " " << c.levels << " " << c.w << "x" << c.h << " " << c.border << " " << c.q;
      EXPECT_TRUE(c.code == kZALQuantPequeno || p.cells == before);
    }
  EXPECT_TRUE(!zaltest::FileExists(out) && ReadFile(kept) == Bytes({'k', 'e', 'e', 'p', ' ', 'm', 'e'}));
  Plane p(64, 64);
  EXPECT_EQ(Encode(p, 2, 3, 1.0f, dir.File("no/such/dir.zal")), kZALNoEscribe);
  EXPECT_EQ(ZALCodificador(2, 3, 1.0f, 64, 64, nullptr, out.c_str(), 3), kZALSinImagen);
  EXPECT_EQ(Decode(dir.File("missing.zal")).code, kZALNoLee);
  char text[2][128];
  ZALCheckError(15, text[0]), ZALCheckError(16, text[1]);
  EXPECT_EQ(std::string(text[0]) + text[1], "Incorrect quantization parameter (error #215)Unknown error (error #216)");
}

// Hand-made planes. LL values are only rounded, and below the threshold when
// negative or when they round below it (300 comes back as 256 + 44 + 2). With
// nothing significant but no empty level-1 group, s_0 (5 bits at bit 67) stays
// 1. The largest alphabets that fit code, one more is refused, as are huge
// coefficients; NaN counts as zero.
TEST(Coder, HandMadePlanes) {
  zaltest::TempDir dir;
  const std::string out = dir.File("d.zal");
  Plane ll(16, 16);
  ll.at(0, 0) = 300.0f, ll.at(1, 0) = 3.4f, ll.at(0, 1) = -3.7f, ll.at(1, 1) = 3.5f;
  ASSERT_EQ(Encode(ll, 2, 3, 0.5f, out), 0);
  const int32_t want[] = {300, 1, 1, 4, -1};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(std::bit_cast<int32_t>(ll.at(i < 4 ? i % 2 : 15, i < 4 ? i / 2 : 15)), want[i]);
  const Decoded d = Decode(out);
  EXPECT_TRUE(d.at(0, 0) == 302.0f && d.at(1, 1) == 6.0f && d.at(1, 0) == 0.0f && d.at(0, 1) == 0.0f);
  Plane p(16, 16);
  for (int y = 0; y < 16; y += 2)
    for (int x = 0; x < 16; x += 2) p.at(x, y) = x >= 2 || y >= 2 ? 50.0f : 0.0f;
  ASSERT_EQ(Encode(p, 2, 3, 1.0f, out), 0);
  EXPECT_EQ(ReadFile(out)[8] & 0x1F, 1);
  const struct { int x, y; float v; int rplanes, code; } cells[] = {
      {4, 4, float((1 << 18) + 100), 2, 0}, {8, 8, float(1 << 29), 2, 0}, {4, 4, float(1 << 19), 2, kZALQuantPequeno},
      {8, 8, 3e38f, 2, kZALQuantPequeno},   {0, 0, 2e9f, 12, kZALQuantPequeno}, {8, 8, kNaN, 2, 0}};
  for (const auto& c : cells) {
    Plane q(16, 16);
    q.at(c.x, c.y) = c.v;
    ASSERT_EQ(Encode(q, c.rplanes, 3, 0.5f, out), c.code) << c.v;
    EXPECT_NEAR(c.code ? 0.0f : Decode(out).at(c.x, c.y), c.code || std::isnan(c.v) ? 0.0f : c.v, 3.0f) << c.v;
  }
}

// Files the encoder did not write end in an error or some image, never in a
// crash, a leak or a file left open: headers outside the encoder's ranges and
// impossible symbols are refused; cut and flipped files are survived (the
// format has no checks: most damage goes unnoticed).
TEST(Coder, DamagedFiles) {
  zaltest::TempDir dir;
  const std::string f = dir.File("h.zal");
  const int before = OpenFiles();
  const std::vector<int> s2(4, 2), s1 = {2, 1, 1, 1};
  const struct { int w, h, capas; std::vector<int> s, ll; int code; } cases[] = {
      {16, 16, 1, s2, {}, 12},  {16, 16, 13, s2, {}, 12}, {16, 16, 2, {2, 2, 2}, {}, 12}, {1024, 1024, 2, std::vector(11, 2), {}, 12},
      {0, 16, 2, s2, {}, 12},   {16, 0, 2, s2, {}, 12},   {24, 16, 2, s2, {}, 12},        {16, 8, 2, s2, {}, 12},
      {16, 16, 2, {2, 20, 2, 2}, {}, 12}, {16, 16, 2, {2, 0, 2, 2}, {}, 12}, {16, 16, 2, {2, 2, 2, 0}, {}, 12},
      {16, 16, 2, {31, 2, 2, 2}, {}, 12}, {16, 16, 12, {2, 2, 2, 21}, {}, 12},  // the flag G would overflow a cell
      {16, 16, 2, {30, 19, 19, 30}, {1, 1, 1, 1, 1, 1, 1}, 0},                // the largest legal header
      {16, 16, 2, {3, 1, 1, 1}, {2}, 13}, {16, 16, 2, {3, 1, 1, 1}, {1, 2, 2}, 13},  // a marker for TL; after a marker
      {16, 16, 2, s1, {1, 1, 1, 1, 1, 1, 1}, 13}, {16, 16, 2, {0, 1, 1, 1}, {}, 13},  // level 1 or LL without symbols
      {16, 16, 2, s1, {1, 2, 1, 2, 1, 2, 1}, 0}};  // markers and nothing significant: an empty image
  for (const auto& c : cases) {
    ASSERT_EQ(InicializaEscritura(f.c_str()), 0);
    const int header[5][2] = {{13, c.w}, {13, c.h}, {32, 0x3F800000}, {5, c.capas}, {4, int(c.s.size()) - 1}};
    for (const auto& field : header) CodificaBits(field[0], field[1]);
    for (int v : c.s) CodificaBits(5, v);
    THistograma m;
    InicializaModelo(c.s[0], &m);
    for (int v : c.ll) CodificaSimbolo(v, &m);
    ASSERT_EQ(FinalizaEscrituraFicheroDeBits(), 0);
    EXPECT_EQ(Decode(f).code, c.code) << c.w << "x" << c.h << " capas " << c.capas << " s0 " << c.s[0];
  }
  float* p = nullptr;
  EXPECT_EQ(ZALDecodificador(nullptr, nullptr, nullptr, nullptr, nullptr, &p, f.c_str(), -2), kZALBordeIncorrecto);
  Plane t = zaltest::TexturedImage(64, 64, 11);
  ASSERT_EQ(Encode(t, 2, 3, 0.4f, f), 0);
  const Bytes good = ReadFile(f);
  zaltest::Rng rng(5);
  for (int i = 0; i < 200; ++i) {  // cut short, or with a bit flipped (now and then in the header)
    Bytes b(good.begin(), good.begin() + (i < 100 ? good.size() * i / 100 : good.size()));
    if (i >= 100) b[rng.Below(4) == 0 ? 3 + rng.Below(9) : rng.Below(uint32_t(b.size()))] ^= uint8_t(1u << rng.Below(8));
    zaltest::WriteFile(f, b);
    const Decoded d = Decode(f);
    EXPECT_TRUE(d.code != 0 || i >= 100 || (d.width == 64 && d.height == 64 && d.rplanes == 2));
  }
  EXPECT_EQ(OpenFiles(), before);
}
