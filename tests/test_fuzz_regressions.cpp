// Replays, on the normal build, every input that the fuzz targets ever found
// failing (tests/data/regress/<target>/) and their seed corpora
// (fuzz/corpus/<target>/), through the same target bodies as the fuzzers.
// The sanitizer build of the suite replays them under ASan and UBSan too.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "fuzz/targets.h"
#include "support/support.h"

namespace {

namespace fs = std::filesystem;

using Objetivo = std::string (*)(const uint8_t*, size_t);

struct Caso {
  const char* nombre;  // folder name under regress/ and corpus/
  Objetivo objetivo;
};
void PrintTo(const Caso& caso, std::ostream* os) { *os << caso.nombre; }

const Caso kObjetivos[] = {
    {"decoder", zalfuzz::Decodificador}, {"pgm", zalfuzz::CargadorPGM}, {"bmp", zalfuzz::CargadorBMP},
    {"raw", zalfuzz::CargadorRAW},       {"roundtrip", zalfuzz::IdaYVuelta},
};

std::vector<fs::path> Ficheros(const fs::path& carpeta) {
  std::vector<fs::path> ficheros;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(carpeta, ec))
    if (e.is_regular_file()) ficheros.push_back(e.path());
  std::sort(ficheros.begin(), ficheros.end());
  return ficheros;
}

// Runs every file of `carpeta` through the target; returns how many ran.
size_t Reproduce(const Caso& caso, const fs::path& carpeta) {
  const auto ficheros = Ficheros(carpeta);
  for (const fs::path& f : ficheros) {
    const std::vector<uint8_t> bytes = zaltest::ReadFile(f.string());
    EXPECT_EQ(caso.objetivo(bytes.data(), bytes.size()), "") << f;
  }
  return ficheros.size();
}

class Replay : public ::testing::TestWithParam<Caso> {};

TEST_P(Replay, RegressionInputs) {
  const fs::path carpeta = fs::path(zaltest::TestDataDir()) / "regress" / GetParam().nombre;
  const size_t n = Reproduce(GetParam(), carpeta);
  if (n == 0) GTEST_SKIP() << "no regression input for this target yet";
}

TEST_P(Replay, SeedCorpus) {
  const fs::path carpeta = fs::path(zaltest::TestDataDir()) / ".." / ".." / "fuzz" / "corpus" / GetParam().nombre;
  EXPECT_GT(Reproduce(GetParam(), carpeta), 0u) << "seed corpus missing: " << carpeta;
}

// Inputs of no bytes at all, and of a single byte of each value.
TEST_P(Replay, TinyInputs) {
  EXPECT_EQ(GetParam().objetivo(nullptr, 0), "");
  for (int b = 0; b < 256; b += 17) {
    const uint8_t byte = uint8_t(b);
    EXPECT_EQ(GetParam().objetivo(&byte, 1), "") << b;
  }
}

INSTANTIATE_TEST_SUITE_P(Fuzz, Replay, ::testing::ValuesIn(kObjetivos),
                         [](const ::testing::TestParamInfo<Caso>& i) { return std::string(i.param.nombre); });

}  // namespace
