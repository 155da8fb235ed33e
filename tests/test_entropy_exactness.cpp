// The fast paths of the arithmetic coder (whole renormalisation runs, word
// output, 64-bit bit window, reciprocal scaling, division-free symbol search
// and short-chunk decoding) against the plain paths kept beside them: the
// same items must give the same bytes, and the same bytes the same items,
// whatever they hold.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "entropy/CodificadorAritmetico.h"
#include "support/support.h"

namespace {

using zaltest::ReadFile;
using zaltest::TempDir;
using Bytes = std::vector<uint8_t>;

struct Item {
  int modelo;  // -1: raw field; otherwise the model of a symbol
  int valor;   // symbol, or the field's value
  int nbits;   // field width
};

struct Secuencia {
  int tamanos[4];  // alphabet of each model
  std::vector<Item> items;
};

// Plain path on, for the life of the object.
struct Referencia {
  Referencia() { CodificadorAritmeticoReferencia(true); }
  ~Referencia() { CodificadorAritmeticoReferencia(false); }
};

// The interval followed the plain way, to choose 14-bit chunks whose
// sub-interval holds both 0x7FFF and 0x8000: each leaves a narrow interval
// straddling the half, so the pending bits pile up. (From the whole range
// every chunk is aligned to the half, so a symbol comes first.)
struct Intervalo {
  int32_t low = 0, high = 0xFFFF;
  int Central() const {
    const int32_t rango = high - low + 1;
    return int((int64_t(0x7FFF - low) << 14) / rango);
  }
  void Chunk(int v, int n = 14) {
    const int32_t rango = high - low + 1, t = rango * v;
    Estrecha(low + (t >> n), low - 1 + ((t + rango) >> n));
  }
  // The longest chunk (n bits, value v) whose sub-interval holds both 0x7FFF
  // and 0x8000, so that only pending bits follow it; false if none does (an
  // interval whose chunks all meet at the half, as the whole range).
  bool ChunkCentral(int* v, int* n) const {
    const int32_t rango = high - low + 1;
    for (*n = 14; *n > 0; --*n) {
      *v = int((int64_t(0x8000 - low) << *n) / rango);
      const int32_t t = rango * *v;
      if (low + (t >> *n) <= 0x7FFF && low - 1 + ((t + rango) >> *n) >= 0x8000) return true;
    }
    return false;
  }
  // Symbol s of model m, which is then updated as the coder updates it.
  void Simbolo(int s, THistograma* m) {
    const int32_t rango = high - low + 1, total = m->acumulada[0];
    Estrecha(low + rango * m->acumulada[s] / total, low - 1 + rango * m->acumulada[s - 1] / total);
    if (m->acumulada[0] > 1023) {
      int32_t suma = 0;
      for (int i = m->nSimbolos; i >= 0; --i) {
        m->frecuencia[i] = (m->frecuencia[i] + 1) / 2;
        m->acumulada[i] = suma;
        suma += m->frecuencia[i];
      }
    }
    m->frecuencia[s] += 10;
    for (int i = 0; i < s; ++i) m->acumulada[i] += 10;
  }
  // Symbol 1 of a fresh model of n symbols: the top (n - 1)/n of the interval.
  void PrimerSimbolo(int n) {
    const int32_t rango = high - low + 1;
    Estrecha(low + rango * (n - 1) / n, high);
  }
  void Estrecha(int32_t l, int32_t h) {
    low = l, high = h;
    for (;;) {
      if (high < 0x8000) {
      } else if (low >= 0x8000) {
        low -= 0x8000, high -= 0x8000;
      } else if (low >= 0x4000 && high < 0xC000) {
        low -= 0x4000, high -= 0x4000;
      } else {
        break;
      }
      low = 2 * low, high = 2 * high + 1;
    }
  }
};

// Random items: first, in some streams, chunks that pile up pending bits (up
// to about a hundred); then fields of every width, symbols skewed to various
// degrees (so that models adapt and rescale), and 14-bit chunks near the
// middle of their range.
Secuencia Aleatoria(uint64_t seed) {
  zaltest::Rng rng(seed);
  Secuencia s;
  for (int& t : s.tamanos) t = 1 + int(rng.Below(37));
  Intervalo intervalo;
  if (rng.Below(2)) {
    s.tamanos[0] = 2 + int(rng.Below(36));
    intervalo.PrimerSimbolo(s.tamanos[0]);
    s.items.push_back({0, 1, 0});
  }
  for (int k = s.items.empty() ? 0 : int(rng.Below(8)); k > 0; --k) {
    const int v = intervalo.Central();
    intervalo.Chunk(v);
    s.items.push_back({-1, v, 14});
  }
  const int count = 500 + int(rng.Below(6000));
  const int sesgo = 1 + int(rng.Below(8));
  for (int i = 0; i < count; ++i) {
    const uint32_t tipo = rng.Below(10);
    if (tipo < 3) {
      const int nbits = int(rng.Below(33));
      s.items.push_back({-1, int(uint32_t(rng.Next())), nbits});
    } else if (tipo == 3) {
      for (int k = 1 + int(rng.Below(8)); k > 0; --k)
        s.items.push_back({-1, 8192 + int(rng.Below(5)) - 2, 14});
    } else {
      const int m = int(rng.Below(4));
      int sym = 1;
      while (sym < s.tamanos[m] && rng.Below(uint32_t(sesgo) + 1) == 0) ++sym;
      if (rng.Below(20) == 0) sym = 1 + int(rng.Below(uint32_t(s.tamanos[m])));
      s.items.push_back({m, sym, 0});
    }
  }
  return s;
}

void Codifica(const Secuencia& s) {
  THistograma m[4];
  for (int k = 0; k < 4; ++k) InicializaModelo(s.tamanos[k], &m[k]);
  for (const Item& it : s.items) {
    if (it.modelo < 0)
      CodificaBits(it.nbits, it.valor);
    else
      CodificaSimbolo(it.valor, &m[it.modelo]);
  }
}

Bytes Escribe(const TempDir& dir, const Secuencia& s) {
  const std::string path = dir.File("s.bin");
  EXPECT_EQ(InicializaEscritura(path.c_str()), 0);
  Codifica(s);
  EXPECT_EQ(FinalizaEscrituraFicheroDeBits(), 0);
  Bytes bytes = ReadFile(path);
  // The counting sink measures the very same stream.
  InicializaEscrituraContador();
  Codifica(s);
  FinalizaEscrituraFicheroDeBits();
  EXPECT_EQ(BytesEscritos(), int64_t(bytes.size()));
  // And the memory sink holds it byte for byte.
  std::vector<uint8_t> memoria;
  EXPECT_EQ(InicializaEscrituraMemoria(&memoria), 0);
  Codifica(s);
  EXPECT_EQ(FinalizaEscrituraFicheroDeBits(), 0);
  EXPECT_EQ(memoria, bytes);
  return bytes;
}

// Reads the items that `s` describes (their models and widths) from `bytes`
// and returns what comes back.
std::vector<int> Lee(const TempDir& dir, const Secuencia& s, const Bytes& bytes) {
  const std::string path = dir.File("r.bin");
  zaltest::WriteFile(path, bytes);
  EXPECT_EQ(InicializaLecturaFicheroDeBits(path.c_str()), 0);
  THistograma m[4];
  for (int k = 0; k < 4; ++k) InicializaModelo(s.tamanos[k], &m[k]);
  std::vector<int> out;
  for (const Item& it : s.items)
    out.push_back(it.modelo < 0 ? DecodificaBits(it.nbits) : DecodificaSimbolo(&m[it.modelo]));
  FinalizaLecturaFicheroDeBits();
  return out;
}

}  // namespace

