// Image files: type detection, PGM, RAW with its dimension file, BMP, and
// saves that fail (a save cut short is removed: see test_robustness).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "image/ImagenLuminanciaES.h"
#include "support/support.h"

namespace {

using namespace std::string_literals;
using zaltest::ReadFile;
using zaltest::TempDir;
using zaltest::WriteFile;

constexpr signed char kGap = 3;

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

// Result of a load; `touched` tells whether the output pointer was written.
template <typename T>
struct Loaded {
  int err = -1, width = 0, height = 0;
  bool touched = false;
  std::unique_ptr<T, FreeDeleter> plane;
  T at(int x, int y) const { return plane.get()[size_t(y) * (width + kGap) + x]; }
};

template <typename T>
Loaded<T> Load(const std::string& name, int width = 0, int height = 0) {
  static T sentinel;
  Loaded<T> r;
  r.width = width;
  r.height = height;
  T* p = &sentinel;
  r.err = CargaImagenLuminancia(name.c_str(), &r.width, &r.height, &p, kGap);
  r.touched = p != &sentinel;
  if (r.touched) r.plane.reset(p);
  return r;
}

std::string Bytes(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

// ------------------------------------------------------------ type detection

TEST(ImageType, ExtensionTable) {
  const std::pair<const char*, int> cases[] = {
      {"photo.PGM", 2}, {"photo.Pgm", 2}, {"photo.pgm", 2},   {"photo.pgmx", 2}, {"photo.pgm.bmp", 4},
      {"photo.dat", 3}, {"photo.BIN", 3}, {"photo.raw", 3},   {"a/b.bmp", 4},    {".pgm", 1},
      {"photo", 1},     {"photo.pg", 0},  {"photo.tif", 0},   {"photo.", 0},     {"old.dir/photo", 0},
      {"../data/photo.raw", 3},           {"photo.p\xe7m", 0}, {"", 1}};
  for (const auto& [name, type] : cases) EXPECT_EQ(DeterminaTipo(name), type) << name;
}

TEST(ImageType, NoFileForUnknownOrMissingExtension) {
  TempDir dir;
  const std::vector<float> plane(4 * (2 + kGap), 1.0f);
  EXPECT_EQ(GuardaImagenLuminancia(dir.File("photo").c_str(), 2, 2, plane.data(), kGap), 9);
  EXPECT_EQ(GuardaImagenLuminancia(dir.File("photo.tif").c_str(), 2, 2, plane.data(), kGap), 10);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path));
  WriteFile(dir.File("photo"), std::string("P5 1 1 255 x"));
  EXPECT_EQ(Load<float>(dir.File("photo")).err, 9);
  EXPECT_EQ(Load<int>(dir.File("photo.tif")).err, 10);
}

// ----------------------------------------------------------------------- PGM

const char kOwnHeader[] = "P5\n#Imagen recuperada de ZAL\n3 2\n255\n";

TEST(ImagePgm, SavedFileHasExactBytesAndLoadsBack) {
  TempDir dir;
  // Row stride 3 + gap; spare samples hold values no writer may emit.
  std::vector<float> fplane = {12.4f, 12.5f, -3.0f, 77, 77, 77, 254.6f, 300.0f, 0.0f, 77, 77, 77};
  std::vector<int> iplane = {12, 256, -1, 77, 77, 77, 255, 0, 128, 77, 77, 77};
  const std::string f = dir.File("f.pgm"), i = dir.File("i.pgm");
  ASSERT_EQ(GuardaImagenLuminancia(f.c_str(), 3, 2, fplane.data(), kGap), 0);
  ASSERT_EQ(GuardaImagenLuminancia(i.c_str(), 3, 2, iplane.data(), kGap), 0);
  EXPECT_EQ(Bytes(ReadFile(f)), std::string(kOwnHeader) + "\x0c\x0d\x00\xff\xff\x00"s);
  EXPECT_EQ(Bytes(ReadFile(i)), std::string(kOwnHeader) + "\x0c\x00\xff\xff\x00\x80"s);

  const auto li = Load<int>(i);
  ASSERT_EQ(li.err, 0);
  EXPECT_EQ(li.width, 3);
  EXPECT_EQ(li.height, 2);
  EXPECT_EQ(li.at(2, 1), 128);
}

