// End-to-end runs of ZALdecod: banner, help, option parsing, listing, the
// three output formats, the comparison and the error frames.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "coder/ZALcoder.h"
#include "image/ImagenLuminanciaES.h"
#include "support/support.h"
#include "test_apps_run.h"

namespace {

using zalapps::Ejecuta;
using zalapps::Mensaje;
using zalapps::Texto;

const char* const kOpciones =
    "    --input $file      Image in format ZAL to be compressed\n"
    "    --output $file     Output file containing the decompressed image\n"
    "                       (.bmp, .pgm, .raw files)\n"
    "    --compare $file    Compare (usign PSNR) the decompressed image with\n"
    "                       the original one specified as parameter in this option \n"
    "    --timing           Enable timing (time in CPU cycles for Intel Proc.)\n"
    "    --seconds          Perform timing in seconds (calculate CPU freq)\n"
    "    --verbose          Enable verbose mode\n"
    "    --help             Display this help\n";

constexpr int kLado = 128;

// One compressed file (non-default parameters, so that the listing shows
// what the file holds) and its original, shared by the cases.
class ZALdecod : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = new zaltest::TempDir;
    original = new std::string(dir->File("original.pgm"));
    comprimido = new std::string(dir->File("image.zal"));
    zaltest::WritePgm(*original, zaltest::TexturedImage(kLado, kLado, 11));
    const auto r = Ejecuta("ZALcod", {"-i", *original, "-o", *comprimido, "-q", "2.5", "-r", "3", "-l", "4"});
    ASSERT_EQ(r.estado, 0) << r.salida;
  }
  static void TearDownTestSuite() {
    delete original;
    delete comprimido;
    delete dir;
  }
  static zaltest::TempDir* dir;
  static std::string* original;
  static std::string* comprimido;
  zaltest::TempDir local;  // each case's own outputs
};
zaltest::TempDir* ZALdecod::dir = nullptr;
std::string* ZALdecod::original = nullptr;
std::string* ZALdecod::comprimido = nullptr;

std::vector<std::string> Contenido(const std::string& carpeta) {
  std::vector<std::string> nombres;
  for (const auto& e : std::filesystem::directory_iterator(carpeta)) nombres.push_back(e.path().filename());
  return nombres;
}

TEST(ZALdecodCommandLine, BannerHelpAndParsingErrors) {
  zalapps::CompruebaBannerYAyuda("ZALdecod", "Image Decoder", kOpciones);
  zalapps::CompruebaErroresDeSintaxis(
      "ZALdecod", {
                      // No height option here: -h after the first place is unknown.
                      {{"-i", "a.zal", "-h"}, "Parameter -h unknown"},
                      {{"-v", "--help"}, "Parameter --help unknown"},
                      {{"-i"}, "Input file name not specified"},
                      {{"-i", "a.zal", "-o", "-v"}, "Output file name not specified"},
                      {{"-i", "a.zal", "--compare"}, "File to compare not specified"},
                      {{"-t", "a.zal"}, "Parameter a.zal unknown"},
                      {{"-o", "a.pgm"}, "Input file name not specified"},
                      // Refused before the compressed file is opened: it does not exist.
                      {{"-i", "missing.zal", "-v", "-s"}, "Nor output file neither compare file specified"},
                  });
}

TEST_F(ZALdecod, ThreeOutputFormatsHoldTheSameSamples) {
  const std::string pgm = local.File("out.pgm"), bmp = local.File("out.bmp"), raw = local.File("out.RAW");
  // The listing shows what the file holds.
  auto r = Ejecuta("ZALdecod", {"-v", "-i", *comprimido, "-o", pgm});
  EXPECT_EQ(r.salida, "\nIMAGE PARAMETERS:\n-input image=" + *comprimido + "\n-output image=" + pgm +
                          "\n-no image to be compared\n-quantization=2.500000\n-rplanes=3\n"
                          "-decomposition level=4\n-timing=disabled\n-verbose=enabled\n"
                          "\nLOADING INPUT IMAGE\n\nAPPLYING INVERSE WAVELET TRANSFORM\n"
                          "\nSAVING OUTPUT IMAGE\n");
  EXPECT_EQ(r.estado, 0);
  for (const std::string& nombre : {bmp, raw}) {
    r = Ejecuta("ZALdecod", {"-i", *comprimido, "-o", nombre});
    EXPECT_EQ(r.salida, "");
    EXPECT_EQ(r.estado, 0);
  }
  const auto muestras = zaltest::ReadFile(raw);
  ASSERT_EQ(muestras.size(), size_t(kLado * kLado));  // no dimension file is written
  EXPECT_FALSE(zaltest::FileExists(local.File("out.txt")));
  const auto p = zaltest::ReadFile(pgm);
  ASSERT_GT(p.size(), muestras.size());
  EXPECT_EQ(std::string(p.begin(), p.begin() + 2), "P5");
  EXPECT_TRUE(std::equal(muestras.begin(), muestras.end(), p.end() - muestras.size()));
  // The BMP stores its rows bottom-up after the 1078 bytes of header and palette.
  const auto b = zaltest::ReadFile(bmp);
  ASSERT_EQ(b.size(), 1078u + muestras.size());
  for (int y = 0; y < kLado; ++y)
    EXPECT_TRUE(std::equal(muestras.begin() + y * kLado, muestras.begin() + (y + 1) * kLado,
                           b.begin() + 1078 + (kLado - 1 - y) * kLado))
        << "row " << y;
}