TEST(EntropyExactness, FastAndPlainPathsWriteTheSameBytes) {
  TempDir dir;
  for (uint64_t seed = 1; seed <= 80; ++seed) {
    const Secuencia s = Aleatoria(seed);
    const Bytes rapido = Escribe(dir, s);
    Bytes plano;
    {
      Referencia ref;
      plano = Escribe(dir, s);
    }
    ASSERT_EQ(rapido, plano) << "seed " << seed;
  }
}

TEST(EntropyExactness, FastAndPlainPathsReadTheSameItems) {
  TempDir dir;
  for (uint64_t seed = 1; seed <= 60; ++seed) {
    const Secuencia s = Aleatoria(seed);
    const Bytes bytes = Escribe(dir, s);
    const std::vector<int> rapido = Lee(dir, s, bytes);
    std::vector<int> plano;
    {
      Referencia ref;
      plano = Lee(dir, s, bytes);
    }
    ASSERT_EQ(rapido, plano) << "seed " << seed;
    // And they are the items coded (fields masked to their width).
    for (size_t i = 0; i < s.items.size(); ++i) {
      const Item& it = s.items[i];
      const uint32_t mask = it.nbits >= 32 ? ~0u : (1u << it.nbits) - 1;
      const int want = it.modelo < 0 ? int(uint32_t(it.valor) & mask) : it.valor;
      ASSERT_EQ(rapido[i], want) << "seed " << seed << " item " << i;
    }
  }
}

