// The C API against the programs (ZALcod's streams, ZALdecod's images and PSNR, Bppquest's
// trials and file), on many threads; every bad call's status; the exports; the header alone.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zal/zal.h>

#include <algorithm>
#include <bitset>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <thread>

#include "coder/ZALextension.h"
#include "support/support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace zaltest;

struct Imagen { int w = 0, h = 0; Bytes px; Plane plano; };  // px: rows of w bytes

Imagen DePlano(const Plane& p) {
  Imagen im{p.width, p.height, {}, p};
  for (int y = 0; y < p.height; ++y)
    for (int x = 0; x < p.width; ++x) im.px.push_back(uint8_t(std::clamp(p.at(x, y), 0.0f, 255.0f)));
  return im;
}

// Rows of w bytes `extra` bytes further apart, the gaps full of noise.
Bytes ConPaso(const Bytes& px, int w, int h, size_t extra) {
  Bytes b((w + extra) * h, 0xA5);
  for (int y = 0; y < h; ++y) std::memcpy(&b[y * (w + extra)], &px[size_t(y) * w], w);
  return b;
}

// The last n bytes of a PGM file: its samples.
Bytes Muestras(const std::string& pgm, size_t n) {
  const Bytes b = ReadFile(pgm);
  return b.size() < n ? Bytes() : Bytes(b.end() - n, b.end());
}

std::string Texto(const char* formato, double v) {
  char b[64];
  std::snprintf(b, sizeof b, formato, v);
  return b;
}

// The rest of the line after `clave` in the programs' output.
std::string Tras(const std::string& salida, const std::string& clave) {
  const size_t i = salida.find(clave);
  return i == std::string::npos ? "" : salida.substr(i + clave.size(), salida.find('\n', i) - i - clave.size());
}

zal_params Parametros(int levels, int rplanes, float quant) {
  zal_params p;
  zal_default_params(&p);
  p.levels = levels, p.rplanes = rplanes, p.quant = quant;
  return p;
}

