// The coder's fast paths (vector labelling on every instruction set the
// processor has, labelling on two threads, row
// walks, the arithmetic coder's fast paths) against the plain paths kept
// beside them: on transformed images and on raw planes full of awkward
// values, both must leave the same labels, write the same bytes and decode
// the same planes. Also: encodes running at once on two threads give what
// they give one after the other.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "coder/ZALcoder.h"
#include "entropy/CodificadorAritmetico.h"
#include "image/ImagenLuminanciaES.h"
#include "support/support.h"
#include "wavelet/wavelets.h"

namespace {

using zaltest::Plane;
using zaltest::TempDir;
using Bytes = std::vector<uint8_t>;

// Plain paths of both modules on, for the life of the object.
struct Referencia {
  Referencia() {
    ZALReferencia(true);
    CodificadorAritmeticoReferencia(true);
  }
  ~Referencia() {
    ZALReferencia(false);
    CodificadorAritmeticoReferencia(false);
  }
};

struct Resultado {
  int codigo = -1;
  Bytes fichero;
  std::vector<float> etiquetas;  // the plane after coding (bit patterns compared)
  int64_t tamano = -1;           // of the size-only encoder
  int decodificado = -1;
  std::vector<float> plano;      // the decoded plane
};

Resultado Codifica(const Plane& coef, float q, int rplanes, int levels) {
  TempDir dir;
  const std::string path = dir.File("x.zal");
  Resultado r;
  Plane p = coef;
  r.codigo = ZALCodificador(static_cast<signed char>(rplanes), static_cast<signed char>(levels), q,
                            p.width, p.height, p.data(), path.c_str(), 3);
  r.fichero = zaltest::ReadFile(path);
  r.etiquetas = p.cells;
  Plane s = coef;
  ZALCodificadorTamano(static_cast<signed char>(rplanes), static_cast<signed char>(levels), q,
                       s.width, s.height, s.data(), 3, &r.tamano);
  if (r.codigo != 0) return r;
  signed char rr, l;
  float qq;
  int w, h;
  float* plano = nullptr;
  r.decodificado = ZALDecodificador(&rr, &l, &qq, &w, &h, &plano, path.c_str(), 3);
  if (plano != nullptr) r.plano.assign(plano, plano + size_t(h) * (w + 3));
  std::free(plano);
  return r;
}

// Bit patterns, so that labels stored over floats (and NaN cells) compare exactly.
bool MismosBits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

void Compara(const Plane& coef, float q, int rplanes, int levels) {
  SCOPED_TRACE(std::to_string(coef.width) + "x" + std::to_string(coef.height) + " q " +
               std::to_string(q) + " r " + std::to_string(rplanes) + " l " + std::to_string(levels));
  Resultado plano;
  {
    Referencia ref;
    plano = Codifica(coef, q, rplanes, levels);
  }
  // Every set of labelling kernels the processor runs, the baseline included.
  for (int simd : {0, 1, 2}) {
    if (ZALSimd(simd) != simd) continue;
    SCOPED_TRACE("labelling kernels " + std::to_string(simd));
    const Resultado rapido = Codifica(coef, q, rplanes, levels);
    ASSERT_EQ(rapido.codigo, plano.codigo);
    EXPECT_TRUE(MismosBits(rapido.etiquetas, plano.etiquetas));
    EXPECT_EQ(rapido.fichero, plano.fichero);
    EXPECT_EQ(rapido.tamano, plano.tamano);
    EXPECT_EQ(rapido.decodificado, plano.decodificado);
    EXPECT_TRUE(MismosBits(rapido.plano, plano.plano));
  }
  ZALSimd(-1);
}

Plane Transformada(Plane image, int levels) {
  EXPECT_EQ(TransformaWavelet(levels, image.width, image.height, image.data(), image.gap), 0);
  return image;
}

// A plane of raw coefficients (no transform) that sits on the quantizer's
// edges: values just around UmbralPre and around the points where the
// quantized magnitude steps (to umbral, to 2 umbral, and others), both
// signs, zeros of both signs, a few huge values, and either magnitudes near
// the format's largest or (`raros`) NaN and infinities.
Plane Bordes(int w, int h, float q, int rplanes, uint64_t seed, bool raros) {
  zaltest::Rng rng(seed);
  Plane p(w, h);
  const int umbral = 1 << rplanes;
  const float inversa = float(1.0 / (double(q) + double(q)));
  const float pre = float((umbral - 1.5) / double(inversa));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      float v = 0.0f;
      const uint32_t tipo = rng.Below(100);
      if (tipo < 55) {
        v = float(rng.Unit() * pre);  // below the threshold
      } else if (tipo < 70) {
        v = std::nextafter(pre, tipo & 1 ? 0.0f : 1e30f);  // just around UmbralPre
        if (tipo < 62) v = pre;
      } else if (tipo < 92) {
        // n - 1.5 + a tiny offset, times 2 quant: where floor(|v|/(2q) + 1.5) steps
        const int n = rng.Below(3) == 0 ? umbral : rng.Below(2) ? 2 * umbral : int(rng.Below(8 * umbral));
        v = float((n - 1.5) * 2.0 * double(q));
        for (int k = int(rng.Below(3)); k > 0; --k) v = std::nextafter(v, rng.Below(2) ? 0.0f : 1e30f);
      } else if (tipo < 96) {
        v = rng.Below(2) ? -0.0f : 0.0f;
      } else if (tipo < 99) {
        v = float(rng.Unit() * 1e6);
      } else if (raros) {
        const float raro[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(), 3e38f};
        v = raro[rng.Below(3)];
      } else {
        // magnitudes of 2^28 to 2^29, the largest the format carries
        v = float((double(1 << 28) + rng.Below(1 << 28)) * 2.0 * double(q));
      }
      p.at(x, y) = rng.Below(2) ? -v : v;
    }
  return p;
}

}  // namespace

