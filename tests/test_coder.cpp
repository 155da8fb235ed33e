// The coefficient coder: reference vectors and golden hashes, the fast paths (labelling kernels, helper
// threads, row walks, memory and size-only encoders) against the plain ones, hand-made planes and headers.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>

#include "coder/ZALcoder.h"
#include "coder/ZALextension.h"
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
  ZALFinFlujo end;
  float at(int x, int y) const { return plane[size_t(y) * (width + 3) + x]; }
};
Decoded Decode(const std::string& path) {
  Decoded d;
  float* p = &d.quant;  // must be replaced (null on error)
  d.code = ZALDecodificador(&d.rplanes, &d.levels, &d.quant, &d.width, &d.height, &p, path.c_str(), 3, &d.end);
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
  // A whole stream: the decoder consumes 6 to 13 bits past its last byte, and never takes it for a cut one.
  const int64_t past = d.end.bits - 8 * d.end.bytes;
  EXPECT_TRUE(!d.end.truncado && past >= 6 && past <= 13) << past;
  // Bytes after the encoder's flush, an extension (a true size one less each way) or any others, decode to
  // the same values, and the stream is found to end at the same bit; the extension is read there.
  const Bytes file = ReadFile(zal);
  for (const bool extension : {true, false}) {
    Bytes longer = file;
    extension ? ZALAnadeExtension(longer, d.width - 1, d.height - 1) : longer.resize(file.size() + 14);
    zaltest::WriteFile(zal, longer);
    const Decoded e = Decode(zal);
    EXPECT_TRUE(e.code == 0 && SameBits(e.plane, d.plane) && e.end.bits == d.end.bits && e.end.extension == extension &&
                e.end.ancho == d.width - extension && e.end.alto == d.height - extension) << e.code;
  }
  EXPECT_EQ(TransformaWaveletInversa(d.levels, d.width, d.height, d.plane.data(), 3), 0);
  EXPECT_EQ(GuardaPGM(pgm.c_str(), d.width, d.height, d.plane.data(), 3), 0);
  return {file, ReadFile(pgm)};
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

// The plain paths' code, file, labels, size-only size and decoded plane (also of the file damaged or cut
// two thirds in) against those of every labelling kernel set the processor runs. A cut file decodes to what
// was read before its end: every cell is the whole file's, or 0.
void Compare(const Plane& coef, float q, int rplanes, int levels) {
  struct { int code; Bytes file; std::vector<float> labels, decoded, damaged, cut; int64_t size = -1; } o[2];
  for (int simd : {-2, 0, 1, 2}) {
    if (simd >= 0 && ZALSimd(simd) != simd) continue;
    SetPlain(simd == -2);
    zaltest::TempDir dir;
    Plane p = coef, s = coef;
    auto& r = o[simd >= 0];
    r = {Encode(p, rplanes, levels, q, dir.File("x.zal")), ReadFile(dir.File("x.zal")), p.cells, {}, {}, {}};
    ZALCodificadorTamano(SC(rplanes), SC(levels), q, s.width, s.height, s.data(), 3, &r.size);
    if (r.code == 0) r.decoded = Decode(dir.File("x.zal")).plane;
    Decoded cut;
    if (r.code == 0) zaltest::WriteFile(dir.File("x.zal"), Bytes(r.file.begin(), r.file.begin() + r.file.size() * 2 / 3));
    if (r.code == 0) cut = Decode(dir.File("x.zal")), r.cut = cut.plane;
    bool kept = cut.end.truncado;
    for (size_t i = 0; i < r.cut.size(); ++i) kept &= r.cut[i] == 0 || r.cut[i] == r.decoded[i];
    EXPECT_TRUE(r.code || kept) << simd;
    if (r.code == 0) r.file[r.file.size() * 2 / 3] ^= 0x5A, zaltest::WriteFile(dir.File("x.zal"), r.file);
    if (r.code == 0) r.damaged = Decode(dir.File("x.zal")).plane;
    SetPlain(false);
    EXPECT_TRUE(simd < 0 || (r.code == o[0].code && r.file == o[0].file && r.size == o[0].size &&
                             SameBits(r.labels, o[0].labels) && SameBits(r.decoded, o[0].decoded) &&
                             SameBits(r.damaged, o[0].damaged) && SameBits(r.cut, o[0].cut)))
        << coef.width << "x" << coef.height << " q " << q << " r " << rplanes << " l " << levels << " kernels " << simd;
  }
  ZALSimd(-1);
}

int OpenFiles() {
  return int(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator()));
}

}  // namespace