// zal_decode of bytes put right before an unreadable page: a read past them faults.
int DecodificaAlBorde(const Bytes& b, zal_info* info, uint8_t** imagen) {
  static const size_t pagina = size_t(sysconf(_SC_PAGESIZE)), sitio = size_t(4) << 20;
  static uint8_t* const zona = static_cast<uint8_t*>(
      mmap(nullptr, sitio + pagina, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  static const int guarda = zona == MAP_FAILED ? -1 : mprotect(zona + sitio, pagina, PROT_NONE);
  EXPECT_TRUE(guarda == 0 && b.size() <= sitio);
  std::memcpy(zona + sitio - b.size(), b.data(), b.size());
  return zal_decode(zona + sitio - b.size(), b.size(), info, imagen);
}

struct Caso { const char* nombre; Imagen im; int levels, rplanes; float quant; size_t extra; };
struct Resultado { Bytes flujo, imagen; size_t tamano = 0; zal_info info{}, cabecera{}; double psnr = 0; };

// Every call of the library on one case's image, its rows `extra` bytes apart.
Resultado Usa(const Caso& c) {
  const int w = c.im.w, h = c.im.h;
  const size_t paso = w + c.extra;
  const zal_params p = Parametros(c.levels, c.rplanes, c.quant);
  const Bytes pixels = ConPaso(c.im.px, w, h, c.extra);
  uint8_t* flujo = nullptr;
  uint8_t* imagen = nullptr;
  size_t n = 0;
  Resultado r;
  EXPECT_EQ(zal_encode(pixels.data(), w, h, paso, &p, &flujo, &n), 0);
  EXPECT_EQ(zal_encoded_size(pixels.data(), w, h, paso, &p, &r.tamano), 0);
  EXPECT_EQ(r.tamano, n);
  EXPECT_EQ(zal_decode(flujo, n, &r.info, &imagen), 0);
  EXPECT_EQ(zal_read_header(flujo, n, &r.cabecera), 0);
  r.flujo.assign(flujo, flujo + n);
  r.imagen = imagen ? Bytes(imagen, imagen + size_t(w) * h) : Bytes(size_t(w) * h);
  r.psnr = zal_psnr(pixels.data(), ConPaso(r.imagen, w, h, c.extra).data(), w, h, paso);
  zal_free(flujo);
  zal_free(imagen);
  return r;
}

TEST(Library, EncodeSizeDecodeAndPsnrAreTheProgramsCutOrWholeOnAnyThread) {
  const Caso casos[] = {
      {"smooth 64x64", DePlano(SmoothImage(64, 64, 1)), 3, 2, 0.895660f, 0},
      {"textured 256x128", DePlano(TexturedImage(256, 128, 2)), 6, 3, 4.0f, 7},
      {"noisy 96x160", DePlano(NoisyImage(96, 160, 3)), 4, 5, 0.3f, 13},
      {"smooth 128x384", DePlano(SmoothImage(128, 384, 4)), 5, 12, 12.0f, 1},
      {"flat 32x32", DePlano(FlatImage(32, 32, 200.0f)), 3, 2, 1.0f, 64},
      {"textured 1024x1024", DePlano(TexturedImage(1024, 1024, 9)), 3, 2, 0.5f, 0},
      {"smooth 256x128", DePlano(SmoothImage(256, 128, 10)), 4, 4, 2.5f, 0},
      {"noisy 128x128", DePlano(NoisyImage(128, 128, 11)), 5, 3, 1.5f, 3},
  };
  TempDir dir;
  const std::string pgm = dir.File("in.pgm"), zal = dir.File("f.zal"), dec = dir.File("d.pgm");
  std::vector<Resultado> solos, juntos(std::size(casos));
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.nombre);
    WritePgm(pgm, c.im.plano);
    int codifica = -1, estado = -1;
    Shell(BinDir() + "/ZALcod -i " + pgm + " -o " + zal + " -l " + std::to_string(c.levels) + " -r " +
              std::to_string(c.rplanes) + " -q " + Texto("%.9g", c.quant), &codifica);
    const std::string compara = Shell(BinDir() + "/ZALdecod -i " + zal + " -o " + dec + " -c " + pgm, &estado);
    ASSERT_EQ(codifica | estado, 0) << compara;
    const Resultado& r = solos.emplace_back(Usa(c));
    EXPECT_EQ(r.flujo, ReadFile(zal));
    for (const zal_info& i : {r.info, r.cabecera}) {
      EXPECT_EQ(std::vector<int>({i.width, i.height, i.levels, i.rplanes}),
                std::vector<int>({c.im.w, c.im.h, c.levels, c.rplanes}));
      EXPECT_EQ(i.quant, c.quant);
    }
    EXPECT_EQ(Texto("%1.2f", r.psnr) + " dB", Tras(compara, "- PSNR of the compressed image: "));
    for (size_t corte : {r.flujo.size(), r.flujo.size() / 2, size_t(9)}) {  // as ZALdecod decodes the cut file
      SCOPED_TRACE(corte);
      const Bytes cortado(r.flujo.begin(), r.flujo.begin() + corte);
      WriteFile(zal, cortado);
      const std::string salida = Shell(BinDir() + "/ZALdecod -i " + zal + " -o " + dec, &estado);
      zal_info info;
      uint8_t* imagen = nullptr;
      const int codigo = DecodificaAlBorde(cortado, &info, &imagen);
      const bool truncado = codigo == 0 && info.flags == ZAL_INFO_TRUNCATED;  // every cut here is caught:
      EXPECT_EQ(codigo != 0 || truncado, corte < r.flujo.size());           // refused, or decoded as far as it goes
      EXPECT_EQ(codigo == 0 && !truncado, estado == 0) << salida;
      if (codigo != 0)
        EXPECT_NE(salida.find("(error #" + std::to_string(codigo) + ")"), std::string::npos) << salida;
      else
        EXPECT_TRUE(Bytes(imagen, imagen + r.imagen.size()) == Muestras(dec, r.imagen.size()) &&
                    salida == (truncado ? "\nWarning: the compressed file ends early; the image is incomplete\n" : ""))
            << salida;
      zal_free(imagen);
    }
  }
  std::vector<std::thread> hilos;  // every case again, all at once
  for (size_t i = 0; i < juntos.size(); ++i) hilos.emplace_back([&, i] { juntos[i] = Usa(casos[i]); });
  for (std::thread& h : hilos) h.join();
  for (size_t i = 0; i < juntos.size(); ++i)
    EXPECT_TRUE(juntos[i].flujo == solos[i].flujo && juntos[i].imagen == solos[i].imagen) << casos[i].nombre;
}

