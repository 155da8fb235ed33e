// The programs against a full disk, a memory limit and hostile numbers: every
// failure is reported with status 1, an incomplete output the program was
// writing is removed, and nothing runs without bound.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "coder/ZALcoder.h"
#include "entropy/CodificadorAritmetico.h"
#include "image/ImagenLuminanciaES.h"
#include "support/support.h"
#include "test_apps_run.h"

namespace {

namespace fs = std::filesystem;
using zalapps::Ejecuta;
using zalapps::Mensaje;
using zalapps::Resultado;
using zaltest::TempDir;

// A run whose files may grow to 1000 bytes at most, as on a full disk.
Resultado EjecutaConDiscoLleno(const std::string& programa, const std::vector<std::string>& args,
                               rlim_t limite = 1000) {
  return Ejecuta(programa, args, {"", 0, limite});
}

bool EsDispositivo(const std::string& ruta) {
  struct stat st;
  return stat(ruta.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

bool Termina(const std::string& texto, const std::string& final) {
  return texto.size() >= final.size() && texto.compare(texto.size() - final.size(), final.size(), final) == 0;
}

// A compressed file whose header is written field by field, with no body: the
// decoder reads the missing bytes as ones.
void EscribeCabecera(const std::string& ruta, int ancho, int alto, int rplanes, int niveles) {
  ASSERT_EQ(InicializaEscritura(ruta.c_str()), 0);
  CodificaBits(13, ancho);
  CodificaBits(13, alto);
  CodificaBits(32, 0x3F800000);  // quant 1.0
  CodificaBits(5, rplanes);
  CodificaBits(4, niveles);
  for (int k = 0; k <= niveles; ++k) CodificaBits(5, 3);
  ASSERT_EQ(FinalizaEscrituraFicheroDeBits(), 0);
}

class Robustez : public ::testing::Test {
 protected:
  TempDir dir;
  std::string imagen = dir.File("in.pgm"), comprimido = dir.File("in.zal");
  void SetUp() override {
    // Noise keeps the compressed file well above the size limits used below.
    zaltest::WritePgm(imagen, zaltest::NoisyImage(128, 128, 3));
    ASSERT_EQ(Ejecuta("ZALcod", {"-i", imagen, "-o", comprimido, "-q", "0.2", "-l", "3"}).estado, 0);
  }
  std::string ErrorZAL(const std::string& salida, int codigo) const {
    return "\nError in ZAL (" + salida + "):\n" + Mensaje(ZALCheckError, codigo) + "\n";
  }
};

// ------------------------------------------------------------- write errors

TEST_F(Robustez, FullDeviceIsAFailureOfEveryProgram) {
  if (!EsDispositivo("/dev/full")) GTEST_SKIP() << "no /dev/full";
  Resultado r = Ejecuta("ZALcod", {"-i", imagen, "-o", "/dev/full", "-l", "3"});
  EXPECT_EQ(r.estado, 1);
  EXPECT_EQ(r.salida, ErrorZAL("/dev/full", 7));

  const std::string zal = dir.File("out.zal");
  fs::create_symlink("/dev/full", zal);
  r = Ejecuta("Bppquest", {"-i", imagen, "-o", zal, "-l", "3"});
  EXPECT_EQ(r.estado, 1);
  EXPECT_TRUE(Termina(r.salida, ErrorZAL(zal, 7))) << r.salida;
  EXPECT_TRUE(fs::is_symlink(zal));

  for (const char* ext : {"pgm", "bmp", "raw"}) {
    const std::string salida = dir.File(std::string("out.") + ext);
    fs::create_symlink("/dev/full", salida);
    r = Ejecuta("ZALdecod", {"-i", comprimido, "-o", salida});
    EXPECT_EQ(r.estado, 1) << ext;
    EXPECT_EQ(r.salida, "Error in " + salida + ": " + Mensaje(ImagenCheckError, 5) + "\n");
    EXPECT_TRUE(fs::is_symlink(salida));
  }
  EXPECT_TRUE(EsDispositivo("/dev/full"));
}

// A regular output cut short is removed, whether the program created it or
// truncated an older file; written through a link, the link and its target stay.
TEST_F(Robustez, OutputCutShortIsRemoved) {
  for (bool existia : {false, true}) {
    SCOPED_TRACE(existia ? "file there before" : "new file");
    const std::string zal = dir.File("out.zal"), pgm = dir.File("out.pgm"), bppq = dir.File("q.zal");
    if (existia)
      for (const std::string& f : {zal, pgm, bppq}) zaltest::WriteFile(f, std::string("older content"));

    Resultado r = EjecutaConDiscoLleno("ZALcod", {"-i", imagen, "-o", zal, "-q", "0.2", "-l", "3"});
    EXPECT_EQ(r.estado, 1);
    EXPECT_EQ(r.salida, ErrorZAL(zal, 7));
    EXPECT_FALSE(zaltest::FileExists(zal));

    r = EjecutaConDiscoLleno("Bppquest", {"-i", imagen, "-o", bppq, "-l", "3", "-b", "2"});
    EXPECT_EQ(r.estado, 1);
    EXPECT_TRUE(Termina(r.salida, ErrorZAL(bppq, 7))) << r.salida;
    EXPECT_FALSE(zaltest::FileExists(bppq));

    r = EjecutaConDiscoLleno("ZALdecod", {"-i", comprimido, "-o", pgm});
    EXPECT_EQ(r.estado, 1);
    EXPECT_EQ(r.salida, "Error in " + pgm + ": " + Mensaje(ImagenCheckError, 5) + "\n");
    EXPECT_FALSE(zaltest::FileExists(pgm));
  }
  for (const char* nombre : {"link.zal", "link.bmp"}) {
    const std::string destino = dir.File(std::string("target-") + nombre), enlace = dir.File(nombre);
    zaltest::WriteFile(destino, std::string("older content"));
    fs::create_symlink(destino, enlace);
    const Resultado r =
        nombre[5] == 'z' ? EjecutaConDiscoLleno("ZALcod", {"-i", imagen, "-o", enlace, "-l", "3"})
                         : EjecutaConDiscoLleno("ZALdecod", {"-i", comprimido, "-o", enlace});
    EXPECT_EQ(r.estado, 1) << nombre;
    EXPECT_TRUE(fs::is_symlink(enlace)) << nombre;
    EXPECT_TRUE(zaltest::FileExists(destino)) << nombre;
  }
  // Under the limit every program succeeds, so the failures above are the disk's.
  const std::string pgm = dir.File("small.pgm");
  EXPECT_EQ(EjecutaConDiscoLleno("ZALdecod", {"-i", comprimido, "-o", pgm}, 1 << 20).estado, 0);
  EXPECT_EQ(zaltest::ReadFile(pgm).size(), 41u + 128 * 128);  // header of 41 bytes
}

// ----------------------------------------------------------------- limits

#if defined(__SANITIZE_ADDRESS__)
#define SIN_ASAN_O_SALTA() GTEST_SKIP() << "an address-space limit cannot be set under AddressSanitizer"
constexpr bool kConAsan = true;
#else
#define SIN_ASAN_O_SALTA() (void)0
constexpr bool kConAsan = false;
#endif

constexpr rlim_t kMemoria = rlim_t{128} << 20;

// Sizes that are accepted but cannot be allocated under the limit.
TEST_F(Robustez, AllocationFailureIsReported) {
  SIN_ASAN_O_SALTA();
  // The largest plane a compressed header can announce: 8176 x 8176.
  const std::string grande = dir.File("large.zal");
  EscribeCabecera(grande, 8176, 8176, 2, 3);
  Resultado r = Ejecuta("ZALdecod", {"-i", grande, "-o", dir.File("o.pgm")}, {"", kMemoria});
  EXPECT_EQ(r.estado, 1);
  EXPECT_EQ(r.salida, "Error in ZAL (" + grande + "):\n" + Mensaje(ZALCheckError, 9) + "\n");
  EXPECT_FALSE(zaltest::FileExists(dir.File("o.pgm")));

  // 2^28 samples in a header of a few bytes: accepted, and the plane's 1 GiB fails.
  const std::string pgm = dir.File("large.pgm");
  zaltest::WriteFile(pgm, std::string("P5\n16384 16384\n255\n\x01\x02"));
  r = Ejecuta("ZALcod", {"-i", pgm, "-o", dir.File("o.zal")}, {"", kMemoria});
  EXPECT_EQ(r.estado, 1);
  EXPECT_EQ(r.salida, "\nError in " + pgm + ": \n" + Mensaje(ImagenCheckError, 11) + "\n");
}

// What is refused is refused from the header alone, before a plane of the
// announced size is asked for: under the limit, an attempt would read 111 or
// 209. AddressSanitizer allows no limit: there the refusal codes alone count.
TEST_F(Robustez, RefusalsComeBeforeAllocation) {
  const zalapps::Opciones limite{"", kConAsan ? 0 : kMemoria};
  for (const char* cabecera : {"P5\n65536 2\n255\n", "P5\n20000 20000\n255\n", "P5\n2 -7\n255\n"}) {
    const std::string pgm = dir.File("refused.pgm");
    zaltest::WriteFile(pgm, std::string(cabecera) + "abcd");
    const Resultado r = Ejecuta("ZALcod", {"-i", pgm, "-o", dir.File("o.zal")}, limite);
    EXPECT_EQ(r.estado, 1) << cabecera;
    EXPECT_EQ(r.salida, "\nError in " + pgm + ": \n" + Mensaje(ImagenCheckError, 12) + "\n") << cabecera;
  }
  // Sides that are not multiples of 2^(levels+1), and levels beyond 9.
  const std::string zal = dir.File("refused.zal");
  for (auto [ancho, niveles] : {std::pair{8184, 3}, std::pair{8176, 12}}) {
    EscribeCabecera(zal, ancho, 8176, 2, niveles);
    const Resultado r = Ejecuta("ZALdecod", {"-i", zal, "-o", dir.File("o.pgm")}, limite);
    EXPECT_EQ(r.estado, 1);
    EXPECT_EQ(r.salida, "Error in ZAL (" + zal + "):\n" + Mensaje(ZALCheckError, 12) + "\n");
  }
}

// A header of a few bytes makes the decoder walk the plane it announces, and
// no more: the program ends, whatever the missing body decodes to.
TEST_F(Robustez, DecoderEndsOnAShortFileAnnouncingAPlane) {
  const std::string zal = dir.File("short.zal");
  EscribeCabecera(zal, 1024, 1024, 2, 5);
  const Resultado r = Ejecuta("ZALdecod", {"-i", zal, "-o", dir.File("o.pgm")});
  EXPECT_TRUE(r.estado == 0 || r.estado == 1) << r.estado;
  EXPECT_EQ(r.errores, "");
}

// Loads `name` in a child process that is given 20 seconds; returns the
// loader's code, or -1 if the child had to be stopped.
int CargaConPlazo(const std::string& name) {
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(20);
    int ancho = 0, alto = 0;
    float* plano = nullptr;
    const int codigo = CargaImagenLuminancia(name.c_str(), &ancho, &alto, &plano, 3);
    std::free(plano);
    _exit(codigo);
  }
  int estado = 0;
  waitpid(pid, &estado, 0);
  return WIFEXITED(estado) ? WEXITSTATUS(estado) : -1;
}

// A header field or a dimension-file line that never ends (a device with no
// end of file) is refused after a bounded read, as a long one in a file is.
TEST_F(Robustez, EndlessInputsAreRefused) {
  if (!EsDispositivo("/dev/zero")) GTEST_SKIP() << "no /dev/zero";
  const std::string pgm = dir.File("zero.pgm"), raw = dir.File("zero.raw");
  fs::create_symlink("/dev/zero", pgm);
  EXPECT_EQ(CargaConPlazo(pgm), 6);
  zaltest::WriteFile(raw, std::string("abcd"));
  fs::create_symlink("/dev/zero", dir.File("zero.txt"));
  EXPECT_EQ(CargaConPlazo(raw), 8);
}

// Any target and start, with and without --keep, end within the search's
// bound, with status 0 or 1 and no sanitizer report.
TEST_F(Robustez, RateSearchEndsForAnyNumbers) {
  const std::string pequena = dir.File("small.pgm");
  zaltest::WritePgm(pequena, zaltest::TexturedImage(32, 32, 5));
  for (const char* inicio : {"nan", "inf", "-1", "0", "1e-45", "3e38"})
    for (const char* objetivo : {"nan", "-inf", "0", "1e-30", "3", "1e30"})
      for (bool keep : {false, true}) {
        std::vector<std::string> args{"-i", pequena, "-o", dir.File("o.zal"), "-l", "3", "-s", inicio, "-b", objetivo};
        if (keep) args.push_back("-k");
        const Resultado r = Ejecuta("Bppquest", args);
        EXPECT_TRUE(r.estado == 0 || r.estado == 1) << inicio << " " << objetivo << " " << keep;
        EXPECT_EQ(r.errores, "") << inicio << " " << objetivo << " " << keep;
      }
}

}  // namespace
