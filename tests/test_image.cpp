// Image files and samples: PGM / RAW / BMP reading and writing, rounding, error texts and the
// quality measure; then the fuzz targets' past failures, seed corpora and damaged files replayed.
#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <limits>
#include <memory>
#include <tuple>

#include "fuzz/targets.h"
#include "support/support.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using zaltest::ReadFile;
using zaltest::WriteFile;
constexpr signed char kGap = 3;

// A load; `touched` tells whether the output pointer was written.
template <typename T>
struct Loaded {
  int err = -1, width = 0, height = 0;
  bool touched = false;
  std::unique_ptr<T, decltype(&std::free)> plane{nullptr, &std::free};
  T at(int x, int y) const { return plane.get()[size_t(y) * (width + kGap) + x]; }
};
template <typename T>
Loaded<T> Load(const std::string& name, int width = 0, int height = 0, int options = 0) {
  static T sentinel;
  Loaded<T> r;
  r.width = width;
  r.height = height;
  T* p = &sentinel;
  r.err = CargaImagenLuminancia(name.c_str(), &r.width, &r.height, &p, kGap, options);
  r.touched = p != &sentinel;
  if (r.touched) r.plane.reset(p);
  return r;
}
std::string Text(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

TEST(Image, TypeFromTheName) {
  const std::pair<const char*, int> cases[] = {
      {"a.PGM", 2}, {"a.Pgm", 2}, {"a.pgmx", 2}, {"a.pgm.bmp", 4}, {"a.dat", 3}, {"a.BIN", 3}, {"a.raw", 3},
      {"a/b.bmp", 4}, {"a.Png", 5}, {".pgm", 1}, {"a", 1}, {"a.pg", 0}, {"a.tif", 0}, {"a.", 0}, {"o.dir/a", 0}, {"", 1}};
  for (const auto& [name, type] : cases) EXPECT_EQ(DeterminaTipo(name), type) << name;
  zaltest::TempDir dir;  // saves: ZALdecod's cases
  WriteFile(dir.File("a"), "P5 1 1 255 x"s);
  EXPECT_EQ(Load<float>(dir.File("a")).err, 9);
  EXPECT_EQ(Load<int>(dir.File("a.tif")).err, 10);
}

const char kOwnHeader[] = "P5\n#Imagen recuperada de ZAL\n3 2\n255\n";

TEST(Image, PgmWrittenBytesAndShortFiles) {
  zaltest::TempDir dir;
  // Rows of 3 + gap; spare samples hold values no writer may emit.
  std::vector<float> fplane = {12.4f, 12.5f, -3.0f, 77, 77, 77, 254.6f, 300.0f, 0.0f, 77, 77, 77};
  std::vector<int> iplane = {12, 256, -1, 77, 77, 77, 255, 0, 128, 77, 77, 77};
  const std::string f = dir.File("f.pgm"), i = dir.File("i.pgm");
  ASSERT_EQ(GuardaImagenLuminancia(f.c_str(), 3, 2, fplane.data(), kGap), 0);
  ASSERT_EQ(GuardaImagenLuminancia(i.c_str(), 3, 2, iplane.data(), kGap), 0);
  EXPECT_EQ(Text(ReadFile(f)), kOwnHeader + "\x0c\x0d\x00\xff\xff\x00"s);
  EXPECT_EQ(Text(ReadFile(i)), kOwnHeader + "\x0c\x00\xff\xff\x00\x80"s);
  WriteFile(f, kOwnHeader + "\x05\x06\x07\x08"s);  // missing samples read as -1
  const auto lf = Load<float>(f);
  ASSERT_EQ(lf.err, 0);
  EXPECT_EQ(std::pair(lf.at(0, 1), lf.at(1, 1)), std::pair(8.0f, -1.0f));
  EXPECT_EQ(std::pair(Load<int>(f).at(0, 1), Load<int>(f).at(2, 1)), std::pair(8, -1));
}

TEST(Image, PgmHeaders) {
  struct Case {
    std::string text;
    int err, width = 0, height = 0, first = 0;  // first: the first sample, when it loads
  };
  const std::string zeros73(73, '0'), mib = std::string((1 << 20) - 13, 'x');
  const Case cases[] = {
      {"P5\n#" + mib + "\n3 2 255\nA", 0, 3, 2, 'A'}, {"P5\n#x" + mib + "\n3 2 255\nA", 6},  // 1 MiB to the end of 255
      {"P5" + std::string(1 << 20, '\n'), 6},
      {"P5\n# made elsewhere\n512 512\n255\nA", 0, 512, 512, 'A'}, {"P5 3 2 255 A", 0, 3, 2, 'A'},
      {"P5x\n3\n2\n255\tA", 0, 3, 2, 'A'}, {"P5\n3 2\n255\r\nA", 0, 3, 2, '\n'},  // CR ends the field, LF is a sample
      {"P5\n#a\n#b\n  " + std::string(100000, '#') + "\n3 #c\n 2\n#d\n255\nA", 0, 3, 2, 'A'},
      {"P5\n3 2\n255 #A", 0, 3, 2, '#'}, {"P5\n+3 2abc\n255\nA", 0, 3, 2, 'A'},  // after the maximum value: data
      {"P5\n" + zeros73 + "3 2\n255\nA", 0, 3, 2, 'A'}, {"P5\n65535 1\n255\nA", 0, 65535, 1, 'A'},  // 74 characters
      {"P6\n3 2\n255\nA", 6}, {"Q5\n3 2\n255\nA", 6}, {"P\n3 2\n255\nA", 6}, {"", 6},
      {"P5\n" + zeros73 + "03 2\n255\nA", 6},  // 75
      {"P2\n3 2\n255\n1 2 3", 7}, {"P2\n3 2\n100\n1 2 3", 3}, {"P5\n3 2\n65535\nA", 3}, {"P5\n3 2\n", 3},
      {"P5\n0 2\n255\nA", 12}, {"P5\n-3 2\n255\nA", 12}, {"P5\n2 -7\n255\nA", 12}, {"P5\n65536 1\n255\nA", 12},
      {"P5\n16385 16385\n255\nA", 12}, {"P5\n4294967297 2\n255\nA", 12},  // must not wrap to 1
  };
  zaltest::TempDir dir;
  const std::string name = dir.File("h.pgm");
  for (const Case& c : cases) {
    WriteFile(name, c.text);
    const auto f = Load<float>(name);
    const auto i = Load<int>(name);
    EXPECT_EQ(f.err, c.err) << c.text;
    EXPECT_EQ(i.err, c.err) << c.text;
    EXPECT_EQ(f.touched || i.touched, c.err == 0) << c.text;
    if (c.err != 0) continue;
    EXPECT_EQ(std::pair(f.width, f.height), std::pair(c.width, c.height)) << c.text;
    EXPECT_EQ(f.at(0, 0), float(c.first)) << c.text;
    EXPECT_EQ(i.at(0, 0), c.first) << c.text;
  }
}

TEST(Image, RawAndItsDimensionFile) {
  zaltest::TempDir dir;
  if (dir.path.find('.') != std::string::npos) GTEST_SKIP() << "the temporary folder's name has a dot";
  fs::create_directory(dir.File("sub"));
  WriteFile(dir.File("photo.txt"), "ancho: 1\nalto: 2\n"s);
  WriteFile(dir.File("sub/photo.txt"), "ancho: 3\nalto: 4\n"s);
  WriteFile(dir.File("sub/.txt"), "ancho: 5\nalto: 6\n"s);
  // The name is cut at its first dot, wherever it is.
  for (const auto& [name, width] : {std::pair{"photo.raw", 1}, {"photo.old.raw", 1}, {"photo", 1},
                                    {"sub/photo.bin", 3}, {"sub/../photo.raw", 5}}) {
    int w = 0, h = 0;
    EXPECT_EQ(CargaRawDimensiones(dir.File(name).c_str(), &w, &h), 0) << name;
    EXPECT_EQ(w, width) << name;
  }
  const std::tuple<std::string, int, int, int> cases[] = {  // text, status, the caller's width and height after
      {"ancho:640\nalto: 480\n", 0, 640, 480}, {"ancho: \t 640 pixels\nalto:480", 0, 640, 480},
      {"ancho: 640 " + std::string(500, 'x') + "\nalto: +48 rows\r\n", 0, 640, 48},
      {"ancho: 4294967297\nalto: -4294967297\n", 0, INT_MAX, INT_MIN},
      {"Ancho: 640\nalto: 480\n", 8, -9, -9}, {"ancho 640\nalto: 480\n", 8, -9, -9},
      {"ancho: x640\nalto: 480\n", 8, -9, -9}, {"ancho:\n640\nalto: 480\n", 8, -9, -9},
      {"ancho: 640\nAlto: 480\n", 8, 640, -9}, {"ancho: 640\n", 8, 640, -9}, {"", 8, -9, -9},
      {"ancho: 640" + std::string((1 << 20) - 11, ' ') + "\nalto: 480\n", 0, 640, 480},  // lines of 1 MiB at most
      {"ancho: 640" + std::string((1 << 20) - 10, ' ') + "\nalto: 480\n", 8, 640, -9},
      {"ancho: 640\nalto: 480" + std::string(1 << 20, ' '), 8, 640, 480},
  };
  for (const auto& [text, err, width, height] : cases) {
    WriteFile(dir.File("p.txt"), text);
    int w = -9, h = -9;
    EXPECT_EQ(CargaRawDimensiones(dir.File("p.raw").c_str(), &w, &h), err) << text;
    EXPECT_EQ(std::pair(w, h), std::pair(width, height)) << text;
  }
  // A read that fails (a directory: EISDIR; /proc/self/mem: EIO) is no end of the file; a plane read in part is freed.
  for (const std::string target : {".", "/proc/self/mem"}) {
    fs::remove(dir.File("p.txt")), fs::remove(dir.File("p.raw"));
    fs::create_symlink(target, dir.File("p.txt")), fs::create_symlink(target, dir.File("p.raw"));
    const auto r = Load<int>(dir.File("p.raw"), 4, 3);
    int w = 0;
    EXPECT_TRUE(CargaRawDimensiones(dir.File("p.raw").c_str(), &w, &w) == 4 && r.err == 4 && r.touched && !r.plane) << target;
  }
  // Saved bare (as ZALdecod's case pins); loaded at the caller's size, else the dimension file's.
  const std::string name = dir.File("img.raw");
  std::vector<int> plane(3 * (4 + kGap), 99);
  for (int k = 0; k < 12; ++k) plane[size_t(k / 4) * (4 + kGap) + k % 4] = 10 + k;
  ASSERT_EQ(GuardaImagenLuminancia(name.c_str(), 4, 3, plane.data(), kGap), 0);
  EXPECT_EQ(Load<float>(name).err, 4);
  WriteFile(dir.File("img.txt"), "ancho: 4\nalto: 3\n"s);
  const auto fromFile = Load<float>(name, 4, 0);
  ASSERT_EQ(fromFile.err, 0);
  EXPECT_EQ(std::pair(fromFile.height, fromFile.at(3, 2)), std::pair(3, 21.0f));
  const auto given = Load<int>(name, 2, 7);  // bytes past the end read as -1
  ASSERT_EQ(given.err, 0);
  EXPECT_EQ(std::pair(given.at(1, 1), given.at(0, 6)), std::pair(13, -1));
  for (const auto& [w, h] : {std::pair{-5, 3}, {70000, 1}, {3, 65536}, {20000, 20000}}) {
    const auto r = Load<float>(name, w, h);
    EXPECT_EQ(r.err, 12) << w << "x" << h;
    EXPECT_FALSE(r.touched);
  }
  float* untouched = nullptr;
  EXPECT_EQ(CargaRawLuminancia(name.c_str(), 4, 3, &untouched, -1), 12);  // rows would overlap
  WriteFile(dir.File("img.txt"), "ancho: 0\nalto: 3\n"s);
  EXPECT_EQ(Load<int>(name).err, 12);
  // A field or a line that never ends is refused after a bounded read.
  if (!fs::exists("/dev/zero")) GTEST_SKIP() << "no /dev/zero";
  fs::create_symlink("/dev/zero", dir.File("zero.pgm"));
  fs::create_symlink("/dev/zero", dir.File("zero.txt"));
  WriteFile(dir.File("zero.raw"), "abcd"s);
  EXPECT_EQ(Load<float>(dir.File("zero.pgm")).err, 6);
  EXPECT_EQ(Load<float>(dir.File("zero.raw")).err, 8);
}

// A BMP with chosen header fields; its palette inverted by default, so that a reader applying it shows.
std::string MakeBmp(int32_t width, int32_t height, const std::string& pixels, uint32_t offset = 1078,
                    uint32_t info = 40, uint16_t bits = 8, uint32_t compression = 0, bool inverted = true) {
  std::string b(1078, '\0');
  auto put = [&b](size_t at, uint32_t v, int n) {
    for (int k = 0; k < n; ++k) b[at + k] = char(v >> (8 * k));
  };
  b[0] = 'B', b[1] = 'M';
  put(2, uint32_t(1078 + pixels.size()), 4), put(10, offset, 4), put(14, info, 4), put(18, uint32_t(width), 4);
  put(22, uint32_t(height), 4), put(26, 1, 2), put(28, bits, 2), put(30, compression, 4);
  put(38, 3780, 4), put(42, 3780, 4);  // pixels a metre
  for (int k = 0; k < 256; ++k) put(54 + 4 * size_t(k), (inverted ? 255 - k : k) * 0x010101u, 4);
  return b + pixels;
}

// Bottom-up rows, each padded with zeros to a multiple of 4 bytes.
TEST(Image, BmpWritten) {
  zaltest::TempDir dir;
  for (int width = 4; width <= 7; ++width) {
    const int row = (width + 3) / 4 * 4;
    std::vector<float> plane(size_t(2) * (width + kGap), 500.0f);
    std::string rows(size_t(2) * row, '\0');
    for (int x = 0; x < width; ++x) {
      plane[x] = float(x), plane[width + kGap + x] = 100.0f;
      rows[x] = 100, rows[row + x] = char(x);
    }
    ASSERT_EQ(GuardaImagenLuminancia(dir.File("w.bmp").c_str(), width, 2, plane.data(), kGap), 0);
    EXPECT_EQ(Text(ReadFile(dir.File("w.bmp"))), MakeBmp(width, 2, rows, 1078, 40, 8, 0, false)) << width;
  }
}

TEST(Image, BmpRead) {
  zaltest::TempDir dir;
  const std::string name = dir.File("t.bmp");
  WriteFile(name, MakeBmp(2, -3, "\x01\x02\0\0\x03\x04\0\0\x05\x06\0\0"s));  // top-down
  const auto f = Load<float>(name);
  ASSERT_EQ(f.err, 0);
  EXPECT_EQ(std::vector({float(f.height), f.at(0, 0), f.at(1, 2)}), std::vector({3.0f, 1.0f, 6.0f}));
  WriteFile(name, MakeBmp(2, 3, "\x01\x02\0\0\x03\x04\0\0\x05"s));  // bottom-up, ends early
  const auto i = Load<int>(name);
  ASSERT_EQ(i.err, 0);
  EXPECT_EQ(std::vector({i.at(0, 2), i.at(0, 0), i.at(1, 0)}), std::vector({1, 5, -1}));
  const std::string px(64, '\x10');
  const std::pair<std::string, int> refused[] = {
      {"MB" + MakeBmp(2, 2, px).substr(2), 1}, {MakeBmp(2, 2, px, 54, 40, 24), 2},
      {MakeBmp(2, 2, px, 1078 - 4 * 16), 2}, {MakeBmp(2, 2, px, 1078, 12), 2},
      {MakeBmp(2, 2, px, 1078, 40, 8, 1), 3}, {MakeBmp(2, 2, px, 1078, 40, 24), 3},
      {MakeBmp(0, 2, px), 12}, {MakeBmp(-2, 2, px), 12}, {MakeBmp(2, 0, px), 12}, {MakeBmp(2, INT_MIN, px), 12},
      {MakeBmp(70000, 1, px), 12}, {MakeBmp(INT_MAX, INT_MAX, px), 12}, {MakeBmp(2, 2, px).substr(0, 1), 1},
      {MakeBmp(2, 2, px).substr(0, 13), 2}, {MakeBmp(2, 2, px).substr(0, 16), 2},
      {MakeBmp(2, 2, px).substr(0, 20), 3}, {MakeBmp(2, 2, px).substr(0, 33), 3}};
  for (const auto& [bytes, err] : refused) {
    WriteFile(name, bytes);
    const auto r = Load<float>(name);
    EXPECT_EQ(r.err, err) << bytes.size();
    EXPECT_FALSE(r.touched);
  }
  WriteFile(name, MakeBmp(2, 2, px).substr(0, 34));  // ends after the compression field: -1s
  EXPECT_EQ(Load<int>(name).at(1, 1), -1);
}

// 3 x 2 PNG images of every kind and what ZAL reads of them: bit depths, palettes, interlacing, refusals.
TEST(Image, Png) {
  struct Case {
    int depth, type, interlaced, err;
    std::vector<uint8_t> rows, plte = {};
    std::vector<int> want = {};
    bool trns = false;
  };
  const std::vector<uint8_t> grey = {10, 20, 30, 40, 50, 60}, idx = {0, 1, 2, 2, 1, 0}, seven(36, 7);
  const std::vector<uint8_t> plte = {9, 9, 9, 200, 200, 200, 0, 0, 0}, blue = {9, 9, 9, 200, 200, 200, 0, 0, 255};
  const std::vector<int> g(grey.begin(), grey.end());
  const Case cases[] = {
      {8, 0, 0, 0, grey, {}, g}, {8, 0, 1, 0, grey, {}, g}, {1, 0, 0, 0, {0xA0, 0x40}, {}, {255, 0, 255, 0, 255, 0}},
      {2, 0, 0, 0, {0xE4, 0x1B}, {}, {255, 170, 85, 0, 85, 170}},
      {4, 0, 0, 0, {0xF1, 0x20, 0x7E, 0x50}, {}, {255, 17, 34, 119, 238, 85}},
      {8, 3, 0, 0, idx, plte, {9, 200, 0, 0, 200, 9}}, {8, 3, 0, 14, idx, blue, {9, 200, 29, 29, 200, 9}},
      {8, 2, 0, 14, {255, 0, 0, 0, 255, 0, 0, 0, 255, 2, 0, 0, 1, 1, 1, 0, 0, 5}, {}, {76, 150, 29, 1, 1, 1}},
      {8, 0, 0, 16, grey, {}, {}, true}, {8, 3, 0, 16, idx, plte, {}, true}, {8, 4, 0, 16, {&seven[24], &seven[36]}},
      {8, 6, 0, 16, {&seven[12], &seven[36]}}, {16, 0, 0, 15, {&seven[24], &seven[36]}}, {16, 2, 0, 15, seven}};
  const zaltest::TempDir dir;
  const std::string name = dir.File("p.png");
  for (const Case& c : cases)
    for (const int options : {0, kCargaLuma}) {  // as luma, a colour image is read
      SCOPED_TRACE(testing::Message() << c.depth << "-bit type " << c.type << " " << c.interlaced << " " << options);
      zaltest::WritePng(name, 3, 2, c.depth, c.type, c.interlaced, c.rows, c.plte, c.trns);
      const auto r = Load<int>(name, 0, 0, options);  // the twins' agreement is the fuzz target's to check
      const int err = options && c.err == 14 ? 0 : c.err;
      EXPECT_EQ(std::pair(r.err, r.plane != nullptr), std::pair(err, !err));
      for (int k = 0; err == 0 && k < 6; ++k) EXPECT_EQ(r.at(k % 3, k / 3), c.want[k]) << k;
    }
  std::vector<uint8_t> noise(70000);
  zaltest::Rng rng(15);
  for (uint8_t& v : noise) v = uint8_t(rng.Below(256));
  for (const auto& [w, h, cut, err] : {std::tuple{70000, 1, 0, 12}, {280, 250, 9000, 4}}) {  // too wide; cut short
    zaltest::WritePng(name, w, h, 8, 0, false, noise, {}, false, size_t(cut));
    EXPECT_EQ(std::pair(Load<float>(name).err, Load<float>(name).plane == nullptr), std::pair(err, true));
  }
}

// Saves onto a full device fail, inside the stream's buffer and past it.
TEST(Image, FailedSaves) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  zaltest::TempDir dir;
  const std::vector<float> fplane(size_t(300) * (300 + kGap), 5.0f);
  const std::vector<int> iplane(fplane.size(), 5);
  for (const char* ext : {"pgm", "bmp", "raw", "png"}) {
    const std::string link = dir.File("out."s + ext);
    fs::create_symlink("/dev/full", link);
    for (int side : {2, 300}) {
      EXPECT_EQ(GuardaImagenLuminancia(link.c_str(), side, side, fplane.data(), kGap), 5) << ext << side;
      EXPECT_EQ(GuardaImagenLuminancia(link.c_str(), side, side, iplane.data(), kGap), 5) << ext << side;
    }
  }
}