TEST(Library, RateSearchTakesBppquestsDecisions) {
  auto anota = +[](void* texto, float quant, int, double bpp) {  // each trial as Bppquest -v prints it
    *static_cast<std::string*>(texto) += "Quantization " + Texto("%f", quant) + ": " + Texto("%f", bpp) + " bpp\n";
    return 0;
  };
  struct CasoTasa { Imagen im; double bpp; float start; int levels, rplanes, keep, estado; unsigned flags = 0; };
  const CasoTasa casos[] = {
      {DePlano(SmoothImage(256, 256, 5)), 0.5, 0.0f, 6, 2, 0, 0},
      {DePlano(TexturedImage(128, 128, 6)), 1.0, 0.5f, 4, 2, 1, 0, ZAL_CHECKSUM},
      {DePlano(NoisyImage(64, 64, 7)), 0.001, 0.0f, 3, 3, 0, ZAL_STATUS_UNREACHABLE_RATE},
      // Rates count the extension over the true pixels: 14 bytes are 0.73 bpp of 17 x 9, 112 of 1 x 1 (whose
      // 21-byte stream alone would be 168).
      {DePlano(SmoothImage(17, 9, 8)), 4.0, 0.0f, 3, 2, 0, 0, ZAL_PAD},
      {DePlano(SmoothImage(1, 1, 8)), 200.0, 0.0f, 6, 2, 0, ZAL_STATUS_UNREACHABLE_RATE, ZAL_PAD},
      // Five levels' lowest rate (its 20-byte stream) is met only far above q = 100: not within the trials.
      {DePlano(TexturedImage(64, 64, 5)), 0.0390625, 0.0f, 5, 2, 0, ZAL_STATUS_NO_QUANT_FOUND},
  };
  TempDir dir;
  const std::string pgm = dir.File("in.pgm"), zal = dir.File("f.zal");
  for (const CasoTasa& c : casos) {
    WritePgm(pgm, c.im.plano);
    const std::string orden = BinDir() + "/Bppquest -i " + pgm + " -o " + zal + " -b " + Texto("%.9g", c.bpp) +
                              " -l " + std::to_string(c.levels) + " -r " + std::to_string(c.rplanes) +
                              (c.start > 0 ? " -s " + Texto("%.9g", c.start) : "") + (c.keep ? " -k" : "") +
                              (c.flags & ZAL_PAD ? " --pad" : "") + (c.flags & ZAL_CHECKSUM ? " --checksum" : "");
    for (const char* verbose : {" -v", ""}) {
      SCOPED_TRACE(orden + verbose);
      std::remove(zal.c_str());
      int estado = -1;
      const std::string salida = Shell(orden + verbose, &estado);
      std::string pruebas, lineas, linea;
      zal_params p = Parametros(c.levels, c.rplanes, 99.0f);
      p.flags = c.flags;
      uint8_t* flujo = nullptr;
      size_t n = 0;
      EXPECT_EQ(zal_encode_to_rate(c.im.px.data(), c.im.w, c.im.h, 0, c.bpp, c.start, &p, c.keep,
                                   *verbose ? anota : nullptr, &pruebas, &flujo, &n),
                c.estado);
      EXPECT_EQ(estado, c.estado == 0 ? 0 : 1);
      EXPECT_EQ(Bytes(flujo, flujo + n), ReadFile(zal));
      EXPECT_TRUE(c.estado != 0 || n * 8.0 / (c.im.w * c.im.h) <= c.bpp) << n;
      for (std::istringstream s(salida); std::getline(s, linea);)
        if (linea.rfind("Quantization ", 0) == 0) lineas += linea + "\n";
      EXPECT_EQ(pruebas, lineas);
      if (*verbose && c.estado == 0) {
        EXPECT_EQ(Texto("%f", p.quant), Tras(salida, "- finer quantization parameter= "));
        EXPECT_EQ(std::to_string(p.rplanes), Tras(salida, "- rplanes parameter (coarser quant)= "));
      }
      zal_free(flujo);
    }
  }
}