TEST_F(ZALdecod, ErrorsOfReadingAndSavingLeaveNoFile) {
  const std::string falta = local.File("missing.zal");
  auto r = Ejecuta("ZALdecod", {"-i", falta, "-o", local.File("x.pgm")});
  EXPECT_EQ(r.salida, "Error in ZAL (" + falta + "):\n" + Mensaje(ZALCheckError, 8) + "\n");
  EXPECT_EQ(r.estado, 1);
  const std::string tif = local.File("out.tif"), sinExtension = local.File("out");
  r = Ejecuta("ZALdecod", {"-i", *comprimido, "-o", tif});
  EXPECT_EQ(r.salida, "Error in " + tif + ": " + Mensaje(ImagenCheckError, 10) + "\n");
  EXPECT_EQ(r.estado, 1);
  r = Ejecuta("ZALdecod", {"-i", *comprimido, "-o", sinExtension});
  EXPECT_EQ(r.salida, "Error in " + sinExtension + ": " + Mensaje(ImagenCheckError, 9) + "\n");
  EXPECT_EQ(r.estado, 1);
  const std::string sinCarpeta = local.File("nofolder/out.pgm");
  r = Ejecuta("ZALdecod", {"-i", *comprimido, "-o", sinCarpeta});
  EXPECT_EQ(r.salida, "Error in " + sinCarpeta + ": " + Mensaje(ImagenCheckError, 5) + "\n");
  EXPECT_EQ(r.estado, 1);
  EXPECT_TRUE(Contenido(local.path).empty());
}

TEST_F(ZALdecod, CompareAloneWritesNothingAndPrintsThePsnr) {
  const auto r = Ejecuta("ZALdecod", {"-i", *comprimido, "-c", *original, "-v"}, {local.path});
  ASSERT_EQ(r.estado, 0) << r.salida;
  EXPECT_TRUE(Contenido(local.path).empty());
  // The same figure from the decoded file and the library's measure.
  const std::string pgm = local.File("dec.pgm");
  ASSERT_EQ(Ejecuta("ZALdecod", {"-i", *comprimido, "-o", pgm}).estado, 0);
  int w = 0, h = 0, w2 = 0, h2 = 0;
  int *a = nullptr, *b = nullptr;
  ASSERT_EQ(CargaImagenLuminancia(pgm.c_str(), &w, &h, &a, 3), 0);
  ASSERT_EQ(CargaImagenLuminancia(original->c_str(), &w2, &h2, &b, 3), 0);
  const float psnr = CalculaPSNRLuminancia(w, h, b, a, 3);
  std::free(a);
  std::free(b);
  EXPECT_EQ(r.salida, "\nIMAGE PARAMETERS:\n-input image=" + *comprimido +
                          "\n-no output image\n-compare image=" + *original +
                          "\n-quantization=2.500000\n-rplanes=3\n-decomposition level=4\n"
                          "-timing=disabled\n-verbose=enabled\n\nLOADING INPUT IMAGE\n"
                          "\nAPPLYING INVERSE WAVELET TRANSFORM\n\nCOMPARING THE ORIGINAL IMAGE\n" +
                          Texto("\n- PSNR of the compressed image: %1.2f dB\n", psnr));
  EXPECT_GT(psnr, 20.0f);
}