struct HeaderCase {
  std::string text;
  int err, width, height, first;  // first: the first sample, when it loads
};

TEST(ImagePgm, HeaderLayouts) {
  const std::string comment200 = std::string(200, '#') + "\n";
  const std::string zeros73 = std::string(73, '0');
  const HeaderCase cases[] = {
      {"P5\n# made elsewhere\n512 512\n255\nA", 0, 512, 512, 'A'},
      {"P5 3 2 255 A", 0, 3, 2, 'A'},
      {"P5\n3\n2\n255\nA", 0, 3, 2, 'A'},
      {"P5x\n3 2\n255\tA", 0, 3, 2, 'A'},
      {"P5\n3 2\n255\r\nA", 0, 3, 2, '\n'},  // CR ends the field, LF is a sample
      {"P5\n#a\n#b\n  " + comment200 + "3 #c\n 2\n#d\n255\nA", 0, 3, 2, 'A'},
      {"P5\n3 2\n255 #A", 0, 3, 2, '#'},  // after the maximum value it is data
      {"P5\n+3 2abc\n255\nA", 0, 3, 2, 'A'},
      {"P5\n" + zeros73 + "3 2\n255\nA", 0, 3, 2, 'A'},  // 74-character token
      {"P5\n65535 1\n255\nA", 0, 65535, 1, 'A'},
      {"P6\n3 2\n255\nA", 6, 0, 0, 0},
      {"Q5\n3 2\n255\nA", 6, 0, 0, 0},
      {"P\n3 2\n255\nA", 6, 0, 0, 0},
      {"", 6, 0, 0, 0},
      {"P2\n3 2\n255\n1 2 3", 7, 0, 0, 0},
      {"P2\n3 2\n100\n1 2 3", 3, 0, 0, 0},
      {"P5\n3 2\n65535\nA", 3, 0, 0, 0},
      {"P5\n3 2\n", 3, 0, 0, 0},
      {"P5\n" + zeros73 + "03 2\n255\nA", 6, 0, 0, 0},  // 75 characters
      {"P5\n0 2\n255\nA", 12, 0, 0, 0},
      {"P5\n-3 2\n255\nA", 12, 0, 0, 0},
      {"P5\n65536 1\n255\nA", 12, 0, 0, 0},
      {"P5\n16385 16385\n255\nA", 12, 0, 0, 0},
      {"P5\n4294967297 2\n255\nA", 12, 0, 0, 0},  // must not wrap to 1
  };
  TempDir dir;
  const std::string name = dir.File("h.pgm");
  for (const auto& c : cases) {
    WriteFile(name, c.text);
    const auto f = Load<float>(name);
    const auto i = Load<int>(name);
    EXPECT_EQ(f.err, c.err) << c.text;
    EXPECT_EQ(i.err, c.err) << c.text;
    if (c.err != 0) {
      EXPECT_FALSE(f.touched || i.touched) << c.text;
      continue;
    }
    EXPECT_EQ(f.width, c.width) << c.text;
    EXPECT_EQ(f.height, c.height) << c.text;
    EXPECT_EQ(f.at(0, 0), float(c.first)) << c.text;
    EXPECT_EQ(i.at(0, 0), c.first) << c.text;
  }
}

TEST(ImagePgm, TruncatedSamplesReadAsMinusOne) {
  TempDir dir;
  const std::string name = dir.File("t.pgm");
  WriteFile(name, std::string(kOwnHeader) + "\x05\x06\x07\x08");
  const auto f = Load<float>(name);
  const auto i = Load<int>(name);
  ASSERT_EQ(f.err, 0);
  ASSERT_EQ(i.err, 0);
  EXPECT_EQ(f.at(0, 1), 8.0f);
  EXPECT_EQ(f.at(1, 1), -1.0f);
  EXPECT_EQ(i.at(2, 1), -1);
  EXPECT_EQ(Load<float>(dir.File("missing.pgm")).err, 4);
}

// ----------------------------------------------------------------------- RAW