// ZAL_PAD codes any size as the image padded here by whole-sample symmetric reflection codes without
// flags, followed by the extension with the true size; ZAL_CHECKSUM adds the extension alone. Sizes
// count it; the decoded image cropped to the true size is the padded one's.
TEST(Library, PaddingAndTheExtension) {
  auto espejo = [](int i, int n) {
    while (n > 1 && i >= n) i = std::abs(2 * n - 2 - i);
    return n > 1 ? i : 0;
  };
  const struct { int w, h, levels; } casos[] = {{1, 1, 3},       {17, 9, 3},       {17, 9, 6},  {1000, 667, 6},
                                                {1920, 1080, 5}, {128, 64, 5},     {8064, 1, 6}};
  for (const auto& c : casos) {
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " levels " + std::to_string(c.levels));
    const Imagen im = DePlano(TexturedImage(c.w, c.h, 4));
    const int m = 2 << c.levels, W = (c.w + m - 1) / m * m, H = (c.h + m - 1) / m * m;
    Bytes relleno(size_t(W) * H);
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) relleno[size_t(y) * W + x] = im.px[size_t(espejo(y, c.h)) * c.w + espejo(x, c.w)];
    const struct { const Bytes& px; int w, h; unsigned flags; } usos[] = {
        {im.px, c.w, c.h, ZAL_PAD}, {relleno, W, H, 0}, {relleno, W, H, ZAL_CHECKSUM}};
    Bytes f[3];
    zal_info info[2];
    uint8_t* imagen[2] = {};
    for (int k = 0; k < 3; ++k) {
      zal_params p = Parametros(c.levels, 2, 0.9f);
      p.flags = usos[k].flags;
      uint8_t* out = nullptr;
      size_t n = 0, tamano = 0;
      EXPECT_EQ(zal_encode(usos[k].px.data(), usos[k].w, usos[k].h, 0, &p, &out, &n) |
                    zal_encoded_size(usos[k].px.data(), usos[k].w, usos[k].h, 0, &p, &tamano), 0);
      EXPECT_EQ(tamano, n);
      f[k].assign(out, out + n);
      EXPECT_TRUE(k == 2 || zal_decode(out, n, &info[k], &imagen[k]) == 0);
      zal_free(out);
    }
    Bytes conPad = f[1], conCrc = f[1];
    ZALAnadeExtension(conPad, c.w, c.h), ZALAnadeExtension(conCrc, W, H);
    EXPECT_TRUE(f[0] == conPad && f[2] == conCrc);
    for (int y = 0; y < c.h && imagen[0] && imagen[1]; ++y)
      ASSERT_EQ(std::memcmp(imagen[0] + size_t(y) * info[0].width, imagen[1] + size_t(y) * info[1].width, c.w), 0) << y;
    zal_free(imagen[0]), zal_free(imagen[1]);
  }
}