// One data-driven check of the reference vectors (tests/data, and the full set when the shared folder
// is there) and of the golden hashes of generated images.
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
      const std::string key = std::string(name) + "_" + p.name;
      const std::string got = zaltest::Sha256Hex(zal) + " " + zaltest::Sha256Hex(pgm);
      table += key + " " + got + "\n";
      right += want[key] == got;
    }
  EXPECT_EQ(right, 19) << "If the change is deliberate, tests/data/coder_golden.txt becomes:\n" << table;
}

// Transformed images (oblong ones large enough for the labelling, walking and decoding helper threads,
// whose shares depend on each side): fast and plain paths alike.
TEST(Coder, FastPathsMatchPlainPaths) {
  Compare(Transformed(zaltest::TexturedImage(2048, 512, 9), 6), 0.7f, 2, 6);
  Compare(Transformed(zaltest::TexturedImage(512, 2048, 10), 3), 1.5f, 3, 3);
  Compare(Transformed(zaltest::SmoothImage(96, 160, 5), 4), 0.05f, 12, 4);  // fine: many raw bits
  Compare(Transformed(zaltest::NoisyImage(16, 16, 6), 3), 1.0f, 2, 3);      // groups of 2, 4 and 8 cells
}

// The size-only and in-memory encoders give the file's size and bytes and its labels, with helper
// threads or without; past a limit they may stop early, but "above the limit" is answered exactly.
// (Calls on several threads at once: the library's tests.)
TEST(Coder, SizeOnlyAndInMemoryEncoders) {
  zaltest::TempDir dir;
  const Plane image = Transformed(zaltest::TexturedImage(1024, 1024, 8), 5);
  Plane a = image;
  ASSERT_EQ(Encode(a, 2, 4, 0.6f, dir.File("f.zal")), 0);
  const Bytes file = ReadFile(dir.File("f.zal"));
  const int64_t total = int64_t(file.size());
  for (const int64_t limit : {int64_t(-1), int64_t(0), total - 1, total})
    for (const bool oneThread : {false, true}) {
      Plane b = image, c = image;
      Bytes stream = {1, 2, 3};
      int64_t size = -7, bytes = -7;
      EXPECT_EQ(ZALCodificadorTamano(2, 4, 0.6f, b.width, b.height, b.data(), 3, &size, limit, oneThread), 0);
      EXPECT_EQ(ZALCodificadorMemoria(2, 4, 0.6f, c.width, c.height, c.data(), 3, &bytes, &stream, limit, oneThread),
                0);
      EXPECT_TRUE((size > limit) == (total > limit) && (bytes > limit) == (total > limit)) << "limit " << limit;
      EXPECT_TRUE((limit >= 0 && limit < total) || (size == total && bytes == total && stream == file &&
                                                    SameBits(b.cells, a.cells) && SameBits(c.cells, a.cells)));
    }
  EXPECT_EQ(ZALCodificadorMemoria(2, 4, 0.6f, 64, 64, a.data(), 3, nullptr, nullptr), kZALNoEscribe);
}