TEST(ImageRaw, DimensionFileBesideTheName) {
  TempDir dir;
  if (dir.path.find('.') != std::string::npos) GTEST_SKIP() << "temporary folder name has a dot";
  std::filesystem::create_directory(dir.File("sub"));
  WriteFile(dir.File("photo.txt"), std::string("ancho: 1\nalto: 2\n"));
  WriteFile(dir.File("sub/photo.txt"), std::string("ancho: 3\nalto: 4\n"));
  WriteFile(dir.File("sub/.txt"), std::string("ancho: 5\nalto: 6\n"));
  const std::pair<std::string, int> cases[] = {
      {"photo.raw", 1}, {"photo.old.raw", 1}, {"photo", 1}, {"sub/photo.bin", 3}, {"sub/../photo.raw", 5}};
  for (const auto& [name, width] : cases) {
    int w = 0, h = 0;
    EXPECT_EQ(CargaRawDimensiones(dir.File(name).c_str(), &w, &h), 0) << name;
    EXPECT_EQ(w, width) << name;
  }
  // Names longer than any fixed buffer.
  const std::string deep = dir.File(std::string(200, 'd'));
  std::filesystem::create_directory(deep);
  WriteFile(deep + "/" + std::string(150, 'n') + ".txt", std::string("ancho: 7\nalto: 8\n"));
  int w = 0, h = 0;
  EXPECT_EQ(CargaRawDimensiones((deep + "/" + std::string(150, 'n') + ".raw").c_str(), &w, &h), 0);
  EXPECT_EQ(h, 8);
}

TEST(ImageRaw, DimensionFilePatterns) {
  struct Case {
    std::string text;
    int err, width, height;  // width and height as the caller's variables end
  };
  const Case cases[] = {
      {"ancho:640\nalto: 480\n", 0, 640, 480},
      {"ancho: \t 640 pixels\nalto:480", 0, 640, 480},
      {"ancho: 640 " + std::string(500, 'x') + "\nalto: +48 rows\r\n", 0, 640, 48},
      {"ancho: 4294967297\nalto: -4294967297\n", 0, INT_MAX, INT_MIN},
      {"Ancho: 640\nalto: 480\n", 8, -9, -9},
      {"ancho 640\nalto: 480\n", 8, -9, -9},
      {"ancho: x640\nalto: 480\n", 8, -9, -9},
      {"ancho:\n640\nalto: 480\n", 8, -9, -9},
      {"ancho: 640\nAlto: 480\n", 8, 640, -9},  // the width is already replaced
      {"ancho: 640\n", 8, 640, -9},
      {"", 8, -9, -9},
  };
  TempDir dir;
  for (const auto& c : cases) {
    WriteFile(dir.File("p.txt"), c.text);
    int w = -9, h = -9;
    EXPECT_EQ(CargaRawDimensiones(dir.File("p.raw").c_str(), &w, &h), c.err) << c.text;
    EXPECT_EQ(w, c.width) << c.text;
    EXPECT_EQ(h, c.height) << c.text;
  }
  int w = 0, h = 0;
  EXPECT_EQ(CargaRawDimensiones(dir.File("none.raw").c_str(), &w, &h), 4);
}

TEST(ImageRaw, SizeFromCallerOrDimensionFile) {
  TempDir dir;
  const std::string name = dir.File("img.raw");
  std::vector<int> plane(3 * (4 + kGap), 99);
  for (int k = 0; k < 12; ++k) plane[size_t(k / 4) * (4 + kGap) + k % 4] = 10 + k;
  ASSERT_EQ(GuardaImagenLuminancia(name.c_str(), 4, 3, plane.data(), kGap), 0);
  EXPECT_EQ(ReadFile(name).size(), 12u);
  EXPECT_FALSE(zaltest::FileExists(dir.File("img.txt")));  // no dimension file is written

  EXPECT_EQ(Load<float>(name).err, 4);  // size 0 × 0 and no dimension file
  WriteFile(dir.File("img.txt"), std::string("ancho: 4\nalto: 3\n"));
  const auto fromFile = Load<float>(name, 4, 0);
  ASSERT_EQ(fromFile.err, 0);
  EXPECT_EQ(fromFile.height, 3);
  EXPECT_EQ(fromFile.at(3, 2), 21.0f);

  const auto given = Load<int>(name, 2, 7);  // the caller's size wins; bytes past the end are -1
  ASSERT_EQ(given.err, 0);
  EXPECT_EQ(given.at(1, 1), 13);
  EXPECT_EQ(given.at(0, 6), -1);

  for (const auto& [w, h] : {std::pair{-5, 3}, {70000, 1}, {3, 65536}, {20000, 20000}}) {
    const auto r = Load<float>(name, w, h);
    EXPECT_EQ(r.err, 12) << w << "x" << h;
    EXPECT_FALSE(r.touched);
  }
  float* untouched = nullptr;
  EXPECT_EQ(CargaRawLuminancia(name.c_str(), 4, 3, &untouched, -1), 12);  // rows would overlap
  EXPECT_EQ(untouched, nullptr);
  WriteFile(dir.File("img.txt"), std::string("ancho: 0\nalto: 3\n"));
  EXPECT_EQ(Load<int>(name).err, 12);
}

