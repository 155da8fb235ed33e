// Bppquest's shortcuts (sizes of repeated trials remembered, the first
// trial measured from its file, the likely next trial coded ahead on a
// second thread) must not change a bit: the program's trial lines and file
// are checked against the plain search, which codes every trial into the
// output file and measures its size.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "coder/ZALcoder.h"
#include "support/support.h"
#include "test_apps_run.h"
#include "wavelet/wavelets.h"

namespace {

using zalapps::Ejecuta;
using zalapps::Texto;

struct Busqueda {
  float target = 1.0f;
  float startq = 0.1f;
  int rplanes = 2;
  int level = 3;
  bool keep = false;
};

struct Resultado {
  std::string lineas;  // the verbose trial lines
  std::vector<uint8_t> fichero;
  std::string final;   // the report's rplanes and parameter lines
};

// The plain search: every trial coded into `fichero` and measured by the
// file's size; the file is coded again at the returned parameter.
Resultado BuscaSencilla(const zaltest::Plane& imagen, const Busqueda& b, const std::string& fichero) {
  const int w = imagen.width, h = imagen.height;
  zaltest::Plane transformada = imagen;
  EXPECT_EQ(TransformaWavelet(static_cast<signed char>(b.level), w, h, transformada.data(), 3), 0);
  Resultado r;
  const float paso = 0.1f;
  float step = paso, q = b.startq, result = b.startq;
  signed char rplanes = static_cast<signed char>(b.rplanes), rplanesResult = rplanes;
  for (int prueba = 0; prueba < 1000; ++prueba) {
    zaltest::Plane copia = transformada;
    EXPECT_EQ(ZALCodificador(rplanes, static_cast<signed char>(b.level), q, w, h, copia.data(), fichero.c_str(), 3), 0);
    const float rate = float(double(zaltest::ReadFile(fichero).size()) * 8.0 / (double(w) * double(h)));
    r.lineas += Texto("Quantization %f: %f bpp\n", q, rate);
    bool atascada = false;
    if (rate == b.target) {
      result = q;
      rplanesResult = rplanes;
      break;
    } else if (rate < b.target) {
      result = q;
      rplanesResult = rplanes;
      do {
        q = result - step;
        step = step * paso;
      } while (!(q > 0.0f) && step > 1e-6);
    } else {
      atascada = q + step == q;
      q = q + step;
    }
    if (b.keep && q > 1.0) {
      step = paso;
      q = b.startq;
      ++rplanes;
      atascada = false;
    }
    if (atascada || !(step > 1e-6)) break;
  }
  zaltest::Plane copia = transformada;
  EXPECT_EQ(ZALCodificador(rplanesResult, static_cast<signed char>(b.level), result, w, h, copia.data(), fichero.c_str(), 3), 0);
  r.fichero = zaltest::ReadFile(fichero);
  r.final = Texto("- rplanes parameter (coarser quant)= %d\n- finer quantization parameter= %f\n",
                  rplanesResult, result);
  return r;
}

std::vector<std::string> Argumentos(const Busqueda& b, const std::string& entrada, const std::string& salida) {
  std::vector<std::string> args = {"-i", entrada, "-o", salida, "-l", Texto("%d", b.level),
                                   "-b", Texto("%.9g", b.target), "-s", Texto("%.9g", b.startq),
                                   "-r", Texto("%d", b.rplanes)};
  if (b.keep) args.push_back("-k");
  return args;
}

std::string Lineas(const std::string& salida) {
  std::string lineas;
  for (size_t i = salida.find("Quantization "); i != std::string::npos; i = salida.find("Quantization ", i + 1))
    lineas += salida.substr(i, salida.find('\n', i) + 1 - i);
  return lineas;
}

struct Caso {
  const char* nombre;
  zaltest::Plane imagen;
  Busqueda busqueda;
};

std::vector<Caso> Casos() {
  return {
      {"textured 1 bpp", zaltest::TexturedImage(128, 128, 7), {}},
      {"textured 0.25 bpp, 4 levels", zaltest::TexturedImage(128, 128, 8), {0.25f, 0.1f, 2, 4, false}},
      {"smooth 0.4 bpp, 5 levels, start above", zaltest::SmoothImage(256, 128, 3), {0.4f, 0.7f, 2, 5, false}},
      {"noisy 2.2 bpp, rplanes 3", zaltest::NoisyImage(64, 64, 4), {2.2f, 0.1f, 3, 3, false}},
      {"textured keep", zaltest::TexturedImage(128, 64, 9), {1.0f, 0.1f, 2, 3, true}},
      {"smooth start far above", zaltest::SmoothImage(128, 128, 5), {0.8f, 3.0f, 2, 3, false}},
  };
}

TEST(BppquestExact, TrialsAndFileMatchThePlainSearch) {
  zaltest::TempDir dir;
  const std::string entrada = dir.File("in.pgm"), salida = dir.File("out.zal"),
                    sencillo = dir.File("plain.zal");
  for (const Caso& c : Casos()) {
    SCOPED_TRACE(c.nombre);
    zaltest::WritePgm(entrada, c.imagen);
    const Resultado esperado = BuscaSencilla(c.imagen, c.busqueda, sencillo);

    auto args = Argumentos(c.busqueda, entrada, salida);
    const auto callado = Ejecuta("Bppquest", args);
    EXPECT_EQ(callado.salida, "");
    ASSERT_EQ(callado.estado, 0);
    EXPECT_EQ(zaltest::ReadFile(salida), esperado.fichero);

    args.push_back("-v");
    const auto r = Ejecuta("Bppquest", args);
    ASSERT_EQ(r.estado, 0) << r.salida;
    EXPECT_EQ(Lineas(r.salida), esperado.lineas);
    EXPECT_NE(r.salida.find(esperado.final), std::string::npos) << r.salida;
    EXPECT_EQ(zaltest::ReadFile(salida), esperado.fichero);
  }
}

// Without --verbose a trial stops coding once its stream passes the largest
// size whose rate is not above the target; a stream of exactly that size
// must still be measured whole, as a rate equal to the target ends the search.
TEST(BppquestExact, TrialOfExactlyTheTargetsSizeIsNotCutShort) {
  zaltest::TempDir dir;
  const std::string entrada = dir.File("in.pgm"), salida = dir.File("out.zal"), cod = dir.File("cod.zal");
  const int w = 128, h = 128, level = 3;
  const zaltest::Plane imagen = zaltest::TexturedImage(w, h, 7);
  zaltest::WritePgm(entrada, imagen);
  zaltest::Plane transformada = imagen;
  ASSERT_EQ(TransformaWavelet(level, w, h, transformada.data(), 3), 0);
  std::vector<uint8_t> streams[2];
  const float qs[2] = {0.1f, 0.1f + 0.1f};  // the first two trials of the default start
  for (int i = 0; i < 2; ++i) {
    zaltest::Plane copia = transformada;
    ASSERT_EQ(ZALCodificador(2, level, qs[i], w, h, copia.data(), cod.c_str(), 3), 0);
    streams[i] = zaltest::ReadFile(cod);
  }
  ASSERT_GT(streams[0].size(), streams[1].size());
  const float target = float(double(streams[1].size()) * 8.0 / (w * h));
  Busqueda b;
  b.target = target;
  const auto callado = Ejecuta("Bppquest", Argumentos(b, entrada, salida));
  ASSERT_EQ(callado.estado, 0) << callado.salida;
  EXPECT_EQ(zaltest::ReadFile(salida), streams[1]);
  auto args = Argumentos(b, entrada, salida);
  args.push_back("-v");
  const auto r = Ejecuta("Bppquest", args);
  EXPECT_EQ(Lineas(r.salida), Texto("Quantization 0.100000: %f bpp\n", double(float(double(streams[0].size()) * 8 / (w * h)))) +
                                  Texto("Quantization 0.200000: %f bpp\n", target));
}

// The first trial's size is read from the output file only when that is a
// regular file; a device reports no size of what was written to it.
TEST(BppquestExact, OutputThatIsNotARegularFile) {
  zaltest::TempDir dir;
  const std::string entrada = dir.File("in.pgm"), salida = dir.File("out.zal");
  zaltest::WritePgm(entrada, zaltest::TexturedImage(128, 128, 7));
  const Busqueda b;
  auto args = Argumentos(b, entrada, salida);
  args.push_back("-v");
  const auto fichero = Ejecuta("Bppquest", args);
  ASSERT_EQ(fichero.estado, 0);
  args[3] = "/dev/null";
  const auto dispositivo = Ejecuta("Bppquest", args);
  ASSERT_EQ(dispositivo.estado, 0) << dispositivo.salida;
  EXPECT_EQ(Lineas(dispositivo.salida), Lineas(fichero.salida));
}

// A run with trials coded ahead forced on ("1") or off ("0"), whatever the
// image's size.
zalapps::Resultado EjecutaAdelantado(const char* modo, const std::vector<std::string>& args) {
  setenv("ZAL_BPPQUEST_AHEAD", modo, 1);
  auto r = Ejecuta("Bppquest", args);
  unsetenv("ZAL_BPPQUEST_AHEAD");
  return r;
}

// With trials coded ahead, every run prints the same text, ends with the same
// status and leaves the same file (or none) as without: on the searches
// above, and on searches that end in an error after some trials or at once.
TEST(BppquestExact, TrialsCodedAheadChangeNothing) {
  zaltest::TempDir dir;
  const std::string entrada = dir.File("in.pgm"), salida = dir.File("out.zal");
  struct Corrida {
    std::string nombre;
    zaltest::Plane imagen;
    std::vector<std::string> args;
  };
  std::vector<Corrida> corridas;
  for (const Caso& c : Casos()) {
    auto args = Argumentos(c.busqueda, entrada, salida);
    corridas.push_back({c.nombre, c.imagen, args});
    args.push_back("-v");
    corridas.push_back({std::string(c.nombre) + " -v", c.imagen, args});
  }
  const zaltest::Plane textura = zaltest::TexturedImage(64, 64, 5);
  const std::vector<std::string> base = {"-i", entrada, "-o", salida, "-l", "3", "-v"};
  auto con = [&](std::vector<std::string> extra) {
    extra.insert(extra.begin(), base.begin(), base.end());
    return extra;
  };
  corridas.push_back({"keep beyond the coder's rplanes", textura, con({"-k", "-s", "1.2"})});
  corridas.push_back({"first trial refused", textura, con({"-s", "1e-30"})});
  corridas.push_back({"target below the lowest rate", textura, con({"-b", "0.001"})});
  corridas.push_back({"step that cannot move q", textura, con({"-b", "0.188"})});
  corridas.push_back({"never at zero", textura, con({"-b", "20"})});
  corridas.push_back({"output folder missing", textura, {"-i", entrada, "-o", dir.File("no/out.zal"), "-l", "3", "-v"}});

  for (const Corrida& c : corridas) {
    SCOPED_TRACE(c.nombre);
    zaltest::WritePgm(entrada, c.imagen);
    std::remove(salida.c_str());
    const auto enTurno = EjecutaAdelantado("0", c.args);
    const bool habia = zaltest::FileExists(salida);
    const auto fichero = zaltest::ReadFile(salida);
    std::remove(salida.c_str());
    const auto adelantado = EjecutaAdelantado("1", c.args);
    EXPECT_EQ(adelantado.salida, enTurno.salida);
    EXPECT_EQ(adelantado.estado, enTurno.estado);
    EXPECT_EQ(adelantado.errores, "");
    EXPECT_EQ(zaltest::FileExists(salida), habia);
    EXPECT_EQ(zaltest::ReadFile(salida), fichero);
  }
}

}  // namespace
