// Helpers shared by the test suites: deterministic generated images, temporary
// files, byte I/O, SHA-256, shell commands and the location of optional shared data.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace zaltest {

struct Rng {  // splitmix64: the same numbers on every platform
  uint64_t state;
  explicit Rng(uint64_t seed) : state(seed) {}
  uint64_t Next();
  uint32_t Below(uint32_t n);  // uniform in [0, n)
  double Unit();               // uniform in [0, 1)
};

// A float plane with its spare samples, as the modules expect: height * (width + gap) cells.
struct Plane {
  int width = 0, height = 0, gap = 3;
  std::vector<float> cells;
  Plane() = default;
  Plane(int w, int h, int g = 3) : width(w), height(h), gap(g), cells(size_t(h) * (w + g), 0.0f) {}
  int stride() const { return width + gap; }
  float& at(int x, int y) { return cells[size_t(y) * stride() + x]; }
  float at(int x, int y) const { return cells[size_t(y) * stride() + x]; }
  float* data() { return cells.data(); }
};

// 8-bit sample images, values in 0..255 (whole numbers).
Plane SmoothImage(int w, int h, uint64_t seed);    // gradients and soft blobs
Plane TexturedImage(int w, int h, uint64_t seed);  // stripes, checks and edges
Plane NoisyImage(int w, int h, uint64_t seed);     // uniform noise
Plane FlatImage(int w, int h, float value);

struct TempDir {  // a fresh temporary directory, removed at destruction
  std::string path;
  TempDir();
  ~TempDir();
  std::string File(const std::string& name) const { return path + "/" + name; }
};
std::vector<uint8_t> ReadFile(const std::string& path);  // empty if missing
void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);
void WriteFile(const std::string& path, const std::string& text);
bool FileExists(const std::string& path);
void WritePgm(const std::string& path, const Plane& p);  // samples rounded, clamped
// A PNG by libspng's encoder: `rows` as the file packs them, `plte` RGB triples, a tRNS chunk, `cut` bytes dropped.
void WritePng(const std::string& path, int w, int h, int depth, int type, bool interlaced, const std::vector<uint8_t>& rows,
              const std::vector<uint8_t>& plte = {}, bool trns = false, size_t cut = 0);
std::string Sha256Hex(const std::vector<uint8_t>& bytes);
// A shell command line's standard output; its exit status (128 + signal if killed) in *status.
std::string Shell(const std::string& command, int* status = nullptr);

std::string SharedDir();    // ../shared beside the repository or $ZAL_SHARED; "" if absent
std::string TestDataDir();  // tests/data
std::string BinDir();       // the built programs

}  // namespace zaltest