TEST(CoderExactness, TransformedImages) {
  struct Caso {
    Plane image;
    float q;
    int rplanes, levels;
  };
  const Caso casos[] = {
      {zaltest::TexturedImage(1024, 1024, 8), 0.5f, 2, 6},  // big enough for the second thread
      // Oblong planes on two threads: the decoder's companion takes the
      // regions of the plane by quarters and halves of each side.
      {zaltest::NoisyImage(2048, 512, 9), 1.5f, 2, 3},
      {zaltest::TexturedImage(512, 2048, 10), 0.7f, 3, 8},
      {zaltest::SmoothImage(512, 512, 1), 0.9f, 2, 6},
      {zaltest::TexturedImage(512, 256, 2), 0.4f, 2, 5},
      {zaltest::NoisyImage(256, 256, 3), 2.0f, 3, 4},
      {zaltest::TexturedImage(128, 64, 4), 6.0f, 2, 3},
      {zaltest::SmoothImage(96, 160, 5), 0.05f, 12, 4},   // fine quantization, many raw bits
      {zaltest::NoisyImage(16, 16, 6), 1.0f, 2, 3},       // quadrants of 2, 4 and 8 cells
      {zaltest::FlatImage(64, 64, 200.0f), 0.89f, 2, 3},
  };
  for (const Caso& c : casos) Compara(Transformada(c.image, c.levels), c.q, c.rplanes, c.levels);
}

TEST(CoderExactness, RawPlanesOnTheQuantizersEdges) {
  uint64_t seed = 1;
  for (int rplanes : {2, 3, 5, 9, 12})
    for (float q : {0.3f, 1.0f, 7.5f}) {
      Compara(Bordes(64, 48, q, rplanes, seed++, false), q, rplanes, 3);
      Compara(Bordes(128, 128, q, rplanes, seed++, true), q, rplanes, 5);  // may be refused: alike
    }
  Compara(Bordes(512, 512, 0.7f, 2, 99, false), 0.7f, 2, 6);
}

TEST(CoderExactness, Photographs) {
  const std::string shared = zaltest::SharedDir();
  if (shared.empty()) GTEST_SKIP() << "shared photographs not available";
  struct Foto {
    const char* file;
    float q;
    int rplanes;
  };
  for (const Foto& f : {Foto{"camera_512x512.pgm", 1.35f, 2}, Foto{"coins_384x256.pgm", 0.6f, 2},
                        Foto{"moon_512x512.pgm", 3.0f, 4}}) {
    const std::string path = shared + "/images/" + f.file;
    int w = 0, h = 0;
    float* data = nullptr;
    ASSERT_EQ(CargaImagenLuminancia(path.c_str(), &w, &h, &data, 3), 0) << path;
    Plane p(w, h);
    std::memcpy(p.data(), data, p.cells.size() * sizeof(float));
    std::free(data);
    Compara(Transformada(p, 6), f.q, f.rplanes, 6);
  }
}