// ZAL_RDO: at the same target, streams the unchanged decoder reads into a better image; ZALcod --rdo
// and Bppquest --rdo make the library's streams (Bppquest's at or below the target, maybe at other levels).
TEST(Library, RdoBeatsTheDefaultAtEqualRate) {
  struct CasoRd { std::string foto; Imagen im; double bpp; int levels; };  // a photograph, or a generated image
  std::vector<CasoRd> casos = {{"", DePlano(TexturedImage(256, 256, 12)), 0.5, 5},
                               {"", DePlano(SmoothImage(128, 128, 13)), 1.0, 4}};
  const std::string foto = std::string(ZAL_SOURCE_DIR) + "/../shared/images/camera_512x512.pgm";
  if (Muestras(foto, 512 * 512).size() == 512 * 512) casos.push_back({foto, {512, 512, Muestras(foto, 512 * 512), {}}, 0.25, 6});
  TempDir dir;
  const std::string zal = dir.File("f.zal");
  for (const CasoRd& c : casos) {
    SCOPED_TRACE(c.foto + " " + std::to_string(c.im.w));
    double psnr[2];
    Bytes flujo[2];
    zal_params p;
    for (unsigned flags : {0u, ZAL_RDO}) {
      p = Parametros(c.levels, 2, 1.0f);
      p.flags = flags;
      uint8_t *f = nullptr, *imagen = nullptr;
      size_t n = 0;
      zal_info info;
      ASSERT_EQ(zal_encode_to_rate(c.im.px.data(), c.im.w, c.im.h, 0, c.bpp, 0, &p, 0, nullptr, nullptr, &f, &n), 0);
      EXPECT_LE(double(n) * 8, c.bpp * c.im.w * c.im.h);
      ASSERT_EQ(zal_decode(f, n, &info, &imagen), 0);
      psnr[flags != 0] = zal_psnr(c.im.px.data(), imagen, c.im.w, c.im.h, 0);
      flujo[flags != 0].assign(f, f + n);
      zal_free(f);
      zal_free(imagen);
    }
    EXPECT_GT(psnr[1], psnr[0] + 0.05);
    const std::string pgm = c.foto.empty() ? dir.File("in.pgm") : c.foto;
    if (c.foto.empty()) WritePgm(pgm, c.im.plano);
    const std::string nivel = " -l " + std::to_string(c.levels);
    Shell(BinDir() + "/ZALcod --rdo -i " + pgm + " -o " + zal + nivel + " -q " + Texto("%.9g", p.quant));
    EXPECT_EQ(ReadFile(zal), flujo[1]);
    const std::string salida = Shell(BinDir() + "/Bppquest --rdo -v -i " + pgm + " -o " + zal + nivel + " -b " +
                                     Texto("%g", c.bpp));
    const Bytes busqueda = ReadFile(zal);
    EXPECT_LE(double(busqueda.size()) * 8, c.bpp * c.im.w * c.im.h);
    if (Tras(salida, "- decomposition level= ") == std::to_string(c.levels)) {
      EXPECT_EQ(busqueda, flujo[1]) << salida;
    }
  }
}

// A stream of only a header: 16 x 16, quant 1 (or other bits), `capas` rplanes, levels 3, 5-bit symbol counts.
Bytes Cabecera(int capas, std::vector<int> simbolos, uint32_t quant = 0x3F800000) {
  std::string bits = "0000000010000" "0000000010000" + std::bitset<32>(quant).to_string();
  bits += std::bitset<5>(capas).to_string() + "0011";  // rplanes, levels
  for (int s : simbolos) bits += std::bitset<5>(s).to_string();
  Bytes b(16, 0);
  for (size_t i = 0; i < bits.size(); ++i) b[i / 8] |= uint8_t((bits[i] - '0') << (7 - i % 8));
  return b;
}

