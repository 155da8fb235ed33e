// End-to-end runs of Bppquest: banner, help, option parsing, listing, the
// search and its ends, and the file it leaves on disk.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstdio>

#include "coder/ZALcoder.h"
#include "image/ImagenLuminanciaES.h"
#include "support/support.h"
#include "test_apps_run.h"
#include "wavelet/wavelets.h"

namespace {

using zalapps::Ejecuta;
using zalapps::Mensaje;
using zalapps::Texto;

const char* const kOpciones =
    "    --input $file      Image to be analyzed\n"
    "    --output $file     Output file containing the compressed image\n"
    "                       encoded at the specified bit rate\n"
    "    --width $num       Specify the image width (only for raw imput files)\n"
    "    --height $num      Specify the image height (only for raw imput files)\n"
    "    --bitrate $num     Desired bit rate in bits per pixel (bpp)\n"
    "                       (defalt bitrate=1.000000 bpp)\n"
    "    --start $num       Starting search point for the quantization parameter\n"
    "                       (defalt starting quant=0.100000)\n"
    "    --rplanes $num     Number of less significant bits to be removed\n"
    "                       (defalt rplanes=2)\n"
    "    --level $num       Number of decomposition levels for the wavelet\n"
    "                       transform (defalt level=6)\n"
    "    --keep             Keep the quantization parameter always within the\n"
    "                       interval [0, 1] (increasing rplanes if necessary)\n"
    "    --verbose          Enable verbose mode (specially useful to see the\n"
    "                       quantization parameter associated to the bit rate)\n"
    "    --help             Display this help\n";

constexpr int kLado = 64;

struct Prueba {
  float q, rate;
};

// The "Quantization %f: %f bpp" lines of a verbose run.
std::vector<Prueba> Pruebas(const std::string& salida) {
  std::vector<Prueba> pruebas;
  for (size_t i = salida.find("Quantization "); i != std::string::npos;
       i = salida.find("Quantization ", i + 1)) {
    Prueba p;
    if (std::sscanf(salida.c_str() + i, "Quantization %f: %f bpp\n", &p.q, &p.rate) == 2)
      pruebas.push_back(p);
  }
  return pruebas;
}

// The parameters a compressed file was coded with.
struct Cabecera {
  signed char rplanes = 0, level = 0;
  float quant = 0;
  bool valida = false;
};
Cabecera LeeCabecera(const std::string& fichero) {
  Cabecera c;
  int w = 0, h = 0;
  float* plane = nullptr;
  c.valida = ZALDecodificador(&c.rplanes, &c.level, &c.quant, &w, &h, &plane, fichero.c_str(), 3) == 0;
  std::free(plane);
  return c;
}

std::string F(float v) { return Texto("%f", v); }

class Bppquest : public ::testing::Test {
 protected:
  void SetUp() override {
    entrada = dir.File("in.pgm");
    salida = dir.File("out.zal");
    zaltest::WritePgm(entrada, zaltest::TexturedImage(kLado, kLado, 5));
  }
  zalapps::Resultado Busca(std::vector<std::string> extra) {
    std::vector<std::string> args = {"-i", entrada, "-o", salida, "-l", "3"};
    args.insert(args.end(), extra.begin(), extra.end());
    return Ejecuta("Bppquest", args);
  }
  // Rate of a file of this image, as the search computes it.
  static float Tasa(const std::string& fichero) {
    return float(double(zaltest::ReadFile(fichero).size()) * 8.0 / (kLado * kLado));
  }
  zaltest::TempDir dir;
  std::string entrada, salida;
};

TEST(BppquestCommandLine, BannerHelpAndParsingErrors) {
  zalapps::CompruebaBannerYAyuda("Bppquest", "Find bit rate", kOpciones);
  zalapps::CompruebaErroresDeSintaxis(
      "Bppquest", {
                      {{"-b", "0"}, "Incorrect bit rate"},
                      // Read as numbers that are not above 0: refused as well.
                      {{"--bitrate", " -1"}, "Incorrect bit rate"},
                      {{"-b", "nan"}, "Incorrect bit rate"},
                      {{"-s", "0"}, "Incorrect starting quantization parameter"},
                      {{"--start", " -0.5"}, "Incorrect starting quantization parameter"},
                      {{"-s", "1e-50"}, "Incorrect starting quantization parameter"},
                      {{"-i", "a.raw", "-h", "0"}, "Incorrect height"},
                      {{"-w", "x"}, "Incorrect width"},
                      {{"-r", "512"}, "Incorrect rplanes parameter"},
                      {{"-l"}, "Incorrect level parameter"},
                      {{"-k", "a.pgm"}, "Parameter a.pgm unknown"},
                      {{"-i", "a.pgm", "--help"}, "Parameter --help unknown"},
                      {{"-i", "a.pgm", "-t"}, "Parameter -t unknown"},
                      {{"-o", "b.zal", "-v"}, "Input file name not specified"},
                      {{"-i", "a.pgm", "-k"}, "Output file name not specified"},
                      {{"-i", "a.raw", "-o", "b.zal", "-h", "64"},
                       "Width and height must be specified for raw image files"},
                  });
}

// The listing and the report of a search; that the file and the trials are
// those of the plain search, quiet or not, is test_apps_bppquest_exact's.
TEST_F(Bppquest, ListingAndReportOfTheReturnedParameter) {
  const auto r = Busca({"-v", "-w", "5"});
  ASSERT_EQ(r.estado, 0) << r.salida;
  const Cabecera c = LeeCabecera(salida);
  ASSERT_TRUE(c.valida);
  const auto pruebas = Pruebas(r.salida);
  ASSERT_GT(pruebas.size(), 6u);
  EXPECT_EQ(F(pruebas.back().q), F(c.quant));  // the last trial is the returned one
  const std::string texto = r.salida;
  EXPECT_EQ(texto.substr(0, texto.find("Quantization")),
            "\nINPUT PARAMETERS:\n-input image=" + entrada + "\n-output image=" + salida +
                "\n-bit rate=1.000000 bpp\n-starting quant=0.100000\n-rplanes=2\n"
                "-decomposition level=3\n-keep=disabled\n-verbose=enabled\n"
                "\nParsing warning: Width and height are ignored for non raw image files\n"
                "\nLOADING INPUT IMAGE\n\nAPPLYING WAVELET TRANSFORM\n\nSEARCHING FOR THE BIT RATE\n");
  EXPECT_EQ(texto.substr(texto.find("\nSEARCH COMPLETED:\n")),
            "\nSEARCH COMPLETED:\n" + Texto("- Final bit rate (R) %f bpp\n", double(Tasa(salida))) +
                "- rplanes parameter (coarser quant)= 2\n- finer quantization parameter= " +
                F(c.quant) + "\n");
  EXPECT_LE(Tasa(salida), 1.0f);
}

TEST_F(Bppquest, RateEqualToTheTargetEndsTheSearchAtOnce) {
  const std::string cod = dir.File("cod.zal");
  ASSERT_EQ(Ejecuta("ZALcod", {"-i", entrada, "-o", cod, "-l", "3", "-q", "0.1"}).estado, 0);
  const auto r = Busca({"-v", "-b", Texto("%.9g", Tasa(cod))});
  ASSERT_EQ(r.estado, 0) << r.salida;
  const auto pruebas = Pruebas(r.salida);
  ASSERT_EQ(pruebas.size(), 1u);
  EXPECT_EQ(F(pruebas[0].q), "0.100000");
  EXPECT_EQ(zaltest::ReadFile(salida), zaltest::ReadFile(cod));
}

// With the default start, a first trial below the target would step back to 0.
TEST_F(Bppquest, NeverCodesAtZeroOrBelow) {
  const auto r = Busca({"-v", "-b", "20"});
  ASSERT_EQ(r.estado, 0) << r.salida;
  const auto pruebas = Pruebas(r.salida);
  ASSERT_GE(pruebas.size(), 2u);
  EXPECT_EQ(F(pruebas[0].q), "0.100000");
  EXPECT_EQ(F(pruebas[1].q), "0.090000");  // one finer step back instead
  for (const Prueba& p : pruebas) EXPECT_GT(p.q, 0.0f);
  EXPECT_EQ(F(LeeCabecera(salida).quant), F(pruebas.back().q));
}

TEST_F(Bppquest, TargetBelowTheLowestRateIsRefusedAtOnce) {
  const auto r = Busca({"-b", "0.001"});
  const std::string inicio =
      "\nError in bit rate search: \nThe bit rate 0.001000 bpp cannot be reached: the lowest "
      "rate with rplanes=2 is ";
  float minima = 0;
  ASSERT_EQ(r.salida.substr(0, inicio.size()), inicio);
  ASSERT_EQ(std::sscanf(r.salida.c_str() + inicio.size(), "%f", &minima), 1);
  EXPECT_GT(minima, 0.001f);
  EXPECT_EQ(r.salida.substr(inicio.size()), F(minima) + " bpp\n");
  EXPECT_EQ(r.estado, 1);
  EXPECT_FALSE(zaltest::FileExists(salida));
}

// Above 32 a float cannot move by the last step (about 1e-6): the search ends
// there, and the file is coded again at the parameter it returns.
TEST_F(Bppquest, EndsWhenTheStepCannotMoveTheParameter) {
  const auto r = Busca({"-v", "-b", "0.188"});
  ASSERT_EQ(r.estado, 0) << r.salida;
  const auto pruebas = Pruebas(r.salida);
  ASSERT_GT(pruebas.size(), 300u);
  EXPECT_GT(pruebas.back().q, 32.0f);
  EXPECT_GT(pruebas.back().rate, 0.188f);  // ended on a trial above the target
  const Cabecera c = LeeCabecera(salida);
  EXPECT_NE(F(c.quant), F(pruebas.back().q));
  EXPECT_NE(r.salida.find("- finer quantization parameter= " + F(c.quant) + "\n"), std::string::npos);
  EXPECT_LT(Tasa(salida), 0.188f);
}

TEST_F(Bppquest, StopsAfterAThousandTrials) {
  // The lowest rate of five levels is only met far above q = 100.
  const std::string minimo = dir.File("min.zal");
  ASSERT_EQ(Ejecuta("ZALcod", {"-i", entrada, "-o", minimo, "-l", "5", "-q", "1e30"}).estado, 0);
  const std::string objetivo = Texto("%.9g", Tasa(minimo));
  const auto r = Busca({"-v", "-l", "5", "-b", objetivo});
  EXPECT_EQ(r.estado, 1);
  const auto pruebas = Pruebas(r.salida);
  ASSERT_EQ(pruebas.size(), 1000u);
  EXPECT_NE(r.salida.find("\nError in bit rate search: \nNo quantization parameter found for " +
                          F(std::stof(objetivo)) + " bpp (the search ended after 1000 trials, at "
                          "quantization " + F(pruebas.back().q) + ")\n"),
            std::string::npos)
      << r.salida.substr(r.salida.size() - 300);
  EXPECT_EQ(F(LeeCabecera(salida).quant), F(pruebas.back().q));  // the last trial's file
}

// --keep raises rplanes instead of passing q = 1, and overrides a listed
// rplanes (saying so); without it the listed one is used.
TEST_F(Bppquest, KeepBoundsTheParameterAndOverridesRplanes) {
  auto r = Busca({"-v", "-k", "-r", "4", "-b", "1"});
  ASSERT_EQ(r.estado, 0) << r.salida;
  EXPECT_NE(r.salida.find("-rplanes=4\n-decomposition level=3\n-keep=enabled\n-verbose=enabled\n"
                          "\nParsing warning: Keep option overrides rplanes parameter specification,\n"
                          "                 default rplanes parameter will be used\n"
                          "\nLOADING INPUT IMAGE\n"),
            std::string::npos)
      << r.salida;
  for (const Prueba& p : Pruebas(r.salida)) EXPECT_LE(p.q, 1.0f);
  const Cabecera c = LeeCabecera(salida);
  EXPECT_GT(c.rplanes, 2);
  EXPECT_NE(r.salida.find(Texto("- rplanes parameter (coarser quant)= %d\n", c.rplanes)), std::string::npos);
  EXPECT_LE(Tasa(salida), 1.0f);
  r = Busca({"-k", "-r", "4", "-b", "2.5"});
  ASSERT_EQ(r.estado, 0);
  EXPECT_EQ(LeeCabecera(salida).rplanes, 4);
}

// Above 1.1 every update restarts with one more bit plane, until the coder
// refuses rplanes; the last file coded stays on disk.
TEST_F(Bppquest, KeepBeyondTheCodersLimitEndsWithItsError) {
  const auto r = Busca({"-v", "-k", "-s", "1.2"});
  EXPECT_EQ(r.estado, 1);
  const auto pruebas = Pruebas(r.salida);
  EXPECT_EQ(pruebas.size(), 11u);  // rplanes 2 to 12
  for (const Prueba& p : pruebas) EXPECT_EQ(F(p.q), "1.200000");
  const std::string error = "\nError in ZAL (" + salida + "):\n" + Mensaje(ZALCheckError, 2) + "\n";
  ASSERT_GE(r.salida.size(), error.size());
  EXPECT_EQ(r.salida.substr(r.salida.size() - error.size()), error);
  const Cabecera c = LeeCabecera(salida);
  EXPECT_EQ(c.rplanes, 12);
  EXPECT_EQ(F(c.quant), "1.200000");
}

TEST_F(Bppquest, ErrorFramesOfEachStage) {
  const std::string falta = dir.File("missing.pgm");
  auto r = Ejecuta("Bppquest", {"-i", falta, "-o", salida});
  EXPECT_EQ(r.salida, "\nError in " + falta + ": \n" + Mensaje(ImagenCheckError, 4) + "\n");
  EXPECT_EQ(r.estado, 1);
  r = Busca({"-l", "7"});
  EXPECT_EQ(r.salida, "\nError in wavelet transform: \n" + Mensaje(WaveletsCheckError, 1) + "\n");
  EXPECT_EQ(r.estado, 1);
  r = Busca({"-l", "6"});
  EXPECT_EQ(r.salida, "\nError in ZAL (" + salida + "):\n" + Mensaje(ZALCheckError, 6) + "\n");
  EXPECT_EQ(r.estado, 1);
  // The coder's refusal of a tiny parameter comes before any trial line.
  r = Busca({"-v", "-s", "1e-30"});
  EXPECT_EQ(r.salida.substr(r.salida.find("\nSEARCHING FOR THE BIT RATE\n")),
            "\nSEARCHING FOR THE BIT RATE\n\nError in ZAL (" + salida + "):\n" +
                Mensaje(ZALCheckError, 10) + "\n");
  EXPECT_EQ(r.estado, 1);
  EXPECT_FALSE(zaltest::FileExists(salida));
  const std::string sinCarpeta = dir.File("nofolder/out.zal");
  r = Ejecuta("Bppquest", {"-i", entrada, "-o", sinCarpeta, "-l", "3", "-v"});
  EXPECT_EQ(r.salida.substr(r.salida.find("\nSEARCHING FOR THE BIT RATE\n")),
            "\nSEARCHING FOR THE BIT RATE\n\nError in ZAL (" + sinCarpeta + "):\n" +
                Mensaje(ZALCheckError, 7) + "\n");
  EXPECT_EQ(r.estado, 1);
}

// The plane fits under the address-space limit, its backup copy does not.
TEST_F(Bppquest, BackupThatCannotBeAllocatedIsReported) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "an address-space limit cannot be set under AddressSanitizer";
#else
  const int w = 4096, h = 2048;
  const std::string grande = dir.File("big.pgm");
  zaltest::WritePgm(grande, zaltest::FlatImage(w, h, 100));
  const rlim_t plano = rlim_t(h) * (w + 3) * sizeof(float);
  const auto r = Ejecuta("Bppquest", {"-i", grande, "-o", salida}, {"", plano + plano / 2});
  EXPECT_EQ(r.salida, "\nError in bit rate search: \n"
                      "Insuficient memory available for a copy of the coefficients\n");
  EXPECT_EQ(r.estado, 1);
  EXPECT_FALSE(zaltest::FileExists(salida));
#endif
}

}  // namespace