// Refusals the library's tests do not reach come before the file is created and, but for 10, leave
// the plane as it was.
TEST(Coder, RefusalsComeBeforeTheFile) {
  zaltest::TempDir dir;
  const Plane image = zaltest::TexturedImage(64, 64, 1);
  const struct { int rplanes, h, border; float q; int code; } cases[] = {
      {1, 64, 3, 1, kZALRplanes},         {2, 40, 3, 1, kZALLadoNoMultiplo},      {2, -16, 3, 1, kZALLadoFueraDeRango},
      {2, 64, -1, 1, kZALBordeIncorrecto}, {2, 64, 3, kInf, kZALQuantInvalido},   {2, 64, 3, -0.0f, kZALQuantInvalido},
      {2, 64, 3, -1e-45f, kZALQuantInvalido}, {2, 64, 3, 1e-45f, kZALQuantPequeno}};  // 1/(2 quant) overflows
  for (const auto& c : cases) {
    Plane p = image;
    EXPECT_EQ(ZALCodificador(SC(c.rplanes), 3, c.q, 64, c.h, p.data(), dir.File("x.zal").c_str(), SC(c.border)), c.code)
        << c.rplanes << " " << c.h << " " << c.border << " " << c.q;
    EXPECT_TRUE(c.code == kZALQuantPequeno || p.cells == image.cells);
  }
  EXPECT_FALSE(zaltest::FileExists(dir.File("x.zal")));
  EXPECT_EQ(ZALCodificador(2, 3, 1.0f, 64, 64, nullptr, dir.File("x.zal").c_str(), 3), kZALSinImagen);
}