// Runs of pending bits longer than the writer's buffer: thousands of chunks
// that keep the interval straddling the half, each run then settled one way
// or the other (so that 0xFF runs of up to ~70 KB either stay or turn into
// zeros under a carry), between stretches of ordinary chunks. Both paths
// write the same bytes, and they read back.
TEST(EntropyExactness, LongPendingRunsAndCarries) {
  TempDir dir;
  zaltest::Rng rng(7);
  Secuencia s = {{3, 2, 2, 2}, {}};
  Intervalo intervalo;
  THistograma modelo;
  InicializaModelo(3, &modelo);
  auto chunk = [&](int v, int n) {
    intervalo.Chunk(v, n);
    s.items.push_back({-1, v, n});
  };
  int lado = 0;
  for (int corrida : {3, 40, 700, 5000, 48000, 90, 12000, 48000, 1}) {
    for (int k = 0; k < 3000; ++k) chunk(int(rng.Below(1 << 14)), 14);
    for (int k = 0; k < corrida; ++k) {
      int v, n;
      if (intervalo.ChunkCentral(&v, &n))
        chunk(v, n);
      else {
        // Chunks from the whole range all meet at the half; a symbol moves off it.
        intervalo.Simbolo(2, &modelo);
        s.items.push_back({0, 2, 0});
      }
    }
    chunk(lado++ % 2 ? (1 << 14) - 1 : 0, 14);  // settles the run: carry or none
  }
  const Bytes rapido = Escribe(dir, s);
  Bytes plano;
  {
    Referencia ref;
    plano = Escribe(dir, s);
  }
  ASSERT_EQ(rapido, plano);
  // Runs of 0xFF (no carry) and of 0x00 (after one) longer than the buffer.
  size_t masLarga[2] = {0, 0};
  for (size_t i = 0, n = 0; i < rapido.size(); ++i) {
    n = i > 0 && rapido[i] == rapido[i - 1] ? n + 1 : 1;
    if (rapido[i] == 0xFF || rapido[i] == 0x00) masLarga[rapido[i] & 1] = std::max(masLarga[rapido[i] & 1], n);
  }
  EXPECT_GT(masLarga[0], size_t(1) << 16);
  EXPECT_GT(masLarga[1], size_t(1) << 16);
  const std::vector<int> leidos = Lee(dir, s, rapido);
  for (size_t i = 0; i < s.items.size(); ++i) ASSERT_EQ(leidos[i], s.items[i].valor) << "item " << i;
}

// Damaged or foreign bytes, shorter or longer than the items need: both
// paths read the same (in-range) items, bits past the end included.
TEST(EntropyExactness, AnyBytesReadTheSameOnBothPaths) {
  TempDir dir;
  zaltest::Rng rng(7);
  for (int round = 0; round < 60; ++round) {
    const Secuencia s = Aleatoria(1000 + round);
    Bytes junk(rng.Below(round % 3 == 0 ? 16 : 3000));
    const uint32_t estilo = rng.Below(3);
    for (auto& b : junk)
      b = estilo == 0 ? uint8_t(rng.Below(256)) : estilo == 1 ? uint8_t(0x7F + rng.Below(2)) : 0xFF;
    const std::vector<int> rapido = Lee(dir, s, junk);
    std::vector<int> plano;
    {
      Referencia ref;
      plano = Lee(dir, s, junk);
    }
    ASSERT_EQ(rapido, plano) << "round " << round;
  }
}

