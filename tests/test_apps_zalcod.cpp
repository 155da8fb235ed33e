// End-to-end runs of ZALcod: banner, help, option parsing, listing, reports
// and the error frames of each stage.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

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
    "    --input $file      Image to be compressed using the ZAL algorithm\n"
    "    --output $file     Output file containing the compressed image\n"
    "    --width $num       Specify the image width (only for raw imput files)\n"
    "    --height $num      Specify the image height (only for raw imput files)\n"
    "    --quant $num       Parameter for the uniform scalar quantization\n"
    "                       (defalt quant=0.895660)\n"
    "    --rplanes $num     Number of less significant bits to be removed\n"
    "                       (defalt rplanes=2)\n"
    "    --level $num       Number of decomposition levels for the wavelet\n"
    "                       transform (defalt level=6)\n"
    "    --timing           Enable timing (time in CPU cycles for Intel Proc.)\n"
    "    --seconds          Perform timing in seconds (calculate CPU freq)\n"
    "    --verbose          Enable verbose mode\n"
    "    --help             Display this help\n";

class ZALcod : public ::testing::Test {
 protected:
  void SetUp() override {
    entrada = dir.File("in.pgm");
    salida = dir.File("out.zal");
    zaltest::WritePgm(entrada, zaltest::SmoothImage(128, 128, 7));
  }
  std::string Listado(const std::string& extra, const std::string& quant = "0.895660",
                      const std::string& rplanes = "2", const std::string& level = "6") {
    return "\nINPUT PARAMETERS:\n-input image=" + entrada + "\n-output image=" + salida +
           "\n-quantization=" + quant + "\n-rplanes=" + rplanes +
           "\n-decomposition level=" + level + "\n" + extra;
  }
  zaltest::TempDir dir;
  std::string entrada, salida;
};

TEST(ZALcodCommandLine, BannerHelpAndParsingErrors) {
  zalapps::CompruebaBannerYAyuda("ZALcod", "Image Coder", kOpciones);
  // The first fault stops the parsing; --help counts only in the first place.
  zalapps::CompruebaErroresDeSintaxis(
      "ZALcod", {
                    {{"-i", "a.pgm", "--help"}, "Parameter --help unknown"},
                    {{"-i", "a.pgm", "-o", "b.zal", "-w", "-512"}, "Incorrect width"},
                    {{"--width", "abc"}, "Incorrect width"},
                    {{"-i", "a.raw", "-h", "0"}, "Incorrect height"},
                    {{"--height"}, "Incorrect height"},
                    {{"-r", "256"}, "Incorrect rplanes parameter"},
                    {{"--level", "0"}, "Incorrect level parameter"},
                    {{"-q", "0"}, "Incorrect quantization parameter"},
                    {{"--quant", "1e-50"}, "Incorrect quantization parameter"},
                    {{"-i", "a.pgm", "-o"}, "Output file name not specified"},
                    {{"-i", "-o", "b.zal"}, "Input file name not specified"},
                    {{"--verbose", "a.pgm"}, "Parameter a.pgm unknown"},
                    {{"-x", "-w", "0"}, "Parameter -x unknown"},
                    {{"-w", "0", "-x"}, "Incorrect width"},
                    {{"-o", "b.zal"}, "Input file name not specified"},
                    {{"-i", "a.pgm", "-t", "-s"}, "Output file name not specified"},
                    {{"-i", "a.raw", "-o", "b.zal", "-w", "64"},
                     "Width and height must be specified for raw image files"},
                });
}

TEST_F(ZALcod, QuietRunPrintsNothingAndWritesTheFile) {
  const auto r = Ejecuta("ZALcod", {"-i", entrada, "-o", salida});
  EXPECT_EQ(r.salida, "");
  EXPECT_EQ(r.estado, 0);
  EXPECT_FALSE(zaltest::ReadFile(salida).empty());
  // A value equal to a later one keeps the later: same file as the defaults.
  const std::string otra = dir.File("other.zal");
  EXPECT_EQ(Ejecuta("ZALcod", {"-q", "5", "-i", entrada, "-o", otra, "-q", "0.8956599831581116"}).estado, 0);
  EXPECT_EQ(zaltest::ReadFile(otra), zaltest::ReadFile(salida));
}