// ----------------------------------------------------------------------- BMP

uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}

TEST(ImageBmp, WrittenLayout) {
  TempDir dir;
  for (int width = 4; width <= 7; ++width) {
    const int height = 2, pad = (4 - width % 4) % 4;
    std::vector<float> plane(size_t(height) * (width + kGap), 500.0f);
    for (int x = 0; x < width; ++x) {
      plane[x] = float(x);                 // first row
      plane[(width + kGap) + x] = 100.0f;  // last row
    }
    const std::string name = dir.File("w.bmp");
    ASSERT_EQ(GuardaImagenLuminancia(name.c_str(), width, height, plane.data(), kGap), 0);
    const auto b = ReadFile(name);
    const size_t size = 1078 + size_t(height) * (width + pad);
    ASSERT_EQ(b.size(), size) << width;
    EXPECT_EQ(pad, std::vector<int>({0, 3, 2, 1})[width - 4]);
    EXPECT_EQ(Get32(b, 2), size);
    EXPECT_EQ(b[0], 'B');
    EXPECT_EQ(b[1], 'M');
    EXPECT_EQ(Get32(b, 10), 1078u);
    EXPECT_EQ(Get32(b, 14), 40u);
    EXPECT_EQ(Get32(b, 18), uint32_t(width));
    EXPECT_EQ(Get32(b, 22), uint32_t(height));
    EXPECT_EQ(Get32(b, 26), 1u | 8u << 16);  // planes, bits per pixel
    EXPECT_EQ(Get32(b, 30), 0u);
    EXPECT_EQ(Get32(b, 38), 3780u);
    EXPECT_EQ(Get32(b, 42), 3780u);
    EXPECT_EQ(Get32(b, 54 + 4 * 200), 200u * 0x010101u);
    // Bottom-up: the last plane row is stored first, then zero pads.
    EXPECT_EQ(b[1078], 100);
    EXPECT_EQ(b[1078 + width + pad + width - 1], width - 1);
    for (int k = 0; k < pad; ++k) EXPECT_EQ(b[1078 + width + k], 0);
  }
}

// A BMP file with chosen header fields; the palette is inverted so that a
// reader applying it would show.
std::string MakeBmp(int32_t width, int32_t height, const std::string& pixels, uint32_t offset = 1078,
                    uint32_t infoSize = 40, uint16_t bits = 8, uint32_t compression = 0) {
  std::string b(1078, '\0');
  auto put = [&b](size_t at, uint32_t v, int n) {
    for (int k = 0; k < n; ++k) b[at + k] = char(v >> (8 * k));
  };
  b[0] = 'B', b[1] = 'M';
  put(2, uint32_t(1078 + pixels.size()), 4);
  put(10, offset, 4);
  put(14, infoSize, 4);
  put(18, uint32_t(width), 4);
  put(22, uint32_t(height), 4);
  put(26, 1, 2);
  put(28, bits, 2);
  put(30, compression, 4);
  for (int k = 0; k < 256; ++k) put(54 + 4 * size_t(k), (255 - k) * 0x010101u, 4);
  return b + pixels;
}