// Every saved byte is redondeaSaturaByte of its sample, wherever in a row the awkward values fall.
TEST(Image, Rounding) {
  const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  const std::pair<float, int> cases[] = {{-0.3f, 0}, {std::nextafter(0.5f, 0.0f), 0}, {0.5f, 1}, {127.5f, 128},
                                         {std::nextafter(254.5f, 0.0f), 254}, {254.5f, 255}, {1000.0f, 255},
                                         {-inf, 0}, {inf, 255}, {nan, 0}};
  for (const auto& [v, want] : cases) EXPECT_EQ(redondeaSaturaByte(v), want) << v;
  const float odd[] = {-0.0f, std::nextafter(0.5f, 0.0f), 0.5f, 1.5f, 2.5f, std::nextafter(254.5f, 0.0f), 254.5f,
                       std::nextafter(255.5f, 0.0f), 255.5f, 256.0f, -1e30f, 1e30f, inf, -inf, nan, 127.49999f};
  zaltest::Rng rng(21);
  zaltest::TempDir dir;
  for (int width : {1, 3, 4, 7, 37}) {
    std::vector<float> plane(size_t(5) * (width + 3), 7.0f);
    std::string want;
    for (int y = 0; y < 5; ++y)
      for (int x = 0; x < width; ++x) {
        const float v = rng.Below(3) == 0 ? odd[rng.Below(std::size(odd))] : float(rng.Below(300000)) / 1000 - 20;
        plane[size_t(y) * (width + 3) + x] = v;
        want += char(redondeaSaturaByte(v));
      }
    ASSERT_EQ(GuardaPGM(dir.File("r.pgm").c_str(), width, 5, plane.data(), 3), 0);
    const std::string file = Text(ReadFile(dir.File("r.pgm")));
    EXPECT_EQ(file.substr(file.size() - want.size()), want) << "width " << width;
  }
}