TEST_F(ZALcod, ListingAndCompressionReportFromFileSizes) {
  const auto r = Ejecuta("ZALcod", {"-i", entrada, "-o", salida, "-v", "-w", "5", "-q", "1.5abc"});
  ASSERT_EQ(r.estado, 0) << r.salida;
  const double in = double(zaltest::ReadFile(entrada).size());
  const double out = double(zaltest::ReadFile(salida).size());
  EXPECT_EQ(r.salida,
            Listado("-timing=disabled\n-verbose=enabled\n"
                    "\nParsing warning: Width and height are ignored for non raw image files\n"
                    "\nLOADING INPUT IMAGE\n\nAPPLYING WAVELET TRANSFORM\n\nAPPLYING ZAL ALGORITHM\n",
                    "1.500000") +
                "\nCOMPRESSION REPORT:\n" + Texto("- Input image size: %d (in bytes)\n", int(in)) +
                Texto("- Output image size: %d (in bytes)\n", int(out)) +
                Texto("- Original image reduced in 1:%f\n", in / out) +
                Texto("- Final bit rate (R) %f bpp\n", out * 8 / (128.0 * 128.0)));
}

TEST_F(ZALcod, TimingReportInCyclesAndSeconds) {
  auto r = Ejecuta("ZALcod", {"-i", entrada, "-o", salida, "-t"});
  EXPECT_EQ(zalapps::SinTiempos(r.salida),
            "\n- Wavelet transform time (in cycles): N\n"
            "- ZAL coding time (in cycles):        N\n");
  EXPECT_EQ(r.estado, 0);
  // --seconds alone turns timing on; the frequency is never known.
  r = Ejecuta("ZALcod", {"-s", "-v", "-i", entrada, "-o", salida});
  const std::string texto = zalapps::SinTiempos(r.salida);
  EXPECT_NE(texto.find(Listado("-timing=enabled\n(time in seconds)\n-verbose=enabled\n"
                               "\nLOADING INPUT IMAGE\n")),
            std::string::npos)
      << texto;
  EXPECT_NE(texto.find("\nAPPLYING ZAL ALGORITHM\n"
                       "\n- Wavelet transform time (in cycles): N\n"
                       "- ZAL coding time (in cycles):        N\n"
                       "- Calculating CPU frequency: Cannot be calculated\n"
                       "- Wavelet transform time (in seconds): N\n"
                       "- ZAL coding time (in seconds):        N\n"
                       "\nCOMPRESSION REPORT:\n"),
            std::string::npos)
      << texto;
}

TEST_F(ZALcod, RawInputNeedsBothSidesAndIsListedWithThem) {
  const std::string raw = dir.File("in.raw");
  zaltest::Plane p = zaltest::SmoothImage(128, 128, 3);
  std::vector<uint8_t> bytes;
  for (int y = 0; y < 128; ++y)
    for (int x = 0; x < 128; ++x) bytes.push_back(uint8_t(p.at(x, y)));
  zaltest::WriteFile(raw, bytes);
  auto r = Ejecuta("ZALcod", {"-i", raw, "-o", salida, "-v", "-w", "128", "-h", "128"});
  ASSERT_EQ(r.estado, 0) << r.salida;
  EXPECT_EQ(r.salida.substr(0, r.salida.find("-output")),
            "\nINPUT PARAMETERS:\n-input image=" + raw + "\n-image size= (128, 128)\n");
  // Same samples as the PGM of the same image: same compressed file.
  const std::string pgm = dir.File("same.pgm"), otra = dir.File("same.zal");
  zaltest::WritePgm(pgm, p);
  ASSERT_EQ(Ejecuta("ZALcod", {"-i", pgm, "-o", otra}).estado, 0);
  EXPECT_EQ(zaltest::ReadFile(salida), zaltest::ReadFile(otra));
}

