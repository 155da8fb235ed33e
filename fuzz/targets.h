// The fuzz targets' bodies: each takes arbitrary bytes, drives one entry point
// of the library the way the programs do, and checks what must hold whatever
// the bytes. Shared by the libFuzzer drivers (fuzz_*.cpp, built by build.sh)
// and by the regression suite of the normal build, which replays every input
// that once failed through these same functions.
//
// Each returns "" when the input was handled soundly, or what went wrong.
// Crashes, leaks and undefined behaviour are the sanitizers' to catch.
#pragma once
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "coder/ZALcoder.h"
#include "coder/ZALextension.h"
#include "image/ImagenLuminanciaES.h"
#include "fuzz/labels.h"
#include "wavelet/wavelets.h"

namespace zalfuzz {

// Inputs announcing bigger planes are skipped: they are valid, but filling a
// large plane costs each run far more time than it brings coverage. The code
// paths are the same at every size; the size limits have their own tests.
// ZALFUZZ_CELDAS raises both limits for a run on large planes (levels 8 and 9
// need sides of 512 and 1024).
#ifdef ZALFUZZ_CELDAS
constexpr int64_t kCeldasMaximas = ZALFUZZ_CELDAS;
constexpr int64_t kCeldasIdaYVuelta = ZALFUZZ_CELDAS;
#else
constexpr int64_t kCeldasMaximas = int64_t{1} << 16;
// The round trip codes each plane three times: smaller planes (levels 3 to 6).
constexpr int64_t kCeldasIdaYVuelta = int64_t{1} << 14;
#endif

constexpr signed char kBorde = 3;  // blankborder of the three programs

// A private folder for the files an input is written to (memory-backed when
// /dev/shm is there), removed when the process ends normally.
inline const std::string& Carpeta() {
  static const std::string carpeta = [] {
    std::string elegida;
    for (const char* base : {"/dev/shm", "/tmp"}) {
      std::string plantilla = std::string(base) + "/zalfuzz-XXXXXX";
      if (mkdtemp(plantilla.data()) != nullptr) {
        elegida = plantilla;
        break;
      }
    }
    static std::string paraBorrar;
    paraBorrar = elegida;
    std::atexit([] {
      std::error_code ec;
      if (!paraBorrar.empty()) std::filesystem::remove_all(paraBorrar, ec);
    });
    return elegida;
  }();
  return carpeta;
}

inline std::string Ruta(const char* nombre) { return Carpeta() + "/" + nombre; }

inline std::string Escribe(const char* nombre, const uint8_t* data, size_t size) {
  const std::string ruta = Ruta(nombre);
  FILE* f = std::fopen(ruta.c_str(), "wb");
  if (f != nullptr) {
    if (size > 0) std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  return ruta;
}

inline bool Existe(const std::string& ruta) {
  struct stat st;
  return stat(ruta.c_str(), &st) == 0;
}

inline int64_t Tamano(const std::string& ruta) {
  struct stat st;
  return stat(ruta.c_str(), &st) == 0 ? int64_t(st.st_size) : -1;
}

// Bits of a stream from its start, most significant first; bytes past the
// end read as 0xFF, as the bit file reads them.
inline uint32_t BitsIniciales(const uint8_t* data, size_t size, int desde, int cuantos) {
  uint32_t v = 0;
  for (int i = desde; i < desde + cuantos; ++i) {
    const size_t byte = size_t(i) / 8;
    const int bit = byte < size ? (data[byte] >> (7 - i % 8)) & 1 : 1;
    v = v << 1 | uint32_t(bit);
  }
  return v;
}

inline std::string Texto(const char* formato, long long a = 0, long long b = 0, long long c = 0) {
  char buffer[256];
  std::snprintf(buffer, sizeof buffer, formato, a, b, c);
  return buffer;
}

// Float values equal, or both NaN (their payloads are not part of the format).
inline bool MismoValor(float a, float b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  uint32_t x, y;
  std::memcpy(&x, &a, 4);
  std::memcpy(&y, &b, 4);
  return x == y;
}

// ------------------------------------------------------------------ decoder

// The bytes as a compressed file, through ZALdecod's road: decode, inverse
// transform, samples rounded to bytes.
inline std::string Decodificador(const uint8_t* data, size_t size) {
  // The width and height are the stream's first 26 bits, unchanged.
  const int64_t anchoCab = BitsIniciales(data, size, 0, 13), altoCab = BitsIniciales(data, size, 13, 13);
  if (anchoCab * altoCab > kCeldasMaximas) return "";
  const std::string ruta = Escribe("in.zal", data, size);

  signed char rplanes = 0, levels = 0;
  float quant = 0;
  int ancho = 0, alto = 0;
  float* plano = reinterpret_cast<float*>(&ancho);  // must be replaced
  ZALFinFlujo fin;
  const int codigo = ZALDecodificador(&rplanes, &levels, &quant, &ancho, &alto, &plano, ruta.c_str(), kBorde, &fin);
  char mensaje[128];
  ZALCheckError(codigo, mensaje);
  if (codigo != 0) return plano == nullptr ? "" : Texto("error %lld left a plane behind", codigo);
  if (plano == nullptr) return "success without a plane";
  std::string fallo;
  if (ancho != anchoCab || alto != altoCab) fallo = "sides differ from the header's";
  // Cut exactly when more bits were consumed than a whole stream of this size allows.
  if (fin.bytes != int64_t(size) || fin.truncado != (fin.bits > 8 * fin.bytes + 13))
    fallo = Texto("%lld bits consumed of %lld bytes, cut: %lld", fin.bits, fin.bytes, fin.truncado);
  // A true size only from an extension, and one the padding can give.
  const int64_t margen = int64_t(2) << std::clamp<int>(levels, 0, 9);
  if (fin.extension ? fin.ancho < 1 || fin.alto < 1 || fin.ancho > ancho || fin.alto > alto ||
                          ancho - fin.ancho >= margen || alto - fin.alto >= margen
                    : fin.ancho != ancho || fin.alto != alto)
    fallo = Texto("true size %lld x %lld, extension %lld", fin.ancho, fin.alto, fin.extension);
  if (ancho < 1 || alto < 1 || ancho > 8191 || alto > 8191 || rplanes < 2 || rplanes > 12 || levels < 3 || levels > 9)
    fallo = Texto("accepted header %lld x %lld, levels %lld", ancho, alto, levels);
  const int64_t paso = int64_t(ancho) + kBorde;
  for (int64_t y = 0; y < alto && fallo.empty(); ++y)
    for (int64_t x = ancho; x < paso; ++x)
      if (plano[y * paso + x] != 0.0f) fallo = "a spare sample was written";
  if (fallo.empty()) {
    const int inversa = TransformaWaveletInversa(levels, ancho, alto, plano, kBorde);
    if (inversa != 0) fallo = Texto("inverse transform refused a decoded plane: %lld", inversa);
    std::vector<int> enteros(size_t(paso) * size_t(alto));
    Buffer_ftoi(ancho, alto, plano, enteros.data(), kBorde);
  }
  std::free(plano);
  return fallo;
}

// ------------------------------------------------------------------ loaders

// Checks a loaded image: both twins agree, every sample is a byte value or -1
// (a byte past the end of the file), and the image survives a save in
// `extension` and a reload, -1 coming back as 0.
inline std::string CompruebaCarga(const char* entrada, int anchoEntrada, int altoEntrada,
                                  const char* extension) {
  const std::string ruta = Ruta(entrada);
  int ancho = anchoEntrada, alto = altoEntrada;
  float* centinelaF = reinterpret_cast<float*>(&ancho);
  float* plano = centinelaF;
  const int codigo = CargaImagenLuminancia(ruta.c_str(), &ancho, &alto, &plano, kBorde);
  int anchoI = anchoEntrada, altoI = altoEntrada;
  int* centinelaI = &anchoI;
  int* planoI = centinelaI;
  const int codigoI = CargaImagenLuminancia(ruta.c_str(), &anchoI, &altoI, &planoI, kBorde);
  char mensaje[128];
  ImagenCheckError(codigo, mensaje);

  std::string fallo;
  if (codigo != codigoI) fallo = Texto("the twins disagree: %lld and %lld", codigo, codigoI);
  if (codigo != 0) {
    if (plano != centinelaF && plano != nullptr) fallo = "a failed load left a plane";
    if (planoI != centinelaI && planoI != nullptr) fallo = "a failed load left a plane";
    if (plano != centinelaF) std::free(plano);
    if (planoI != centinelaI) std::free(planoI);
    return fallo;
  }
  if (plano == centinelaF || plano == nullptr || planoI == centinelaI || planoI == nullptr) {
    if (plano != centinelaF) std::free(plano);
    if (planoI != centinelaI) std::free(planoI);
    return "success without a plane";
  }
  if (ancho != anchoI || alto != altoI) fallo = "the twins give different sizes";
  if (ancho < 1 || alto < 1 || int64_t(ancho) * alto > (int64_t{1} << 28))
    fallo = Texto("accepted size %lld x %lld", ancho, alto);
  const int64_t paso = int64_t(ancho) + kBorde;
  for (int64_t y = 0; y < alto && fallo.empty(); ++y)
    for (int64_t x = 0; x < ancho; ++x) {
      const float f = plano[y * paso + x];
      const int i = planoI[y * paso + x];
      if (!(f >= -1.0f && f <= 255.0f && f == std::floor(f)) || float(i) != f) {
        fallo = Texto("sample %lld,%lld reads %lld", x, y, i);
        break;
      }
    }

  if (fallo.empty()) {
    const std::string salida = Ruta((std::string("out.") + extension).c_str());
    const int guardado = GuardaImagenLuminancia(salida.c_str(), ancho, alto, plano, kBorde);
    if (guardado != 0) fallo = Texto("saving a loaded image failed: %lld", guardado);
    int anchoR = 0, altoR = 0;
    float* releido = nullptr;
    if (fallo.empty()) {
      // A RAW file's size is given on entry, as ZALdecod does for its reference.
      anchoR = ancho;
      altoR = alto;
      const int recarga = CargaImagenLuminancia(salida.c_str(), &anchoR, &altoR, &releido, kBorde);
      if (recarga != 0) fallo = Texto("reloading a saved image failed: %lld", recarga);
    }
    if (fallo.empty() && (anchoR != ancho || altoR != alto)) fallo = "the reloaded size differs";
    for (int64_t y = 0; y < alto && fallo.empty(); ++y)
      for (int64_t x = 0; x < ancho; ++x)
        if (releido[y * paso + x] != std::max(plano[y * paso + x], 0.0f)) {
          fallo = Texto("reloaded sample %lld,%lld differs", x, y);
          break;
        }
    std::free(releido);
    std::remove(salida.c_str());
  }
  std::free(plano);
  std::free(planoI);
  return fallo;
}

inline bool Grande(int64_t ancho, int64_t alto) {
  if (ancho < 0) ancho = -ancho;
  if (alto < 0) alto = -alto;
  return ancho * alto > kCeldasMaximas;
}

// The bytes as a PGM file.
inline std::string CargadorPGM(const uint8_t* data, size_t size) {
  const std::string ruta = Escribe("in.pgm", data, size);
  FILE* f = std::fopen(ruta.c_str(), "rb");
  if (f == nullptr) return "cannot reopen the input";
  int ancho = 0, alto = 0;
  if (LeeCabeceraPGM(f, &ancho, &alto) == 0) {  // on an error it has closed the stream
    std::fclose(f);
    if (Grande(ancho, alto)) return "";
  }
  return CompruebaCarga("in.pgm", 0, 0, "pgm");
}

// The bytes as a BMP file.
inline std::string CargadorBMP(const uint8_t* data, size_t size) {
  const std::string ruta = Escribe("in.bmp", data, size);
  FILE* f = std::fopen(ruta.c_str(), "rb");
  if (f == nullptr) return "cannot reopen the input";
  int ancho = 0, alto = 0, pad = 0;
  const int cabecera = LeeCabeceraBMPLuminancia(f, &ancho, &alto, &pad);
  std::fclose(f);
  if (cabecera == 0 && Grande(ancho, alto)) return "";
  return CompruebaCarga("in.bmp", 0, 0, "bmp");
}

// The bytes as a RAW image with its dimension file: the first byte is the
// length of the dimension file's text, which follows; the rest is the image.
inline std::string CargadorRAW(const uint8_t* data, size_t size) {
  size_t texto = 0;
  if (size > 0) {
    texto = std::min<size_t>(data[0], size - 1);
    ++data;
    --size;
  }
  Escribe("in.txt", data, texto);
  Escribe("in.raw", data + texto, size - texto);
  int ancho = 0, alto = 0;
  if (CargaRawDimensiones(Ruta("in.raw").c_str(), &ancho, &alto) == 0 && Grande(ancho, alto)) return "";
  return CompruebaCarga("in.raw", 0, 0, "raw");
}

// The bytes as a PNG file, read as the other loaders are, then as luma: the
// luma read may only lift a colour refusal (its data may still be corrupt)
// and must give a grey image's samples unchanged.
inline std::string CargadorPNG(const uint8_t* data, size_t size) {
  if (size >= 24) {  // the header's sides, big-endian at bytes 16 and 20
    const int64_t ancho = int64_t(BitsIniciales(data, size, 128, 32)), alto = int64_t(BitsIniciales(data, size, 160, 32));
    if (ancho <= 65535 && alto <= 65535 && Grande(ancho, alto)) return "";
  }
  const std::string ruta = Escribe("in.png", data, size);
  std::string fallo = CompruebaCarga("in.png", 0, 0, "png");
  if (!fallo.empty()) return fallo;
  int ancho = 0, alto = 0, anchoL = 0, altoL = 0;
  float *plano = nullptr, *luma = nullptr;
  const int codigo = CargaImagenLuminancia(ruta.c_str(), &ancho, &alto, &plano, kBorde);
  const int codigoL = CargaImagenLuminancia(ruta.c_str(), &anchoL, &altoL, &luma, kBorde, kCargaLuma);
  const int kColor = 14, kLectura = 4;
  if (codigo == kColor ? codigoL != 0 && codigoL != kLectura : codigoL != codigo)
    fallo = Texto("read plainly %lld, as luma %lld", codigo, codigoL);
  else if (codigo == 0 && (ancho != anchoL || alto != altoL))
    fallo = "the luma read changes a grey image's size";
  const int64_t paso = int64_t(ancho) + kBorde;
  for (int64_t y = 0; codigo == 0 && fallo.empty() && y < alto; ++y)
    if (std::memcmp(plano + y * paso, luma + y * paso, size_t(ancho) * sizeof(float)) != 0)
      fallo = Texto("the luma read changes row %lld of a grey image", y);
  std::free(plano);
  std::free(luma);
  return fallo;
}

// --------------------------------------------------------------- round trip

// Bytes of the input read in turn; past the end, zeros.
struct Lector {
  const uint8_t* data;
  size_t size;
  size_t pos = 0;
  uint8_t Byte() { return pos < size ? data[pos++] : 0; }
  uint32_t Palabra() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | Byte();
    return v;
  }
};

// Arbitrary small planes and parameters through the encoder, then the
// decoder: the decoder must give back exactly the value that the encoder's
// label of each cell implies, the size-only encoder must agree with the file,
// and every refusal must leave no file.
inline std::string IdaYVuelta(const uint8_t* data, size_t size) {
  Lector in{data, size};
  const signed char rplanes = static_cast<signed char>(in.Byte() % 16);   // 2..12 valid
  const signed char levels = static_cast<signed char>(in.Byte() % 11);    // 3..9 valid
  const uint8_t lados = in.Byte();
  const uint8_t modo = in.Byte();
  const uint32_t bitsQuant = in.Palabra();
  const signed char borde = static_cast<signed char>(int(in.Byte() % 5) - 1);  // -1..3

  // Sides: multiples of 2^(levels+1) up to a size cap; a flag adds 8 to the
  // width, which only levels 2 or below can take.
  const int unidad = 1 << (std::min<int>(std::max<int>(levels, 0), 9) + 1);
  int ancho = unidad * (1 + (lados & 3)), alto = unidad * (1 + (lados >> 2 & 3));
  while (int64_t(ancho) * alto > kCeldasIdaYVuelta && alto > unidad) alto -= unidad;
  while (int64_t(ancho) * alto > kCeldasIdaYVuelta && ancho > unidad) ancho -= unidad;
  if (lados & 0x80) ancho += 8;
  if (int64_t(ancho) * alto > 2 * kCeldasIdaYVuelta) return "";

  // The parameter: any bit pattern, or a plain value from 1/16 to 64.
  float quant;
  if (modo & 0x80) {
    std::memcpy(&quant, &bitsQuant, 4);
  } else {
    quant = float(1 + (bitsQuant & 0xFF)) / 16.0f * float(1 << (bitsQuant >> 8 & 3));
  }

  // The plane: raw float bit patterns, bytes scaled by a power of two, or an
  // image of bytes through the forward transform, as the encoder program does.
  const int bordeReal = std::max<int>(borde, 0);
  const int64_t paso = int64_t(ancho) + bordeReal;
  std::vector<float> plano(size_t(paso) * size_t(alto) + 4, 0.0f);
  const size_t inicio = in.pos;
  auto siguiente = [&]() -> uint8_t {
    if (in.pos >= in.size) in.pos = inicio;  // the rest of the input, over and over
    return in.Byte();
  };
  const int tipo = modo % 3;
  const float escala = std::ldexp(1.0f, int(modo >> 2 & 15) - 4);
  for (int64_t y = 0; y < alto; ++y)
    for (int64_t x = 0; x < ancho; ++x) {
      float v = 0.0f;
      if (in.size > inicio) {
        if (tipo == 0) {
          uint32_t b = 0;
          for (int i = 0; i < 4; ++i) b = b << 8 | siguiente();
          std::memcpy(&v, &b, 4);
        } else {
          v = tipo == 1 ? float(siguiente()) : float(static_cast<int8_t>(siguiente())) * escala;
        }
      }
      plano[size_t(y * paso + x)] = v;
    }
  if (tipo == 1 && levels >= 0) TransformaWavelet(levels, ancho, alto, plano.data(), bordeReal);

  const std::string ruta = Ruta("rt.zal");
  std::remove(ruta.c_str());
  std::vector<float> etiquetas = plano, copia = plano;
  const bool rd = modo & 0x40;  // labels chosen by rate and distortion
  const int codigo = ZALCodificador(rplanes, levels, quant, ancho, alto, etiquetas.data(), ruta.c_str(), borde, rd);
  int64_t bytes = -1;
  const int codigoTamano =
      ZALCodificadorTamano(rplanes, levels, quant, ancho, alto, copia.data(), borde, &bytes, -1, false, rd);
  char mensaje[128];
  ZALCheckError(codigo, mensaje);
  if (codigo != codigoTamano) return Texto("the size-only encoder says %lld, the encoder %lld", codigoTamano, codigo);
  if (codigo != 0) return Existe(ruta) ? Texto("refusal %lld left a file", codigo) : "";
  if (bytes != Tamano(ruta)) return Texto("size-only %lld bytes, file %lld", bytes, Tamano(ruta));
  if (std::memcmp(etiquetas.data(), copia.data(), etiquetas.size() * sizeof(float)) != 0)
    return "the two encoders label differently";
  // Bytes after the stream change nothing: with this flag the file carries an
  // extension (a true width one less), which the decoder must find there.
  const bool conExtension = lados & 0x40;
  if (conExtension) {
    std::vector<uint8_t> b(static_cast<size_t>(bytes));
    FILE* f = std::fopen(ruta.c_str(), "r+b");
    const bool leido = f && std::fread(b.data(), 1, b.size(), f) == b.size() && std::fseek(f, 0, SEEK_END) == 0;
    const auto e = ZALConstruyeExtension(ZALCrc32(0, b.data(), b.size()), ancho - 1, alto);
    const bool escrito = leido && std::fwrite(e.data(), 1, e.size(), f) == e.size();
    if (f) std::fclose(f);
    if (!escrito) return "cannot append the extension";
  }

  signed char r = 0, l = 0;
  float q = 0;
  int w = 0, h = 0;
  float* salida = nullptr;
  ZALFinFlujo fin;
  const int decodificado = ZALDecodificador(&r, &l, &q, &w, &h, &salida, ruta.c_str(), borde, &fin);
  std::remove(ruta.c_str());
  if (decodificado != 0) return Texto("the decoder refuses the encoder's file: %lld", decodificado);
  std::string fallo;
  if (w != ancho || h != alto || r != rplanes || l != levels || !MismoValor(q, quant))
    fallo = "the header comes back changed";
  // A whole stream: 6 to 13 bits consumed past its last byte, never taken for a cut one.
  if (fin.truncado || fin.bits - 8 * bytes < 6 || fin.bits - 8 * bytes > 13)
    fallo = Texto("%lld bits consumed of a whole stream of %lld bytes", fin.bits, bytes);
  if (fin.extension != conExtension || fin.ancho != ancho - conExtension || fin.alto != alto)
    fallo = Texto("true size %lld x %lld, extension %lld", fin.ancho, fin.alto, fin.extension);
  const int anchoLL = ancho >> levels, altoLL = alto >> levels;
  for (int y = 0; y < alto && fallo.empty(); ++y)
    for (int x = 0; x < ancho; ++x) {
      const int32_t etiqueta = zaltest::LabelAt(etiquetas.data(), int(paso), x, y);
      const float esperado = zaltest::DecodedFromLabel(etiqueta, x < anchoLL && y < altoLL, rplanes, quant);
      if (!MismoValor(salida[int64_t(y) * paso + x], esperado)) {
        fallo = Texto("cell %lld,%lld: label %lld decodes wrongly", x, y, etiqueta);
        break;
      }
    }
  std::free(salida);
  return fallo;
}

}  // namespace zalfuzz