TEST(Library, EveryBadCallEndsInItsStatus) {
  const Bytes grande(size_t(1) << 20, 128);  // enough for every side tried, as a flat image
  const uint8_t* px = grande.data();
  uint8_t* out = nullptr;
  size_t n = 0;
  zal_info info;
  auto codifica = [&](void (*cambia)(zal_params&), int w = 96, int h = 96, size_t paso = 0) {
    zal_params p = Parametros(4, 2, 1.0f);
    cambia(p);
    const int estado = zal_encode(px, w, h, paso, &p, &out, &n);
    EXPECT_TRUE(estado == 0 || (out == nullptr && n == 0)) << estado;
    zal_free(out);
    return estado;
  };
  auto nada = +[](zal_params&) {};
  auto cancela = [](void*, float, int, double) { return 1; };
  zal_params p = Parametros(4, 2, 1.0f);
  const struct { const char* nombre; int estado, esperado; } casos[] = {
      {"null pixels", zal_encode(nullptr, 96, 96, 0, &p, &out, &n), 401},
      {"null params", zal_encode(px, 96, 96, 0, nullptr, &out, &n), 401},
      {"null out", zal_encode(px, 96, 96, 0, &p, nullptr, &n), 401},
      {"null size", zal_encoded_size(px, 96, 96, 0, &p, nullptr), 401},
      {"width 0", codifica(nada, 0), 401},
      {"negative height", codifica(nada, 96, -96), 401},
      {"stride below width", codifica(nada, 96, 96, 95), 401},
      {"stride overflows", codifica(nada, 96, 3, SIZE_MAX / 2), 401},
      {"unknown flag", codifica([](zal_params& q) { q.flags = 0x80000000u; }), 401},
      {"unknown flag beside ZAL_RDO", codifica([](zal_params& q) { q.flags = ZAL_RDO | 8; }), 401},
      {"reserved field", codifica([](zal_params& q) { q.reserved[5] = 1; }), 401},
      {"side above the loaders'", codifica(nada, 70000, 1), 112},
      {"side not a multiple of 2^levels", codifica([](zal_params& q) { q.levels = 6; }), 301},
      {"rplanes 13", codifica([](zal_params& q) { q.rplanes = 13; }), 202},
      {"rplanes 258 (not cut to 8 bits)", codifica([](zal_params& q) { q.rplanes = 258; }), 202},
      {"levels 2", codifica([](zal_params& q) { q.levels = 2; }), 205},
      {"levels 10", codifica([](zal_params& q) { q.levels = 10; }, 1024, 1024), 204},
      {"side not a multiple of 2^(levels+1)", codifica([](zal_params& q) { q.levels = 5; }), 206},
      {"side above 8191", codifica([](zal_params& q) { q.levels = 3; }, 8192, 64), 211},
      {"padded side above 8191", codifica([](zal_params& q) { q.levels = 6, q.flags = ZAL_PAD; }, 8065, 1), 211},
      {"quant too small", codifica([](zal_params& q) { q.quant = 1e-30f; }), 210},
      {"quant 0", codifica([](zal_params& q) { q.quant = 0.0f; }), 215},
      {"quant NaN", codifica([](zal_params& q) { q.quant = NAN; }), 215},
      {"decode null data", zal_decode(nullptr, 10, &info, &out), 401},
      {"decode null info", zal_decode(px, 100, nullptr, &out), 401},
      {"decode null pixels", zal_decode(px, 100, &info, nullptr), 401},
      {"header null", zal_read_header(nullptr, 4, &info), 401},
      {"empty stream", zal_decode(px, 0, &info, &out), 212},
      {"rplanes 1 in the header", zal_read_header(Cabecera(1, {3, 1, 1, 1}).data(), 16, &info), 212},
      {"quant NaN in the header", zal_read_header(Cabecera(2, {3, 1, 1, 1}, 0x7FC00000).data(), 16, &info), 212},
      {"quant -inf in the header", zal_decode(Cabecera(2, {3, 1, 1, 1}, 0xFF800000).data(), 16, &info, &out), 212},
      {"quant -1 in the header", zal_read_header(Cabecera(2, {3, 1, 1, 1}, 0xBF800000).data(), 16, &info), 212},
      {"quant 0 in the header", zal_read_header(Cabecera(2, {3, 1, 1, 1}, 0).data(), 16, &info), 212},
      {"LL model without symbols", zal_decode(Cabecera(2, {0, 1, 1, 1}).data(), 16, &info, &out), 213},
      {"rate 0", zal_encode_to_rate(px, 96, 96, 0, 0.0, 0, &p, 0, nullptr, nullptr, &out, &n), 401},
      {"rate NaN", zal_encode_to_rate(px, 96, 96, 0, NAN, 0, &p, 0, nullptr, nullptr, &out, &n), 401},
      {"start NaN", zal_encode_to_rate(px, 96, 96, 0, 1.0, NAN, &p, 0, nullptr, nullptr, &out, &n), 401},
      {"rate out null", zal_encode_to_rate(px, 96, 96, 0, 1.0, 0, &p, 0, nullptr, nullptr, nullptr, &n), 401},
      {"rate unreachable", zal_encode_to_rate(px, 96, 96, 0, 1e-4, 0, &p, 0, nullptr, nullptr, &out, &n), 402},
      {"cancelled", zal_encode_to_rate(px, 96, 96, 0, 1.0, 0, &p, 0, cancela, nullptr, &out, &n), 404},
  };
  for (const auto& c : casos) {
    EXPECT_EQ(c.estado, c.esperado) << c.nombre;
    EXPECT_STRNE(zal_strerror(c.esperado), "Unknown error") << c.esperado;
  }
  EXPECT_EQ(out, nullptr);  // left null by every failed call above
  EXPECT_TRUE(std::isnan(zal_psnr(px, nullptr, 96, 96, 0)));
  EXPECT_TRUE(std::isnan(zal_psnr(px, px, 96, 96, 50)));
  EXPECT_STREQ(zal_strerror(999), "Unknown error");
  EXPECT_STREQ(zal_strerror(210), "Quantization parameter too small for this image");
  EXPECT_EQ(zal_version(), unsigned(ZAL_VERSION_NUMBER));
}

