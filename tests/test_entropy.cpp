// The bit file and arithmetic coder: known-answer streams, and the fast paths (renormalisation runs,
// word output with carries, counting and memory sinks, the bit window, the division-free search)
// against the plain ones. The batch entry is held by the coefficient coder's tests, its only caller.
#include <gtest/gtest.h>

#include <filesystem>

#include "entropy/CodificadorAritmetico.h"
#include "entropy/LectorAritmetico.h"
#include "support/support.h"

namespace {

using zaltest::Rng;
using zaltest::TempDir;
using Bytes = std::vector<uint8_t>;

struct Item {
  int modelo, valor, nbits;  // modelo -1: a raw field of nbits bits; else symbol valor of that model
};
struct Secuencia {
  std::vector<int> tamanos;  // alphabet of each model
  std::vector<Item> items;
  std::vector<THistograma> Modelos() const {
    std::vector<THistograma> m(tamanos.size());
    for (size_t k = 0; k < m.size(); ++k) InicializaModelo(tamanos[k], &m[k]);
    return m;
  }
};

// The stream of s on the plain or fast paths, written to a file; the counting and memory sinks agree.
Bytes Escribe(const TempDir& dir, const Secuencia& s, bool plano) {
  CodificadorAritmeticoReferencia(plano);
  Bytes memoria;
  int64_t contados = -1;
  for (int sink = 0; sink < 3; ++sink) {
    EXPECT_EQ(sink == 0 ? InicializaEscritura(dir.File("s.bin").c_str()) : sink == 1 ? InicializaEscrituraContador()
                                                                         : InicializaEscrituraMemoria(&memoria), 0);
    std::vector<THistograma> m = s.Modelos();
    for (const Item& it : s.items)
      it.modelo < 0 ? CodificaBits(it.nbits, it.valor) : void(CodificaSimbolo(it.valor, &m[it.modelo]));
    EXPECT_EQ(FinalizaEscrituraFicheroDeBits(), 0);
    contados = sink == 1 ? BytesEscritos() : contados;
  }
  const Bytes bytes = zaltest::ReadFile(dir.File("s.bin"));
  EXPECT_TRUE(memoria == bytes && contados == int64_t(bytes.size()));
  CodificadorAritmeticoReferencia(false);
  return bytes;
}

// The items s describes (models and widths) read back from bytes.
std::vector<int> Lee(const TempDir& dir, const Secuencia& s, const Bytes& bytes, bool plano) {
  CodificadorAritmeticoReferencia(plano);
  zaltest::WriteFile(dir.File("r.bin"), bytes);
  EXPECT_EQ(InicializaLecturaFicheroDeBits(dir.File("r.bin").c_str()), 0);
  std::vector<THistograma> m = s.Modelos();
  std::vector<int> out;
  for (const Item& it : s.items) out.push_back(it.modelo < 0 ? DecodificaBits(it.nbits) : DecodificaSimbolo(&m[it.modelo]));
  FinalizaLecturaFicheroDeBits();
  CodificadorAritmeticoReferencia(false);
  return out;
}

// Random items: fields of every width, symbols skewed to various degrees (so that models adapt and
// rescale), 14-bit chunks near the middle of their range.
Secuencia Aleatoria(uint64_t seed) {
  Rng rng(seed);
  Secuencia s{{2 + int(rng.Below(36)), 1 + int(rng.Below(37)), 1 + int(rng.Below(37)), 1 + int(rng.Below(37))}, {}};
  const int sesgo = 1 + int(rng.Below(8));
  for (int i = 300 + int(rng.Below(3000)); i > 0; --i) {
    const uint32_t tipo = rng.Below(10), m = rng.Below(4);
    int sym = 1;
    while (sym < s.tamanos[m] && rng.Below(uint32_t(sesgo) + 1) == 0) ++sym;
    if (tipo < 3) s.items.push_back({-1, int(uint32_t(rng.Next())), int(rng.Below(33))});
    for (int k = tipo == 3 ? 1 + int(rng.Below(8)) : 0; k > 0; --k) s.items.push_back({-1, 8190 + int(rng.Below(5)), 14});
    if (tipo > 3) s.items.push_back({int(m), rng.Below(20) ? sym : 1 + int(rng.Below(uint32_t(s.tamanos[m]))), 0});
  }
  return s;
}

// Runs of pending bits longer than the writer's buffer, each settled one way
// or the other (0xFF runs of ~70 KB that stay, or turn to 0x00 under a carry),
// chosen by following the interval the plain way.
Secuencia LargasCorridas() {
  Rng rng(7);
  Secuencia s{{3}, {}};
  THistograma m = s.Modelos()[0];
  int32_t low = 0, high = 0xFFFF;
  auto estrecha = [&](int32_t l, int32_t h) {
    for (low = l, high = h;; low = 2 * low, high = 2 * high + 1) {
      const int32_t menos = high < 0x8000 ? 0 : low >= 0x8000 ? 0x8000 : low >= 0x4000 && high < 0xC000 ? 0x4000 : -1;
      if (menos < 0) return;
      low -= menos, high -= menos;
    }
  };
  auto chunk = [&](int v, int n) {
    const int32_t r = high - low + 1, t = r * v;
    estrecha(low + (t >> n), low - 1 + ((t + r) >> n));
    s.items.push_back({-1, v, n});
  };
  auto central = [&] {  // the longest chunk holding 0x7FFF and 0x8000: only pending bits follow it
    for (int n = 14, r = high - low + 1; n > 0; --n) {
      const int v = int((int64_t(0x8000 - low) << n) / r), t = r * v;
      if (low + (t >> n) <= 0x7FFF && low - 1 + ((t + r) >> n) >= 0x8000) return chunk(v, n), true;
    }
    return false;
  };
  int lado = 0;
  for (int corrida : {3, 700, 48000, 90, 1, 48000}) {
    for (int k = 0; k < 3000; ++k) chunk(int(rng.Below(1 << 14)), 14);
    for (int k = 0; k < corrida; ++k)
      if (!central()) {  // every chunk meets the half: a symbol moves off it
        const int32_t r = high - low + 1, *a = m.acumulada;
        estrecha(low + r * a[2] / a[0], low - 1 + r * a[1] / a[0]);
        s.items.push_back({0, 2, 0});
        zalarit::ActualizaModelo(2, &m);
      }
    chunk(lado++ % 2 ? (1 << 14) - 1 : 0, 14);  // settles the run: carry or none
  }
  return s;
}

}  // namespace