TEST(Image, PlaneConversionKeepsSpareSamples) {
  std::vector<float> in = {-4.0f, 0.49f, 127.5f, 9.0f, 300.0f, 254.5f, 17.0f, 9.0f};  // 3 x 2, gap 1
  std::vector<int> out(8, -7);
  Buffer_ftoi(3, 2, in.data(), out.data(), 1);
  EXPECT_EQ(out, (std::vector<int>{0, 0, 128, -7, 255, 255, 17, -7}));
  Buffer_ftoi(3, 2, in.data(), nullptr, 1);  // in place, then back
  Buffer_itof(3, 2, reinterpret_cast<int*>(in.data()), nullptr, 1);
  EXPECT_EQ(in, (std::vector<float>{0, 0, 128, 9, 255, 255, 17, 9}));
  Buffer_itof(3, 2, out.data(), in.data(), 1);
  EXPECT_EQ(in[3], 9.0f);
}

// The texts of codes the programs' outputs do not show; the pages' test holds the others.
TEST(Image, ErrorTextsAndQuality) {
  const std::pair<int, std::string> texts[] = {
      {-100, "Unknown error (error #0)"}, {0, "Unknown error (error #100)"}, {20, "Unknown error (error #120)"},
      {INT_MAX, "Unknown error (error #2147483747)"}, {1, "File format not supported (error #101)"},
      {7, "File format not supported (error #107)"}, {8, "Corrupt dimension file for raw format (error #108)"},
      {15, "16-bit samples not supported: ZAL takes 8-bit grey images (error #115)"},
      {16, "Image with transparency not supported: ZAL takes opaque 8-bit grey (error #116)"}};
  for (const auto& [code, text] : texts) {
    std::string buffer(128, 'x');
    ImagenCheckError(code, buffer.data());
    EXPECT_EQ(buffer.c_str(), text) << code;
  }
  // Differences 1 and 3: the running mean is 1, then 5. Spare samples differ wildly.
  const int a[] = {10, 20, 999}, b[] = {11, 17, -999}, zero[] = {0}, full[] = {255};
  EXPECT_EQ(CalculaMSELuminancia(2, 1, a, b, 1), 5.0f);
  EXPECT_NEAR(CalculaPSNRLuminancia(2, 1, b, a, 1), 41.14f, 0.005f);
  EXPECT_EQ(CalculaPSNRLuminancia(1, 1, zero, full, 0), 0.0f);
  const int c[] = {3, 4, 5, 6}, d[] = {3, 9, 5, 0};
  EXPECT_EQ(CalculaPSNRLuminancia(1, 2, c, d, 1), std::numeric_limits<float>::infinity());
  EXPECT_EQ(CalculaPSNRLuminancia(0, 0, c, d, 0), std::numeric_limits<float>::infinity());
}

