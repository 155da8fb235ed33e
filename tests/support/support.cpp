#include "support/support.h"

#include <sys/stat.h>
#include <spng.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace zaltest {

uint64_t Rng::Next() {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}
uint32_t Rng::Below(uint32_t n) { return n == 0 ? 0 : uint32_t(Next() % n); }
double Rng::Unit() { return double(Next() >> 11) * (1.0 / 9007199254740992.0); }
static float Clamp255(double v) { return float(std::floor(std::clamp(v, 0.0, 255.0) + 0.5)); }

Plane SmoothImage(int w, int h, uint64_t seed) {
  Rng r(seed);
  Plane p(w, h);
  double b[4][4];  // centre x and y, radius and amplitude of four blobs
  for (auto& k : b) k[0] = r.Unit() * w, k[1] = r.Unit() * h, k[2] = (0.1 + 0.3 * r.Unit()) * (w + h) / 2, k[3] = 60 * r.Unit() - 30;
  const double gx = 80.0 * r.Unit(), gy = 80.0 * r.Unit();
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      double v = 60 + gx * x / w + gy * y / h;
      for (auto& k : b) v += k[3] * std::exp(-((x - k[0]) * (x - k[0]) + (y - k[1]) * (y - k[1])) / (k[2] * k[2]));
      p.at(x, y) = Clamp255(v);
    }
  return p;
}

Plane TexturedImage(int w, int h, uint64_t seed) {
  Rng r(seed);
  Plane p(w, h);
  const int period = 3 + int(r.Below(9)), check = 4 + int(r.Below(12));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      double v = 128 + 50 * std::sin(2 * M_PI * (x + 0.5 * y) / period);
      if (((x / check) + (y / check)) % 2) v += 40;
      if (x > w / 2 && y < h / 3) v = 230;
      v += double(r.Below(11)) - 5;
      p.at(x, y) = Clamp255(v);
    }
  return p;
}

Plane NoisyImage(int w, int h, uint64_t seed) {
  Rng r(seed);
  Plane p(w, h);
  for (int y = 0; y < h; ++y) std::generate_n(&p.at(0, y), w, [&] { return float(r.Below(256)); });
  return p;
}

Plane FlatImage(int w, int h, float value) {
  Plane p(w, h);
  for (int y = 0; y < h; ++y) std::fill_n(&p.at(0, y), w, value);
  return p;
}

TempDir::TempDir() : path((std::filesystem::temp_directory_path() / "zaltest-XXXXXX").string()) {
  if (!mkdtemp(path.data())) throw std::runtime_error("mkdtemp failed");
}
TempDir::~TempDir() { std::error_code ec; std::filesystem::remove_all(path, ec); }

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}
void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  WriteFile(path, std::string(bytes.begin(), bytes.end()));
}
void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}
bool FileExists(const std::string& path) { struct stat st; return stat(path.c_str(), &st) == 0; }

void WritePgm(const std::string& path, const Plane& p) {
  std::string bytes = "P5\n" + std::to_string(p.width) + " " + std::to_string(p.height) + "\n255\n";
  for (int y = 0; y < p.height; ++y)
    for (int x = 0; x < p.width; ++x) bytes += char(uint8_t(Clamp255(p.at(x, y))));
  WriteFile(path, bytes);
}

void WritePng(const std::string& path, int w, int h, int depth, int type, bool interlaced,
              const std::vector<uint8_t>& rows, const std::vector<uint8_t>& plte, bool trns, size_t cut) {
  spng_ctx* c = spng_ctx_new(SPNG_CTX_ENCODER);
  spng_ihdr ih = {uint32_t(w), uint32_t(h), uint8_t(depth), uint8_t(type), 0, 0, uint8_t(interlaced)};
  spng_plte p = {};
  for (size_t k = 0; k + 2 < plte.size(); k += 3) p.entries[p.n_entries++] = {plte[k], plte[k + 1], plte[k + 2], 0};
  spng_trns t = {0, 0, 0, 0, 1, {}};  // palette entry 0, or grey or RGB 0, transparent
  size_t n = 0;
  int err = spng_set_option(c, SPNG_ENCODE_TO_BUFFER, 1) || spng_set_ihdr(c, &ih) ||
            (p.n_entries && spng_set_plte(c, &p)) || (trns && spng_set_trns(c, &t)) ||
            spng_encode_image(c, rows.data(), rows.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE);
  uint8_t* b = err ? nullptr : static_cast<uint8_t*>(spng_get_png_buffer(c, &n, &err));
  spng_ctx_free(c);
  if (!b) throw std::runtime_error("cannot encode " + path);
  WriteFile(path, std::vector<uint8_t>(b, b + n - std::min(cut, n)));
  std::free(b);
}

// SHA-256 by coreutils' sha256sum, present on every system the suite runs on.
std::string Sha256Hex(const std::vector<uint8_t>& bytes) {
  TempDir dir;
  WriteFile(dir.File("data"), bytes);
  return Shell("sha256sum " + dir.File("data")).substr(0, 64);
}

std::string Shell(const std::string& command, int* status) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
  const int s = pclose(pipe);
  if (status) *status = WIFEXITED(s) ? WEXITSTATUS(s) : 128 + WTERMSIG(s);
  return out;
}

std::string SharedDir() {
  const char* env = std::getenv("ZAL_SHARED");
  std::string dir = env && *env ? env : ZAL_SHARED_DIR;
  return FileExists(dir + "/vectors/cases.txt") || FileExists(dir + "/images") ? dir : "";
}
std::string TestDataDir() { return ZAL_TEST_DATA_DIR; }
std::string BinDir() { return ZAL_BIN_DIR; }

}  // namespace zaltest
