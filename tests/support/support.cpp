#include "support/support.h"

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
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
  double cx[4], cy[4], rad[4], amp[4];
  for (int k = 0; k < 4; ++k) {
    cx[k] = r.Unit() * w;
    cy[k] = r.Unit() * h;
    rad[k] = (0.1 + 0.3 * r.Unit()) * (w + h) / 2;
    amp[k] = 60 * r.Unit() - 30;
  }
  const double gx = 80.0 * r.Unit(), gy = 80.0 * r.Unit();
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      double v = 60 + gx * x / w + gy * y / h;
      for (int k = 0; k < 4; ++k) {
        const double dx = x - cx[k], dy = y - cy[k];
        v += amp[k] * std::exp(-(dx * dx + dy * dy) / (rad[k] * rad[k]));
      }
      p.at(x, y) = Clamp255(v);
    }
  return p;
}

Plane TexturedImage(int w, int h, uint64_t seed) {
  Rng r(seed);
  Plane p(w, h);
  const int period = 3 + int(r.Below(9));
  const int check = 4 + int(r.Below(12));
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
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) p.at(x, y) = float(r.Below(256));
  return p;
}

Plane FlatImage(int w, int h, float value) {
  Plane p(w, h);
  for (int y = 0; y < h; ++y) std::fill_n(&p.at(0, y), w, value);
  return p;
}

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "zaltest-XXXXXX").string();
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  path = buf.data();
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
  std::string head = "P5\n" + std::to_string(p.width) + " " + std::to_string(p.height) + "\n255\n";
  std::vector<uint8_t> bytes(head.begin(), head.end());
  for (int y = 0; y < p.height; ++y)
    for (int x = 0; x < p.width; ++x) bytes.push_back(uint8_t(Clamp255(p.at(x, y))));
  WriteFile(path, bytes);
}

// SHA-256 (FIPS 180-4).
std::string Sha256Hex(const std::vector<uint8_t>& data) {
  static const uint32_t k[64] = {
      0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
      0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
      0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
      0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
      0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
      0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
      0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
      0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
  uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::vector<uint8_t> m = data;
  const uint64_t bitlen = uint64_t(data.size()) * 8;
  m.push_back(0x80);
  while (m.size() % 64 != 56) m.push_back(0);
  for (int i = 7; i >= 0; --i) m.push_back(uint8_t(bitlen >> (8 * i)));
  auto rotr = [](uint32_t x, int n) { return (x >> n) | (x << (32 - n)); };
  for (size_t off = 0; off < m.size(); off += 64) {
    uint32_t w[64];
    for (int i = 0; i < 16; ++i)
      w[i] = uint32_t(m[off + 4 * i]) << 24 | uint32_t(m[off + 4 * i + 1]) << 16 |
             uint32_t(m[off + 4 * i + 2]) << 8 | uint32_t(m[off + 4 * i + 3]);
    for (int i = 16; i < 64; ++i) {
      const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
    for (int i = 0; i < 64; ++i) {
      const uint32_t t1 = hh + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
      const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      hh = g; g = f; f = e; e = d + t1; d = c; c = b; b = a; a = t1 + t2;
    }
    h[0] += a; h[1] += b; h[2] += c; h[3] += d; h[4] += e; h[5] += f; h[6] += g; h[7] += hh;
  }
  char out[65];
  for (int i = 0; i < 8; ++i) std::snprintf(out + 8 * i, 9, "%08x", h[i]);
  return std::string(out, 64);
}

std::string SharedDir() {
  const char* env = std::getenv("ZAL_SHARED");
  std::string dir = env && *env ? env : ZAL_SHARED_DIR;
  return FileExists(dir + "/vectors/cases.txt") || FileExists(dir + "/images") ? dir : "";
}
std::string TestDataDir() { return ZAL_TEST_DATA_DIR; }
std::string BinDir() { return ZAL_BIN_DIR; }

}  // namespace zaltest
