// The arithmetic coder alone: a fixed sequence of items like the coefficient
// coder's at about 1 bpp (symbols of two adaptive 10-symbol models, skewed
// towards the small symbols, and short raw fields after a third of them),
// coded into the counting sink, into a file, and decoded. The "ns/item"
// counter is the time per symbol or raw field.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "entropy/CodificadorAritmetico.h"

namespace {

struct Item {
  int modelo;  // 0 or 1: a symbol of that model; -1: a raw field
  int valor;   // the symbol, or the field's value
  int nbits;   // width of the raw field
};

constexpr int kSimbolos = 10;

// Deterministic generator (xorshift), so that every run codes the same items.
uint32_t Siguiente(uint64_t& s) {
  s ^= s << 13;
  s ^= s >> 7;
  s ^= s << 17;
  return uint32_t(s >> 11);
}

const std::vector<Item>& Items() {
  static const std::vector<Item> items = [] {
    std::vector<Item> v;
    uint64_t s = 0x9E3779B97F4A7C15ull;
    while (v.size() < 2000000) {
      const int modelo = int(Siguiente(s) & 1);
      // Geometric-like: symbol 1 half the time, 2 a quarter, ...
      int simbolo = 1;
      while (simbolo < kSimbolos && (Siguiente(s) & (modelo ? 3 : 1)) == 0) ++simbolo;
      v.push_back({modelo, simbolo, 0});
      if (simbolo >= 3) {
        const int nbits = 1 + int(Siguiente(s) % 4);
        v.push_back({-1, int(Siguiente(s)), nbits});
      }
    }
    return v;
  }();
  return items;
}

void Codifica(const std::vector<Item>& items) {
  THistograma m[2];
  InicializaModelo(kSimbolos, &m[0]);
  InicializaModelo(kSimbolos, &m[1]);
  for (const Item& it : items) {
    if (it.modelo < 0)
      CodificaBits(it.nbits, it.valor);
    else
      CodificaSimbolo(it.valor, &m[it.modelo]);
  }
}

std::string TempFile() { return "/tmp/bench_entropy_" + std::to_string(getpid()) + ".bin"; }

void SetPerItem(benchmark::State& state, size_t n) {
  state.counters["ns/item"] = benchmark::Counter(
      double(n) * 1e-9, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_EncodeCount(benchmark::State& state) {
  const auto& items = Items();
  for (auto _ : state) {
    InicializaEscrituraContador();
    Codifica(items);
    FinalizaEscrituraFicheroDeBits();
    benchmark::DoNotOptimize(BytesEscritos());
  }
  state.counters["bits/item"] = double(BytesEscritos()) * 8 / double(items.size());
  SetPerItem(state, items.size());
}

void BM_EncodeFile(benchmark::State& state) {
  const auto& items = Items();
  const std::string path = TempFile();
  for (auto _ : state) {
    InicializaEscritura(path.c_str());
    Codifica(items);
    FinalizaEscrituraFicheroDeBits();
  }
  unlink(path.c_str());
  SetPerItem(state, items.size());
}

void BM_Decode(benchmark::State& state) {
  const auto& items = Items();
  const std::string path = TempFile();
  InicializaEscritura(path.c_str());
  Codifica(items);
  FinalizaEscrituraFicheroDeBits();
  for (auto _ : state) {
    InicializaLecturaFicheroDeBits(path.c_str());
    THistograma m[2];
    InicializaModelo(kSimbolos, &m[0]);
    InicializaModelo(kSimbolos, &m[1]);
    int suma = 0;
    for (const Item& it : items)
      suma += it.modelo < 0 ? DecodificaBits(it.nbits) : DecodificaSimbolo(&m[it.modelo]);
    FinalizaLecturaFicheroDeBits();
    benchmark::DoNotOptimize(suma);
  }
  unlink(path.c_str());
  SetPerItem(state, items.size());
}

}  // namespace

BENCHMARK(BM_EncodeCount)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeFile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Decode)->Unit(benchmark::kMillisecond);