// Hand-made planes. With nothing significant but no empty level-1 group, s_0 (5 bits at bit 67) stays
// 1. The largest alphabets that fit code, one more is refused, as are huge coefficients; NaN is zero.
TEST(Coder, HandMadePlanes) {
  zaltest::TempDir dir;
  const std::string out = dir.File("d.zal");
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

// Files the encoder did not write end in an error or some image, never in a crash or a file left open:
// headers outside the encoder's ranges and impossible symbols are refused. (Cut and flipped files: the
// fast and plain decoders' comparison, the library's cut streams and the fuzz replays.)
TEST(Coder, DamagedFiles) {
  zaltest::TempDir dir;
  const std::string f = dir.File("h.zal");
  const int before = OpenFiles();
  const std::vector<int> s2(4, 2), s1 = {2, 1, 1, 1};
  const struct { int w, h, capas; std::vector<int> s, ll; int code; } cases[] = {
      {16, 16, 13, s2, {}, 12}, {16, 16, 2, {2, 2, 2}, {}, 12}, {1024, 1024, 2, std::vector(11, 2), {}, 12},
      {0, 16, 2, s2, {}, 12},   {16, 0, 2, s2, {}, 12},   {24, 16, 2, s2, {}, 12},        {16, 8, 2, s2, {}, 12},
      {16, 16, 2, {2, 20, 2, 2}, {}, 12}, {16, 16, 2, {2, 0, 2, 2}, {}, 12}, {16, 16, 2, {2, 2, 2, 0}, {}, 12},
      {16, 16, 2, {31, 2, 2, 2}, {}, 12}, {16, 16, 12, {2, 2, 2, 21}, {}, 12},  // the flag G would overflow a cell
      {16, 16, 2, {30, 19, 19, 30}, {1, 1, 1, 1, 1, 1, 1}, 0},                // the largest legal header
      {16, 16, 2, {3, 1, 1, 1}, {2}, 13}, {16, 16, 2, {3, 1, 1, 1}, {1, 2, 2}, 13},  // a marker for TL; after a marker
      {16, 16, 2, s1, {1, 1, 1, 1, 1, 1, 1}, 13},  // level 1 without symbols (LL: the library's tests)
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
  EXPECT_EQ(OpenFiles(), before);
  // A source whose read fails past its first block (a device error; files failing from the first byte: the
  // programs' tests) is the input error, not an early end.
  struct Rota final : FuenteBytes {  // fails once its bytes are out
    Bytes b;
    size_t at = 0;
    size_t Lee(uint8_t* d, size_t n) override { return n = std::min(n, b.size() - at), std::memcpy(d, b.data() + at, n), at += n, n; }
    bool Fallida() const override { return at == b.size(); }
  } rota;
  Plane noise = Transformed(zaltest::NoisyImage(512, 256, 2), 3);
  ASSERT_EQ(ZALCodificadorMemoria(2, 3, 0.25f, 512, 256, noise.data(), 3, nullptr, &rota.b), 0);
  ASSERT_GT(rota.b.size(), size_t(1) << 16);
  rota.b.resize(size_t(1) << 16);
  Decoded d;
  EXPECT_EQ(ZALDecodificadorFuente(&d.rplanes, &d.levels, &d.quant, &d.width, &d.height, &p, &rota, 3), kZALNoLee);
  EXPECT_EQ(p, nullptr);
}

// The extension's CRC on the usual check value, whole and in two pieces, and each verdict of its
// reading, found in the order magic, length, CRC, flags, size (a 128 x 64 stream at 5 levels: a true
// side at most 63 below the coded one).
TEST(Coder, ExtensionCrcAndFaults) {
  const uint8_t* digits = reinterpret_cast<const uint8_t*>("123456789");
  EXPECT_EQ(ZALCrc32(0, digits, 9), 0xCBF43926u);
  EXPECT_EQ(ZALCrc32(ZALCrc32(0, digits, 4), digits + 4, 5), 0xCBF43926u);
  const Bytes stream = {0x02, 0x00, 0x40, 0x3F, 0x80, 0x00, 0x09};
  const uint32_t crc = ZALCrc32(0, stream.data(), stream.size());
  // An extension for w x h with these flags, its CRC made right; then byte `flip` xor 0x10, cut to `keep`.
  auto ext = [&](int w, int h, int flags = 0, int flip = -1, size_t keep = 14) {
    auto e = ZALConstruyeExtension(crc, w, h);
    e[9] = uint8_t(flags);
    const uint32_t c = ZALCrc32(crc, e.data(), 10);
    for (int k = 0; k < 4; ++k) e[10 + k] = uint8_t(c >> (24 - 8 * k));
    if (flip >= 0) e[flip] ^= 0x10;
    return Bytes(e.begin(), e.begin() + keep);
  };
  Bytes trailing = ext(100, 60);
  trailing.insert(trailing.end(), {'a', 'b'});
  const struct { Bytes rest; int verdict, w = 0, h = 0; } cases[] = {
      {ext(100, 60), kExtValida, 100, 60}, {trailing, kExtValida, 100, 60}, {ext(65, 64), kExtValida, 65, 64},
      {{}, kExtAusente}, {{'P', 'Z', 'A', 'L'}, kExtAusente}, {{'Z', 'A'}, kExtCortada}, {ext(9, 9, 0, -1, 13), kExtCortada},
      {{'Z', 'A', 'Q', 'x'}, kExtMagia}, {ext(100, 60, 0, 3), kExtMagia}, {ext(100, 60, 0, 5), kExtCrc},
      {ext(100, 60, 0, 13), kExtCrc}, {ext(100, 60, 1), kExtFlags}, {ext(0, 60), kExtTamano},
      {ext(129, 60), kExtTamano}, {ext(64, 60), kExtTamano}, {ext(100, 0), kExtTamano}, {ext(100, 65), kExtTamano}};
  for (const auto& c : cases) {
    int w = 0, h = 0;
    EXPECT_EQ(ZALLeeExtension(crc, c.rest.data(), c.rest.size(), 128, 64, 5, &w, &h), c.verdict) << c.rest.size() << " bytes";
    EXPECT_TRUE(w == c.w && h == c.h) << w << "x" << h;
  }
  Bytes whole = stream;  // the appended bytes are those built on the stream's CRC
  ZALAnadeExtension(whole, 100, 60);
  EXPECT_EQ(Bytes(whole.begin() + 7, whole.end()), ext(100, 60));
}