// The extension after a stream: the true size and its flags (the image is the coded one cropped), other
// trailing bytes ignored (a first magic byte changed makes no extension), every field damaged or the file
// cut inside it refused; zal_read_header, which looks for the whole magic in the data's last 14 bytes, alike
// but for the cuts and the damaged magic (`oculta`: it sees no extension).
TEST(Library, ExtensionGivesTheTrueSizeOrRefusesTheFile) {
  const Imagen im = DePlano(TexturedImage(128, 64, 7));  // its stream: 13 bits consumed past the end
  const zal_params p = Parametros(5, 2, 1.0f);
  uint8_t* s = nullptr;
  size_t n = 0;
  ASSERT_EQ(zal_encode(im.px.data(), 128, 64, 0, &p, &s, &n), 0);
  const Bytes flujo(s, s + n);
  zal_free(s);
  zal_info info;
  uint8_t* llano = nullptr;
  ASSERT_EQ(zal_decode(flujo.data(), n, &info, &llano), 0);
  const uint32_t crc = ZALCrc32(0, flujo.data(), n);
  // The stream, then its extension for w x h with these flags (its CRC made right), byte `flip` changed, cut.
  auto con = [&](int w, int h, int flags = 0, int flip = -1, size_t keep = 14) {
    auto e = ZALConstruyeExtension(crc, w, h);
    e[9] = uint8_t(flags);
    const uint32_t c = ZALCrc32(crc, e.data(), 10);
    for (int k = 0; k < 4; ++k) e[10 + k] = uint8_t(c >> (24 - 8 * k));
    if (flip >= 0) e[flip] ^= 0x10;
    Bytes b = flujo;
    b.insert(b.end(), e.begin(), e.begin() + keep);
    return b;
  };
  Bytes otros = flujo;
  otros.insert(otros.end(), {0xA5, 'Z', 'A', 'L'});
  const unsigned kPC = ZAL_INFO_PADDED | ZAL_INFO_CHECKSUM;
  const struct { const char* nombre; Bytes b; int estado, w = 0, h = 0; unsigned flags = 0; bool oculta = false; } casos[] = {
      {"padded", con(100, 60), 0, 100, 60, kPC},          {"one side padded", con(128, 1), 0, 128, 1, kPC},
      {"checksum only", con(128, 64), 0, 128, 64, ZAL_INFO_CHECKSUM}, {"other bytes", otros, 0, 128, 64},
      {"first magic byte", con(100, 60, 0, 0), 0, 128, 64}, {"magic", con(100, 60, 0, 2), 217, 0, 0, 0, true},
      {"width", con(100, 60, 0, 5), 217},                  {"height", con(100, 60, 0, 6), 217},
      {"flags damaged", con(100, 60, 0, 8), 217},         {"CRC", con(100, 60, 0, 12), 217},
      {"flags 1", con(100, 60, 1), 218},                   {"width 0", con(0, 60), 219},
      {"width above", con(129, 60), 219},                  {"height 64 below", con(100, 0), 219},
      {"width 64 below", con(64, 60), 219},                {"cut in the magic", con(100, 60, 0, -1, 2), 216, 0, 0, 0, true},
      {"cut in the CRC", con(100, 60, 0, -1, 13), 216, 0, 0, 0, true}};
  for (const auto& c : casos) {
    SCOPED_TRACE(c.nombre);
    uint8_t* imagen = nullptr;
    EXPECT_EQ(zal_decode(c.b.data(), c.b.size(), &info, &imagen), c.estado);
    Bytes recorte;  // the plain decode cut to w x h
    for (int y = 0; y < c.h; ++y) recorte.insert(recorte.end(), llano + y * 128, llano + y * 128 + c.w);
    EXPECT_TRUE(c.estado || (info.width == c.w && info.height == c.h && info.flags == c.flags &&
                             Bytes(imagen, imagen + recorte.size()) == recorte));
    zal_free(imagen);
    EXPECT_EQ(zal_read_header(c.b.data(), c.b.size(), &info), c.oculta ? 0 : c.estado);
    EXPECT_TRUE((c.estado && !c.oculta) || (info.width == (c.oculta ? 128 : c.w) && info.flags == (c.oculta ? 0 : c.flags)));
  }
  zal_free(llano);
}

