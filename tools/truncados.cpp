// How the decoder meets the end of a stream, measured on real files:
//  - for every stream, how many bits past its last byte the decoder consumed
//    (a whole stream: 6 to 13; more means a cut file);
//  - for streams of photographs, the share of cut copies that the decoder
//    catches (refuses, or decodes as truncated): cut by 1, 2, 4, 16 and 1000
//    bytes, and at random points.
// Arguments: .zal files (measured as they are) and .pgm photographs (coded at
// four quantization parameters, 6 levels and rplanes 2, then measured and
// cut). Build and run from the repository, after building the library:
//   g++ -std=c++20 -O2 -I. tools/truncados.cpp build/libzal.a -lpthread -o build/truncados
//   build/truncados tests/data/*.zal ../shared/vectors/*.zal ../shared/images/*.pgm
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "coder/ZALcoder.h"
#include "entropy/CodificadorAritmetico.h"
#include "image/ImagenLuminanciaES.h"
#include "wavelet/wavelets.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Resultado {
  int codigo;
  ZALFinFlujo fin;
};

Resultado Decodifica(const uint8_t* datos, size_t n) {
  FuenteMemoria fuente(datos, n);
  signed char r, l;
  float q;
  int w, h;
  float* plano = nullptr;
  Resultado res{};
  res.codigo = ZALDecodificadorFuente(&r, &l, &q, &w, &h, &plano, &fuente, 3, &res.fin);
  std::free(plano);
  return res;
}

struct Cuenta {
  int cortes = 0, cogidos = 0, rechazados = 0;
  void Suma(const Resultado& r) {
    ++cortes;
    cogidos += r.codigo != 0 || r.fin.truncado;
    rechazados += r.codigo != 0;
  }
};

uint64_t semilla = 0x5EED;
uint64_t Azar() {  // splitmix64
  uint64_t x = (semilla += 0x9E3779B97F4A7C15ull);
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

int minimo = 1 << 30, maximo = -1, flujos = 0, falsas = 0, veces[64] = {};

// Bits past the end of a whole stream; false if the decoder refused it.
bool Mide(const std::string& nombre, const Bytes& flujo) {
  const Resultado r = Decodifica(flujo.data(), flujo.size());
  if (r.codigo != 0) {
    std::printf("%s: refused (%d)\n", nombre.c_str(), r.codigo + 200);
    return false;
  }
  const int pasados = int(r.fin.bits - 8 * int64_t(flujo.size()));
  ++flujos;
  falsas += r.fin.truncado;
  if (pasados < minimo) minimo = pasados;
  if (pasados > maximo) maximo = pasados;
  if (pasados >= 0 && pasados < 64) ++veces[pasados];
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int kAlAzar = 20;
  const size_t kCortes[] = {1, 2, 4, 16, 1000};
  Cuenta porCorte[6];
  for (int a = 1; a < argc; ++a) {
    const std::string ruta = argv[a];
    if (ruta.size() > 4 && ruta.substr(ruta.size() - 4) == ".zal") {
      std::ifstream f(ruta, std::ios::binary);
      Mide(ruta, Bytes(std::istreambuf_iterator<char>(f), {}));
      continue;
    }
    int w = 0, h = 0;
    float* imagen = nullptr;
    if (CargaImagenLuminancia(ruta.c_str(), &w, &h, &imagen, 3) != 0 || w % 128 || h % 128) {
      std::printf("%s: skipped (not a PGM of sides multiple of 128)\n", ruta.c_str());
      std::free(imagen);
      continue;
    }
    TransformaWavelet(6, w, h, imagen, 3);
    const size_t celdas = size_t(h) * (w + 3);
    for (float quant : {0.3f, 0.9f, 4.0f, 16.0f}) {
      std::vector<float> plano(imagen, imagen + celdas);
      Bytes flujo;
      int64_t bytes = 0;
      if (ZALCodificadorMemoria(2, 6, quant, w, h, plano.data(), 3, &bytes, &flujo) != 0) continue;
      if (!Mide(ruta, flujo)) continue;
      int cogidos = 0;
      for (int k = 0; k < 5 + kAlAzar; ++k) {
        const size_t n = flujo.size();
        const size_t corte = k < 5 ? kCortes[k] : 1 + Azar() % (n - 1);
        if (corte >= n) continue;
        const Resultado r = Decodifica(flujo.data(), n - corte);
        porCorte[k < 5 ? k : 5].Suma(r);
        cogidos += r.codigo != 0 || r.fin.truncado;
      }
      std::printf("%s q %.1f: %zu bytes, %.3f bpp, %d cuts of %d caught\n", ruta.c_str(), quant,
                  flujo.size(), 8.0 * double(flujo.size()) / (double(w) * h), cogidos, 5 + kAlAzar);
    }
    std::free(imagen);
  }
  std::printf("\n%d whole streams: %d to %d bits consumed past the last byte, %d taken for cut\n",
              flujos, minimo, maximo, falsas);
  for (int k = minimo; k <= maximo && k < 64; ++k) std::printf("  %d bits past: %d streams\n", k, veces[k]);
  const char* nombres[] = {"1 byte", "2 bytes", "4 bytes", "16 bytes", "1000 bytes", "random point"};
  for (int k = 0; k < 6; ++k)
    if (porCorte[k].cortes > 0)
      std::printf("cut by %-12s %4d cuts, %4d caught (%5.1f%%), %4d of them refused\n", nombres[k],
                  porCorte[k].cortes, porCorte[k].cogidos,
                  100.0 * porCorte[k].cogidos / porCorte[k].cortes, porCorte[k].rechazados);
  return 0;
}