TEST(ImageBmp, TopDownAndPaletteIgnored) {
  TempDir dir;
  const std::string name = dir.File("t.bmp");
  // 2 × 3, rows padded to 4 bytes, stored first row first.
  WriteFile(name, MakeBmp(2, -3, std::string("\x01\x02\0\0\x03\x04\0\0\x05\x06\0\0", 12)));
  const auto f = Load<float>(name);
  ASSERT_EQ(f.err, 0);
  EXPECT_EQ(f.height, 3);
  EXPECT_EQ(f.at(0, 0), 1.0f);
  EXPECT_EQ(f.at(1, 2), 6.0f);
  WriteFile(name, MakeBmp(2, 3, std::string("\x01\x02\0\0\x03\x04\0\0\x05", 9)));  // ends early
  const auto i = Load<int>(name);
  ASSERT_EQ(i.err, 0);
  EXPECT_EQ(i.at(0, 2), 1);
  EXPECT_EQ(i.at(0, 0), 5);
  EXPECT_EQ(i.at(1, 0), -1);
}

TEST(ImageBmp, RefusedHeaders) {
  const std::string px(64, '\x10');
  const std::pair<std::string, int> cases[] = {
      {"MB" + MakeBmp(2, 2, px).substr(2), 1},
      {MakeBmp(2, 2, px, 54, 40, 24), 2},  // 24-bit colour
      {MakeBmp(2, 2, px, 1078 - 4 * 16), 2},  // a short palette
      {MakeBmp(2, 2, px, 1078, 12), 2},
      {MakeBmp(2, 2, px, 1078, 40, 8, 1), 3},  // run-length coded
      {MakeBmp(2, 2, px, 1078, 40, 24), 3},
      {MakeBmp(0, 2, px), 12},
      {MakeBmp(-2, 2, px), 12},
      {MakeBmp(2, 0, px), 12},
      {MakeBmp(2, INT_MIN, px), 12},
      {MakeBmp(70000, 1, px), 12},
      {MakeBmp(INT_MAX, INT_MAX, px), 12},
      {MakeBmp(2, 2, px).substr(0, 1), 1},
      {MakeBmp(2, 2, px).substr(0, 13), 2},
      {MakeBmp(2, 2, px).substr(0, 16), 2},  // half a header size field
      {MakeBmp(2, 2, px).substr(0, 20), 3},
      {MakeBmp(2, 2, px).substr(0, 33), 3},
  };
  TempDir dir;
  const std::string name = dir.File("bad.bmp");
  for (const auto& [bytes, err] : cases) {
    WriteFile(name, bytes);
    const auto r = Load<float>(name);
    EXPECT_EQ(r.err, err) << bytes.size();
    EXPECT_FALSE(r.touched);
  }
  // A file that ends after the compression field passes and reads -1s.
  WriteFile(name, MakeBmp(2, 2, px).substr(0, 34));
  const auto r = Load<int>(name);
  ASSERT_EQ(r.err, 0);
  EXPECT_EQ(r.at(1, 1), -1);
}

// ----------------------------------------------------------- failed saves

TEST(ImageWrite, FullDeviceIsReportedAndLeftAlone) {
  struct stat full;
  if (stat("/dev/full", &full) != 0 || !S_ISCHR(full.st_mode)) GTEST_SKIP() << "no /dev/full";
  TempDir dir;
  const std::vector<float> fplane(size_t(300) * (300 + kGap), 5.0f);
  const std::vector<int> iplane(fplane.size(), 5);
  for (const char* ext : {"pgm", "bmp", "raw"}) {
    const std::string link = dir.File(std::string("out.") + ext);
    std::filesystem::create_symlink("/dev/full", link);
    for (int side : {2, 300}) {  // inside the stream buffer, and past it
      EXPECT_EQ(GuardaImagenLuminancia(link.c_str(), side, side, fplane.data(), kGap), 5) << ext << side;
      EXPECT_EQ(GuardaImagenLuminancia(link.c_str(), side, side, iplane.data(), kGap), 5) << ext << side;
    }
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    struct stat after;
    ASSERT_EQ(stat("/dev/full", &after), 0);
    EXPECT_TRUE(S_ISCHR(after.st_mode));
  }
  EXPECT_EQ(GuardaImagenLuminancia(dir.File("no/such/dir.pgm").c_str(), 2, 2, fplane.data(), kGap), 5);
}

}  // namespace