TEST(Library, SharedObjectExportsOnlyTheApiAndTheHeaderStandsAlone) {
  int estado = -1;
  std::istringstream lineas(Shell("LC_ALL=C nm -D --defined-only " + std::string(ZAL_SHARED_LIB), &estado));
  ASSERT_EQ(estado, 0);
  std::string nombres;  // in byte order of their names
  for (std::string linea; std::getline(lineas, linea);) nombres += linea.substr(linea.rfind(' ') + 1) + " ";
  EXPECT_EQ(nombres, "ZAL_1 zal_decode@@ZAL_1 zal_default_params@@ZAL_1 zal_encode@@ZAL_1 zal_encode_to_rate@@ZAL_1 "
                     "zal_encoded_size@@ZAL_1 zal_free@@ZAL_1 zal_psnr@@ZAL_1 zal_read_header@@ZAL_1 "
                     "zal_strerror@@ZAL_1 zal_version@@ZAL_1 ");
  EXPECT_NE(Shell("readelf -d " + std::string(ZAL_SHARED_LIB)).find("soname: [libzal.so.1]"), std::string::npos);
  const std::string dir = ZAL_SOURCE_DIR;  // and the header alone compiles as C99 and as C++
  for (std::string compilador : {ZAL_C_COMPILER " -std=c99", ZAL_CXX_COMPILER " -x c++ -std=c++20"}) {
    const std::string salida = Shell(compilador + " -pedantic -Wall -Wextra -Werror -fsyntax-only -I" + dir +
                                     "/include " + dir + "/tests/zal_header.c 2>&1", &estado);
    EXPECT_EQ(estado, 0) << compilador << ": " << salida;
  }
}

}  // namespace