// Smallest streams, byte for byte, on both paths; short files read as if padded with ones.
TEST(Entropy, KnownAnswerStreams) {
  const struct { Secuencia s; Bytes want; } casos[] = {
      {{{}, {}}, {0x40}},
      {{{}, {{-1, 1, 1}}}, {0xA0}},
      {{{}, {{-1, 0x2A, 6}}}, {0xA9, 0x00}},  // with the flush's two bits a byte is full: 0x00 follows
      {{{}, {{-1, 12345, 0}, {-1, 0x7FFFFFFF, 1}}}, {0xA0}},  // bits above the width are ignored
      {{{}, {{-1, 0x1ABC, 13}, {-1, 0x0123, 13}, {-1, int(0xDEADBEEF), 32}, {-1, 0x15, 5}, {-1, 0x9, 4}}},
       {0xD5, 0xE0, 0x48, 0xF7, 0xAB, 0x6F, 0xBB, 0xEB, 0x28}},
      {{{2}, {{0, 1, 0}}}, {0xA0}},
      {{{2}, {{0, 2, 0}}}, {0x20}},
      {{{3}, {{0, 1, 0}, {0, 1, 0}, {0, 2, 0}, {0, 3, 0}}}, {0xBA, 0xF0}},
      {{{3}, {{0, 1, 0}, {-1, 0, 12}}}, {0xAA, 0xAC}}};  // flushed with low at exactly 0x4000
  TempDir dir;
  const Secuencia s{{}, {{-1, 0, 16}, {-1, 0, 0}, {-1, 0, 9}}};
  for (bool plano : {false, true}) {
    for (const auto& c : casos) EXPECT_EQ(Escribe(dir, c.s, plano), c.want) << c.s.items.size() << plano;
    EXPECT_EQ(Lee(dir, s, {}, plano), std::vector<int>({0xFFFF, 0, 0x1FF}));
    EXPECT_EQ(Lee(dir, s, {0x12, 0x34}, plano), std::vector<int>({0x1234, 0, 0x1FF}));
  }
  for (int limite : {8, 9}) {  // the counting sink reports passing its limit, not reaching it
    ASSERT_EQ(InicializaEscrituraContador(limite), 0);
    for (const Item& it : casos[4].s.items) CodificaBits(it.nbits, it.valor);
    FinalizaEscrituraFicheroDeBits();
    EXPECT_EQ(LimiteSuperado(), limite == 8);
  }
}

// Random items and long pending runs: both paths write the same bytes and read back the items.
TEST(Entropy, FastPathsMatchPlainPaths) {
  TempDir dir;
  for (uint64_t seed = 0; seed <= 50; ++seed) {
    const Secuencia s = seed ? Aleatoria(seed) : LargasCorridas();
    const Bytes rapido = Escribe(dir, s, false);
    ASSERT_EQ(rapido, Escribe(dir, s, true)) << "seed " << seed;
    const std::vector<int> leidos = Lee(dir, s, rapido, false);
    ASSERT_EQ(leidos, Lee(dir, s, rapido, true)) << "seed " << seed;
    for (size_t i = 0; i < s.items.size(); ++i) {
      const Item& it = s.items[i];
      const uint32_t mask = it.modelo >= 0 || it.nbits >= 32 ? ~0u : (1u << it.nbits) - 1;
      ASSERT_EQ(leidos[i], int(uint32_t(it.valor) & mask)) << "seed " << seed << " item " << i;
    }
  }
}

// A bit file takes its name only once whole and free of coding errors: a symbol outside its model, or a
// file left unfinished when another is opened, leaves the older file, and no temporary file stays behind.
TEST(Entropy, FileReplacedOnlyWhenWhole) {
  TempDir dir;
  const std::string f = dir.File("s.bin"), older = "older";
  THistograma m;
  for (int simbolo : {1, 3, 0}) {  // 0: a file opened for reading meanwhile
    zaltest::WriteFile(f, older);
    ASSERT_EQ(InicializaEscritura(f.c_str()), 0);
    InicializaModelo(2, &m);
    CodificaSimbolo(simbolo ? simbolo : 1, &m);
    EXPECT_EQ(simbolo ? FinalizaEscrituraFicheroDeBits() : InicializaLecturaFicheroDeBits(f.c_str()), 0);
    EXPECT_EQ(zaltest::ReadFile(f) == Bytes(older.begin(), older.end()), simbolo != 1) << simbolo;
  }
  FinalizaLecturaFicheroDeBits();
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 1);
}