using Target = std::string (*)(const uint8_t*, size_t);

std::string Feed(Target t, const std::string& b) { return t(reinterpret_cast<const uint8_t*>(b.data()), b.size()); }

TEST(Replays, RegressionInputsAndSeedCorpora) {
  const std::pair<const char*, Target> targets[] = {
      {"decoder", zalfuzz::Decodificador}, {"pgm", zalfuzz::CargadorPGM}, {"bmp", zalfuzz::CargadorBMP},
      {"raw", zalfuzz::CargadorRAW}, {"png", zalfuzz::CargadorPNG}, {"roundtrip", zalfuzz::IdaYVuelta}};
  const fs::path data = zaltest::TestDataDir();
  for (const auto& [name, target] : targets) {
    EXPECT_EQ(target(nullptr, 0), "") << name;
    for (int b = 0; b < 256; b += 17) EXPECT_EQ(Feed(target, std::string(1, char(b))), "") << name << " " << b;
    for (const fs::path& folder : {data / "regress" / name, data / ".." / ".." / "fuzz" / "corpus" / name}) {
      int replayed = 0;
      std::error_code ec;
      for (const auto& e : fs::directory_iterator(folder, ec)) {
        EXPECT_EQ(Feed(target, Text(ReadFile(e.path().string()))), "") << e.path();
        ++replayed;
      }
      EXPECT_GT(replayed, 0) << "nothing to replay in " << folder;
    }
  }
}

// Every loader on the bytes (as a RAW image, the first byte is the length of the dimension file after it).
void LoadEveryWay(const std::string& bytes) {
  for (Target target : {zalfuzz::CargadorPGM, zalfuzz::CargadorBMP, zalfuzz::CargadorRAW})
    EXPECT_EQ(Feed(target, bytes), "") << bytes.size() << " bytes";
}

TEST(Replays, DamagedImageFiles) {
  const std::string dimensions = "ancho: 7\nalto: 5\n";
  const std::string valid[] = {"P5\n#Imagen recuperada de ZAL\n7 5\n255\n" + std::string(35, '\x80'),
                               MakeBmp(6, 5, std::string(40, '\x80')),
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
}

}  // namespace