TEST_F(ZALcod, ErrorFramesOfEachStage) {
  // Loader: the file is missing.
  const std::string falta = dir.File("missing.pgm");
  auto r = Ejecuta("ZALcod", {"-i", falta, "-o", salida});
  EXPECT_EQ(r.salida, "\nError in " + falta + ": \n" + Mensaje(ImagenCheckError, 4) + "\n");
  EXPECT_EQ(r.estado, 1);
  // Transform: 128 is not a multiple of 2^8.
  r = Ejecuta("ZALcod", {"-i", entrada, "-o", salida, "-l", "8"});
  EXPECT_EQ(r.salida, "\nError in wavelet transform: \n" + Mensaje(WaveletsCheckError, 1) + "\n");
  EXPECT_EQ(r.estado, 1);
  // Coder: 128 is a multiple of 2^7 but not of 2^(7+1).
  r = Ejecuta("ZALcod", {"-i", entrada, "-o", salida, "-l", "7"});
  EXPECT_EQ(r.salida, "\nError in ZAL (" + salida + "):\n" + Mensaje(ZALCheckError, 6) + "\n");
  EXPECT_EQ(r.estado, 1);
  EXPECT_FALSE(zaltest::FileExists(salida));
  // Coder: a parameter too small for the image is the coder's to refuse.
  r = Ejecuta("ZALcod", {"-i", entrada, "-o", salida, "-q", "1e-30"});
  EXPECT_EQ(r.salida, "\nError in ZAL (" + salida + "):\n" + Mensaje(ZALCheckError, 10) + "\n");
  EXPECT_EQ(r.estado, 1);
  // Coder: the output cannot be created.
  const std::string sinCarpeta = dir.File("nofolder/out.zal");
  r = Ejecuta("ZALcod", {"-i", entrada, "-o", sinCarpeta});
  EXPECT_EQ(r.salida, "\nError in ZAL (" + sinCarpeta + "):\n" + Mensaje(ZALCheckError, 7) + "\n");
  EXPECT_EQ(r.estado, 1);
}

TEST_F(ZALcod, ValuesReadWithTheirNarrowTypes) {
  // 300 keeps its low 8 bits, 44: listed, then judged by the transform.
  auto r = Ejecuta("ZALcod", {"-i", entrada, "-o", salida, "-v", "-l", "300"});
  EXPECT_EQ(r.salida, Listado("-timing=disabled\n-verbose=enabled\n\nLOADING INPUT IMAGE\n"
                              "\nAPPLYING WAVELET TRANSFORM\n",
                              "0.895660", "2", "44") +
                          "\nError in wavelet transform: \n" + Mensaje(WaveletsCheckError, 1) + "\n");
  EXPECT_EQ(r.estado, 1);
  // Numbers beyond 32 bits saturate, as atoi does on a 32-bit platform:
  // 4294967298 reads as 2147483647, whose low 8 bits are -1 (not 2).
  r = Ejecuta("ZALcod", {"-i", entrada, "-o", salida, "-v", "-r", "4294967298"});
  EXPECT_NE(r.salida.find("\n-rplanes=-1\n"), std::string::npos) << r.salida;
  EXPECT_NE(r.salida.find("\nError in ZAL (" + salida + "):\n" + Mensaje(ZALCheckError, 2) + "\n"),
            std::string::npos);
  EXPECT_EQ(r.estado, 1);
}

// The input comes through a named pipe that is removed once opened: the
// report cannot read its size and says so instead of printing garbage.
TEST_F(ZALcod, ReportSaysWhenAFileSizeCannotBeRead) {
  const std::string tubo = dir.File("pipe.raw");
  ASSERT_EQ(mkfifo(tubo.c_str(), 0600), 0);
  std::thread escritor([&] {
    // Waits (10 s at most, should the program never open it) for the reader.
    int fd = -1;
    for (int i = 0; i < 10000 && fd < 0; ++i) {
      fd = open(tubo.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd < 0) usleep(1000);
    }
    ASSERT_GE(fd, 0);
    fcntl(fd, F_SETFL, 0);
    unlink(tubo.c_str());
    const std::vector<uint8_t> muestras(128 * 128, 100);
    EXPECT_EQ(write(fd, muestras.data(), muestras.size()), ssize_t(muestras.size()));
    close(fd);
  });
  const auto r = Ejecuta("ZALcod", {"-i", tubo, "-o", salida, "-v", "-w", "128", "-h", "128"});
  escritor.join();
  ASSERT_EQ(r.estado, 0) << r.salida;
  const double out = double(zaltest::ReadFile(salida).size());
  const std::string informe = r.salida.substr(r.salida.find("\nCOMPRESSION REPORT:\n"));
  EXPECT_EQ(informe, "\nCOMPRESSION REPORT:\n"
                     "- Input image size: unknown (cannot read the status of " + tubo + ")\n" +
                         Texto("- Output image size: %d (in bytes)\n", int(out)) +
                         Texto("- Final bit rate (R) %f bpp\n", out * 8 / (128.0 * 128.0)));
}

}  // namespace