TEST_F(ZALdecod, CompareWithTheDecodedImageItselfAndARawReference) {
  const std::string pgm = local.File("dec.pgm"), raw = local.File("dec.raw");
  ASSERT_EQ(Ejecuta("ZALdecod", {"-i", *comprimido, "-o", pgm}).estado, 0);
  auto r = Ejecuta("ZALdecod", {"-i", *comprimido, "-c", pgm});
  EXPECT_EQ(r.salida, "\n- PSNR of the compressed image: inf dB\n");
  EXPECT_EQ(r.estado, 0);
  // A RAW reference is read with the decoded size: no dimension file needed.
  ASSERT_EQ(Ejecuta("ZALdecod", {"-i", *comprimido, "-o", raw, "-c", pgm}).estado, 0);
  r = Ejecuta("ZALdecod", {"-i", *comprimido, "-c", raw});
  EXPECT_EQ(r.salida, "\n- PSNR of the compressed image: inf dB\n");
  EXPECT_EQ(r.estado, 0);
}

TEST_F(ZALdecod, ComparisonErrorsComeAfterTheOutputIsWritten) {
  const std::string pgm = local.File("dec.pgm"), falta = local.File("missing.pgm");
  auto r = Ejecuta("ZALdecod", {"-i", *comprimido, "-o", pgm, "-c", falta});
  EXPECT_EQ(r.salida, "Error in " + falta + ": \n" + Mensaje(ImagenCheckError, 4) + "\n");
  EXPECT_EQ(r.estado, 1);
  EXPECT_TRUE(zaltest::FileExists(pgm));
  // A reference of another size is refused rather than read out of its plane.
  for (auto [w, h] : {std::pair{kLado / 2, kLado}, std::pair{kLado, kLado / 2}}) {
    const std::string otra = local.File("small.pgm");
    zaltest::WritePgm(otra, zaltest::FlatImage(w, h, 9));
    r = Ejecuta("ZALdecod", {"-i", *comprimido, "-c", otra});
    EXPECT_EQ(r.salida, "Error in " + otra + ": \n" +
                            Texto("Image size %d x %d differs from the decoded size %d x %d\n", w, h,
                                  kLado, kLado));
    EXPECT_EQ(r.estado, 1);
  }
}

TEST_F(ZALdecod, TimingReport) {
  const std::string pgm = local.File("out.pgm");
  auto r = Ejecuta("ZALdecod", {"-i", *comprimido, "-o", pgm, "-t"});
  EXPECT_EQ(zalapps::SinTiempos(r.salida),
            "\n- ZAL decoding time (in cycles):               N\n"
            "- Inverse wavelet transform time (in cycles):  N\n");
  EXPECT_EQ(r.estado, 0);
  r = Ejecuta("ZALdecod", {"-i", *comprimido, "-c", *original, "-s", "-v"});
  const std::string texto = zalapps::SinTiempos(r.salida);
  EXPECT_NE(texto.find("-timing=enabled\n(time in seconds)\n-verbose=enabled\n"), std::string::npos);
  EXPECT_NE(texto.find("\nAPPLYING INVERSE WAVELET TRANSFORM\n"
                       "\n- ZAL decoding time (in cycles):               N\n"
                       "- Inverse wavelet transform time (in cycles):  N\n"
                       "- Calculating CPU frequency: Cannot be calculated\n"
                       "- ZAL decoding time (in seconds):              N\n"
                       "- Inverse wavelet transform time (in seconds): N\n"
                       "\nCOMPARING THE ORIGINAL IMAGE\n\n- PSNR of the compressed image: "),
            std::string::npos)
      << texto;
}

}  // namespace

namespace {

// The decoded plane fits under the address-space limit, a second plane for
// its integer samples does not: the comparison reports the failure instead
// of ending the process.
TEST(ZALdecodMemory, ComparisonPlaneThatCannotBeAllocatedIsReported) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "an address-space limit cannot be set under AddressSanitizer";
#else
  const int w = 4096, h = 2048;
  zaltest::TempDir dir;
  const std::string comprimido = dir.File("flat.zal"), referencia = dir.File("missing.pgm");
  zaltest::Plane plano(w, h);
  ASSERT_EQ(ZALCodificador(2, 3, 1.0f, w, h, plano.data(), comprimido.c_str(), 3), 0);
  const rlim_t bytes = rlim_t(h) * (w + 3) * sizeof(float);
  const auto r = Ejecuta("ZALdecod", {"-i", comprimido, "-c", referencia}, {"", bytes + bytes / 2});
  EXPECT_EQ(r.salida, "Error in " + referencia + ": \n" + Mensaje(ImagenCheckError, 11) + "\n");
  EXPECT_EQ(r.estado, 1);
#endif
}

}  // namespace