namespace {

// One size-only encode of the concurrency test, and its size coded alone.
struct Encargo {
  const Plane* coef;
  float q;
  int rplanes, levels;
  int64_t limite;
  int codigo = -1;
  int64_t tamano = -1;
};

void Mide(Encargo& e, bool unHilo) {
  Plane p = *e.coef;
  e.tamano = -1;
  e.codigo = ZALCodificadorTamano(static_cast<signed char>(e.rplanes), static_cast<signed char>(e.levels),
                                  e.q, p.width, p.height, p.data(), 3, &e.tamano, e.limite, unHilo);
}

}  // namespace

// Two threads code size-only streams at the same time (each with or without
// its own helper threads, which a 1024x1024 plane starts), while a third
// writes a file: every size, code and file must be those of the same calls
// made one after the other.
TEST(CoderExactness, EncodesOnTwoThreadsAtOnce) {
  const Plane grande = Transformada(zaltest::TexturedImage(1024, 1024, 11), 6);
  const Plane suave = Transformada(zaltest::SmoothImage(512, 384, 12), 5);
  const Plane ruido = Transformada(zaltest::NoisyImage(256, 256, 13), 4);
  const Plane bordes = Bordes(128, 128, 1.0f, 3, 14, true);
  std::vector<Encargo> lista = {
      {&grande, 0.5f, 2, 6, -1}, {&grande, 1.7f, 2, 6, 20000}, {&grande, 3.0f, 4, 6, -1},
      {&suave, 0.3f, 2, 5, -1},  {&suave, 0.9f, 3, 5, 1000},   {&ruido, 2.0f, 3, 4, -1},
      {&ruido, 0.05f, 12, 4, -1}, {&bordes, 1.0f, 3, 5, -1},   {&bordes, 7.5f, 2, 3, -1},
  };
  std::vector<Encargo> solos = lista;
  for (Encargo& e : solos) Mide(e, false);

  const Plane fichero = Transformada(zaltest::TexturedImage(512, 512, 15), 6);
  TempDir dir;
  Plane f = fichero;
  ASSERT_EQ(ZALCodificador(2, 6, 0.8f, f.width, f.height, f.data(), dir.File("solo.zal").c_str(), 3), 0);

  for (const bool unHilo : {false, true}) {
    SCOPED_TRACE(unHilo ? "one thread each" : "helper threads");
    // Each thread takes the list from a different end, so that different
    // planes and parameters overlap.
    std::vector<Encargo> a = lista, b(lista.rbegin(), lista.rend());
    int escrito = -1;
    std::thread otro([&] {
      for (Encargo& e : b) Mide(e, unHilo);
    });
    std::thread escritor([&] {
      Plane g = fichero;
      escrito = ZALCodificador(2, 6, 0.8f, g.width, g.height, g.data(), dir.File("junto.zal").c_str(), 3);
    });
    for (Encargo& e : a) Mide(e, unHilo);
    otro.join();
    escritor.join();
    for (size_t i = 0; i < lista.size(); ++i) {
      const Encargo& s = solos[i];
      SCOPED_TRACE("q " + std::to_string(s.q) + " r " + std::to_string(s.rplanes) + " limit " +
                   std::to_string(s.limite));
      EXPECT_EQ(a[i].codigo, s.codigo);
      EXPECT_EQ(a[i].tamano, s.tamano);
      EXPECT_EQ(b[lista.size() - 1 - i].codigo, s.codigo);
      EXPECT_EQ(b[lista.size() - 1 - i].tamano, s.tamano);
    }
    EXPECT_EQ(escrito, 0);
    EXPECT_EQ(zaltest::ReadFile(dir.File("junto.zal")), zaltest::ReadFile(dir.File("solo.zal")));
  }
}