// The batch entry codes a run of items (a symbol, or none, then a field of
// 0 to 32 bits) exactly as the calls one by one do, on both paths.
TEST(EntropyExactness, BatchesCodeLikeSingleCalls) {
  TempDir dir;
  for (uint64_t seed = 200; seed < 240; ++seed) {
    const Secuencia s = Aleatoria(seed);
    const Bytes uno = Escribe(dir, s);
    for (bool plano : {false, true}) {
      CodificadorAritmeticoReferencia(plano);
      THistograma m[4];
      for (int k = 0; k < 4; ++k) InicializaModelo(s.tamanos[k], &m[k]);
      // Each symbol takes the field after it, if any; lone fields stand alone.
      std::vector<ItemAritmetico> items;
      for (size_t i = 0; i < s.items.size(); ++i) {
        const Item& it = s.items[i];
        const uint8_t modelo = uint8_t(it.modelo), simbolo = uint8_t(it.valor);
        if (it.modelo < 0) {
          items.push_back({it.valor, 0, kSinSimbolo, uint8_t(it.nbits)});
        } else if (i + 1 < s.items.size() && s.items[i + 1].modelo < 0) {
          items.push_back({s.items[i + 1].valor, simbolo, modelo, uint8_t(s.items[i + 1].nbits)});
          ++i;
        } else {
          items.push_back({0, simbolo, modelo, 0});
        }
      }
      const std::string path = dir.File("b.bin");
      ASSERT_EQ(InicializaEscritura(path.c_str()), 0);
      // In runs of varying length, as a caller hands them over.
      for (size_t i = 0; i < items.size();) {
        const size_t n = std::min(items.size() - i, size_t(1 + (i * 7919) % 300));
        ASSERT_EQ(CodificaItems(items.data() + i, n, m), 0);
        i += n;
      }
      ASSERT_EQ(FinalizaEscrituraFicheroDeBits(), 0);
      CodificadorAritmeticoReferencia(false);
      ASSERT_EQ(zaltest::ReadFile(path), uno) << "seed " << seed << (plano ? " plain" : " fast");
    }
  }
  // Errors are reported as the single calls report them, and code nothing.
  THistograma modelos[2];
  InicializaModelo(0, &modelos[0]);  // empty
  InicializaModelo(3, &modelos[1]);
  ASSERT_EQ(InicializaEscrituraContador(), 0);
  const ItemAritmetico malos[] = {{0, 1, 0, 0}, {0, 4, 1, 0}, {0, 0, kSinSimbolo, 33}};
  EXPECT_EQ(CodificaItems(malos, 3, modelos), kAritModeloVacio);
  EXPECT_EQ(ErrorCodificadorAritmetico(), kAritModeloVacio);
  FinalizaEscrituraFicheroDeBits();
  EXPECT_EQ(BytesEscritos(), 1);  // the empty stream
}

// A trial that only needs to know whether its stream passes a size can stop
// early: the counting sink says so as soon as more bytes than the limit are
// out, and never before.
TEST(EntropyExactness, CountingSinkReportsPassingItsLimit) {
  TempDir dir;
  const Secuencia s = Aleatoria(3);
  const int64_t total = int64_t(Escribe(dir, s).size());
  ASSERT_GT(total, 40);
  for (int64_t limite : {int64_t(0), int64_t(20), total - 1, total, total + 5}) {
    ASSERT_EQ(InicializaEscrituraContador(limite), 0);
    THistograma m[4];
    for (int k = 0; k < 4; ++k) InicializaModelo(s.tamanos[k], &m[k]);
    bool visto = false;
    for (const Item& it : s.items) {
      if (it.modelo < 0)
        CodificaBits(it.nbits, it.valor);
      else
        CodificaSimbolo(it.valor, &m[it.modelo]);
      if (LimiteSuperado()) {
        visto = true;
        EXPECT_GT(BytesEscritos(), limite);
      }
    }
    FinalizaEscrituraFicheroDeBits();
    EXPECT_EQ(BytesEscritos(), total);
    EXPECT_EQ(LimiteSuperado() || visto, total > limite) << "limit " << limite;
  }
  // Without a limit nothing is ever reported.
  InicializaEscrituraContador();
  for (int i = 0; i < 1000; ++i) CodificaBits(14, i);
  EXPECT_FALSE(LimiteSuperado());
  FinalizaEscrituraFicheroDeBits();
}
