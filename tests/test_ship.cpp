// What a user gets besides the programs: the installed tree, the Debian
// package, the manual pages and the batch recipes of docs/batch.md. These
// tests drive the real tools (cmake, cpack, dpkg-deb, groff, GNU parallel)
// through the shell and skip, saying why, when one of them is missing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "coder/ZALcoder.h"
#include "image/ImagenLuminanciaES.h"
#include "support/support.h"
#include "wavelet/wavelets.h"

namespace {

const char* const kProgramas[] = {"ZALcod", "ZALdecod", "Bppquest"};

struct Salida {
  int estado = -1;
  std::string texto;  // standard output and standard error together
};

// Runs a command line under /bin/sh.
Salida Shell(const std::string& orden) {
  Salida s;
  FILE* tubo = popen(("exec 2>&1; " + orden).c_str(), "r");
  if (!tubo) return s;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, tubo)) > 0) s.texto.append(buf, n);
  const int estado = pclose(tubo);
  s.estado = WIFEXITED(estado) ? WEXITSTATUS(estado) : 128 + WTERMSIG(estado);
  return s;
}

// A word for the shell, whatever it holds.
std::string Q(const std::string& texto) {
  std::string r = "'";
  for (char c : texto) r += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return r + "'";
}

bool Hay(const std::string& herramienta) {
  return Shell("command -v " + Q(herramienta) + " >/dev/null").estado == 0;
}

std::string Fuentes() { return zaltest::TestDataDir() + "/../.."; }
std::string Compilacion() { return zaltest::BinDir() + "/.."; }

std::string LeeTexto(const std::string& ruta) {
  const std::vector<uint8_t> bytes = zaltest::ReadFile(ruta);
  return std::string(bytes.begin(), bytes.end());
}

// The number written right after the first `marca` of `texto`, or -1.
double NumeroTras(const std::string& texto, const std::string& marca, size_t desde = 0) {
  const size_t i = texto.find(marca, desde);
  if (i == std::string::npos) return -1;
  return std::strtod(texto.c_str() + i + marca.size(), nullptr);
}

std::vector<std::string> Lineas(const std::string& texto) {
  std::vector<std::string> lineas;
  std::istringstream in(texto);
  for (std::string linea; std::getline(in, linea);) lineas.push_back(linea);
  return lineas;
}

bool Empieza(const std::string& texto, const std::string& prefijo) {
  return texto.rfind(prefijo, 0) == 0;
}

// "WxH" of an image file, or the loader's error.
std::string Medidas(const std::string& ruta) {
  int ancho = 0, alto = 0;
  float* plano = nullptr;
  const int codigo = CargaImagenLuminancia(ruta.c_str(), &ancho, &alto, &plano, 3);
  std::free(plano);
  if (codigo != 0) return "error " + std::to_string(codigo);
  return std::to_string(ancho) + "x" + std::to_string(alto);
}

// A photograph-like test image: soft shapes with some texture on top.
void EscribeFoto(const std::string& ruta, int ancho, int alto, uint64_t semilla) {
  zaltest::Plane suave = zaltest::SmoothImage(ancho, alto, semilla);
  const zaltest::Plane textura = zaltest::TexturedImage(ancho, alto, semilla + 1);
  for (int y = 0; y < alto; ++y)
    for (int x = 0; x < ancho; ++x) suave.at(x, y) = 0.75f * suave.at(x, y) + 0.25f * textura.at(x, y);
  zaltest::WritePgm(ruta, suave);
}

// Codes, decodes and measures one image with the programs of `bin`.
void RecorridoCompleto(const std::string& bin, const zaltest::TempDir& dir) {
  const std::string foto = dir.File("foto.pgm");
  EscribeFoto(foto, 256, 128, 7);

  Salida r = Shell(Q(bin + "/ZALcod") + " -i " + Q(foto) + " -o " + Q(dir.File("foto.zal")));
  ASSERT_EQ(r.estado, 0) << r.texto;
  EXPECT_EQ(r.texto, "");

  r = Shell(Q(bin + "/ZALdecod") + " -i " + Q(dir.File("foto.zal")) + " -o " +
            Q(dir.File("vuelta.pgm")) + " --compare " + Q(foto));
  ASSERT_EQ(r.estado, 0) << r.texto;
  EXPECT_GT(NumeroTras(r.texto, "PSNR of the compressed image: "), 30.0) << r.texto;
  EXPECT_EQ(Medidas(dir.File("vuelta.pgm")), "256x128");

  r = Shell(Q(bin + "/Bppquest") + " -i " + Q(foto) + " -o " + Q(dir.File("medio.zal")) + " -b 0.5");
  ASSERT_EQ(r.estado, 0) << r.texto;
  const double bpp = double(zaltest::ReadFile(dir.File("medio.zal")).size()) * 8.0 / (256 * 128);
  EXPECT_LE(bpp, 0.5);
  EXPECT_GT(bpp, 0.45);
}

// ------------------------------------------------------------ manual pages

std::string Pagina(const std::string& programa) {
  return LeeTexto(Fuentes() + "/man/" + programa + ".1");
}

TEST(ManPages, FormatWithoutWarnings) {
  if (!Hay("groff")) GTEST_SKIP() << "groff is not installed (tools/setup.sh installs it)";
  for (const char* programa : kProgramas) {
    const std::string ruta = Fuentes() + "/man/" + programa + ".1";
    const Salida r = Shell("groff -ww -man -Tutf8 -z " + Q(ruta));
    EXPECT_EQ(r.estado, 0) << programa;
    EXPECT_EQ(r.texto, "") << programa;
  }
}

// Every option and every default that the program's own help shows.
TEST(ManPages, DescribeEveryOptionAndDefaultOfTheHelp) {
  for (const char* programa : kProgramas) {
    const Salida ayuda = Shell(Q(zaltest::BinDir() + "/" + programa) + " --help");
    ASSERT_EQ(ayuda.estado, 0) << programa;
    const std::string pagina = Pagina(programa);
    ASSERT_FALSE(pagina.empty()) << programa;

    int opciones = 0;
    for (const std::string& linea : Lineas(ayuda.texto)) {
      if (!Empieza(linea, "    --")) continue;
      ++opciones;
      const std::string nombre = linea.substr(6, linea.find(' ', 6) - 6);
      EXPECT_NE(pagina.find("\\-\\-" + nombre), std::string::npos) << programa << ": --" << nombre;
    }
    EXPECT_GE(opciones, 6) << ayuda.texto;

    std::set<double> documentados;
    for (size_t i = pagina.find("Default "); i != std::string::npos; i = pagina.find("Default ", i + 1))
      documentados.insert(NumeroTras(pagina, "Default ", i));
    int defectos = 0;
    for (size_t i = ayuda.texto.find("defalt "); i != std::string::npos;
         i = ayuda.texto.find("defalt ", i + 1)) {
      ++defectos;
      const double valor = NumeroTras(ayuda.texto, "=", i);
      EXPECT_EQ(documentados.count(valor), 1u) << programa << ": " << ayuda.texto.substr(i, 30);
    }
    // The decoder has no option with a default.
    EXPECT_GE(defectos, std::string(programa) == "ZALdecod" ? 0 : 3) << ayuda.texto;
  }
}

// Every message the modules can give, under its number, in every page: a
// module that gains an error code makes this fail until the pages say what
// it means.
TEST(ManPages, ExplainEveryErrorNumber) {
  struct Modulo {
    void (*texto)(int, char*);
    int desplazamiento;
  };
  const Modulo modulos[] = {{ImagenCheckError, 100}, {ZALCheckError, 200}, {WaveletsCheckError, 300}};
  for (const char* programa : kProgramas) {
    const std::string pagina = Pagina(programa);
    int explicados = 0;
    for (const Modulo& modulo : modulos)
      for (int codigo = 1; codigo < 100; ++codigo) {
        char buffer[128] = {};
        modulo.texto(codigo, buffer);
        const std::string mensaje(buffer);
        if (mensaje.rfind("Unknown error", 0) == 0) continue;
        ++explicados;
        const std::string numero = std::to_string(codigo + modulo.desplazamiento);
        const std::string texto = mensaje.substr(0, mensaje.find(" (error #"));
        const size_t entrada = pagina.find(".B " + numero + "\n");
        ASSERT_NE(entrada, std::string::npos) << programa << " lacks error " << numero;
        const size_t siguiente = pagina.find(".TP", entrada);
        EXPECT_NE(pagina.substr(entrada, siguiente - entrada).find(texto), std::string::npos)
            << programa << ", error " << numero << ": " << texto;
      }
    EXPECT_GE(explicados, 20) << programa;
  }
}

// ----------------------------------------------------------------- install

TEST(Install, PutsProgramsAndPagesUnderThePrefixAndTheyRun) {
  if (!Hay("cmake")) GTEST_SKIP() << "cmake is not on PATH";
  zaltest::TempDir dir;
  const std::string prefijo = dir.File("prefix");
  const Salida r = Shell("cmake --install " + Q(Compilacion()) + " --prefix " + Q(prefijo));
  ASSERT_EQ(r.estado, 0) << r.texto;

  for (const char* programa : kProgramas) {
    EXPECT_EQ(access((prefijo + "/bin/" + programa).c_str(), X_OK), 0) << programa;
    const std::string pagina = prefijo + "/share/man/man1/" + programa + ".1";
    EXPECT_TRUE(zaltest::FileExists(pagina + ".gz") || zaltest::FileExists(pagina)) << pagina;
  }
  EXPECT_TRUE(zaltest::FileExists(prefijo + "/share/doc/zal/batch.md"));

  // man finds the pages where the prefix puts them.
  if (Hay("man")) {
    const Salida w = Shell("MANPATH=" + Q(prefijo + "/share/man") + " man -w ZALcod");
    EXPECT_EQ(w.estado, 0) << w.texto;
    EXPECT_NE(w.texto.find(prefijo), std::string::npos) << w.texto;
  }
  RecorridoCompleto(prefijo + "/bin", dir);
}

// ----------------------------------------------------------------- package

TEST(Package, DebHoldsProgramsPagesAndDependenciesAndRuns) {
  if (!Hay("cpack") || !Hay("dpkg-deb")) GTEST_SKIP() << "cpack or dpkg-deb is not on PATH";
  zaltest::TempDir dir;
  Salida r = Shell("cpack --config " + Q(Compilacion() + "/CPackConfig.cmake") + " -G DEB -B " +
                   Q(dir.path));
  ASSERT_EQ(r.estado, 0) << r.texto;
  r = Shell("ls " + Q(dir.path) + "/zal_*.deb");  // the programs' package among the four
  ASSERT_EQ(r.estado, 0) << r.texto;
  const std::string deb = r.texto.substr(0, r.texto.find('\n'));

  // The package's version is the one the programs announce.
  const Salida banner = Shell(Q(zaltest::BinDir() + "/ZALcod"));
  const size_t v = banner.texto.find("version ");
  ASSERT_NE(v, std::string::npos) << banner.texto;
  const std::string version = banner.texto.substr(v + 8, banner.texto.find('\n', v) - v - 8);

  auto campo = [&](const std::string& nombre) {
    const Salida f = Shell("dpkg-deb -f " + Q(deb) + " " + nombre);
    return f.texto.substr(0, f.texto.find('\n'));
  };
  EXPECT_EQ(campo("Package"), "zal");
  EXPECT_EQ(campo("Version"), version);
  EXPECT_EQ(campo("Section"), "graphics");
  EXPECT_NE(campo("Maintainer"), "");
  const std::string depende = campo("Depends");
  EXPECT_NE(depende.find("libc6"), std::string::npos) << depende;
  EXPECT_NE(depende.find("libstdc++6"), std::string::npos) << depende;
  EXPECT_NE(campo("Description").find("grey-scale"), std::string::npos);

  r = Shell("dpkg-deb -c " + Q(deb));
  ASSERT_EQ(r.estado, 0) << r.texto;
  for (const char* programa : kProgramas) {
    EXPECT_NE(r.texto.find(" ./usr/bin/" + std::string(programa) + "\n"), std::string::npos) << programa;
    EXPECT_NE(r.texto.find(" ./usr/share/man/man1/" + std::string(programa) + ".1.gz\n"),
              std::string::npos)
        << programa;
  }
  // Nothing of the build machine leaks in: every entry lies under /usr.
  std::istringstream lineas(r.texto);
  for (std::string linea; std::getline(lineas, linea);) {
    const std::string ruta = linea.substr(linea.rfind(' ') + 1);
    EXPECT_TRUE(ruta == "./" || ruta == "./usr/" || ruta.rfind("./usr/", 0) == 0) << linea;
    EXPECT_EQ(ruta.find("/local/"), std::string::npos) << linea;
  }

  const std::string raiz = dir.File("root");
  r = Shell("dpkg-deb -x " + Q(deb) + " " + Q(raiz));
  ASSERT_EQ(r.estado, 0) << r.texto;
  r = Shell("gzip -t " + Q(raiz + "/usr/share/man/man1/ZALcod.1.gz"));
  EXPECT_EQ(r.estado, 0) << r.texto;
  RecorridoCompleto(raiz + "/usr/bin", dir);
}

// ------------------------------------------------------------ batch recipes

// The ```sh blocks of the section of docs/batch.md whose heading begins so.
std::vector<std::string> Recetas(const std::string& titulo) {
  std::istringstream md(LeeTexto(Fuentes() + "/docs/batch.md"));
  std::vector<std::string> bloques;
  bool enSeccion = false, enBloque = false;
  for (std::string linea; std::getline(md, linea);) {
    if (enBloque) {
      if (linea == "```")
        enBloque = false;
      else
        bloques.back() += linea + "\n";
    } else if (linea.rfind("## ", 0) == 0) {
      enSeccion = linea.rfind("## " + titulo, 0) == 0;
    } else if (enSeccion && linea == "```sh") {
      enBloque = true;
      bloques.emplace_back();
    }
  }
  return bloques;
}

// Runs a recipe in `carpeta` with the built programs first on PATH.
Salida Receta(const std::string& carpeta, const std::string& receta, const std::string& path = "") {
  const std::string guion = carpeta + "/.recipe.sh";
  zaltest::WriteFile(guion, receta);
  return Shell("cd " + Q(carpeta) + " && PATH=" + Q(path + zaltest::BinDir()) + ":\"$PATH\" bash " +
               Q(guion));
}

// A folder as the recipes expect it: photos/ with a few images, one of them
// with a blank in its name.
const char* const kFotos[] = {"sea", "old town", "bridge"};
void PreparaFotos(const zaltest::TempDir& dir) {
  ASSERT_EQ(mkdir(dir.File("photos").c_str(), 0755), 0);
  const int lados[][2] = {{256, 128}, {128, 128}, {128, 256}};
  for (int i = 0; i < 3; ++i)
    EscribeFoto(dir.File("photos/" + std::string(kFotos[i]) + ".pgm"), lados[i][0], lados[i][1], 11 + i);
}

void CompruebaCodificadas(const zaltest::TempDir& dir) {
  for (const char* foto : kFotos) {
    const std::string zal = dir.File("coded/" + std::string(foto) + ".zal");
    const std::string vuelta = dir.File(std::string(foto) + ".check.pgm");
    const Salida r = Shell(Q(zaltest::BinDir() + "/ZALdecod") + " -i " + Q(zal) + " -o " + Q(vuelta));
    EXPECT_EQ(r.estado, 0) << foto << ": " << r.texto;
    EXPECT_EQ(Medidas(vuelta), Medidas(dir.File("photos/" + std::string(foto) + ".pgm"))) << foto;
  }
}

// A folder with one broken image: that job fails (and is counted in the exit
// status, named in the log and failed again on retry) while the others are
// coded quietly; the decoding recipe then measures the coded ones.
TEST(Batch, ParallelRecipesCodeAndMeasureAFolder) {
  if (!Hay("parallel")) GTEST_SKIP() << "GNU parallel is not installed (tools/setup.sh installs it)";
  const std::vector<std::string> codifica = Recetas("Encoding a folder");
  const std::vector<std::string> decodifica = Recetas("Decoding a folder");
  ASSERT_EQ(codifica.size(), 2u);  // the recipe, then the log queries
  ASSERT_EQ(decodifica.size(), 1u);
  zaltest::TempDir dir;
  PreparaFotos(dir);
  zaltest::WriteFile(dir.File("photos/broken.pgm"), std::string("P6\n2 2\n255\n0123456789ab"));

  Salida r = Receta(dir.path, codifica[0]);
  EXPECT_EQ(r.estado, 1) << r.texto;
  for (const std::string& linea : Lineas(r.texto)) EXPECT_TRUE(Empieza(linea, "broken\t")) << r.texto;
  EXPECT_NE(r.texto, "");
  CompruebaCodificadas(dir);

  r = Receta(dir.path, codifica[1]);
  EXPECT_EQ(r.estado, 1) << r.texto;
  EXPECT_NE(r.texto.find("--input photos/broken.pgm"), std::string::npos) << r.texto;
  EXPECT_EQ(r.texto.find("photos/sea.pgm"), std::string::npos) << r.texto;

  r = Receta(dir.path, decodifica[0]);
  ASSERT_EQ(r.estado, 0) << r.texto;
  // One line per image in name order, then the mean.
  const std::vector<std::string> resumen = Lineas(r.texto);
  ASSERT_EQ(resumen.size(), 4u) << r.texto;
  const char* const enOrden[] = {"bridge\t", "old town\t", "sea\t"};
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(Empieza(resumen[i], enOrden[i])) << r.texto;
    EXPECT_GT(NumeroTras(resumen[i], "\t"), 20.0) << r.texto;
  }
  EXPECT_GT(NumeroTras(resumen[3], "3 images, mean PSNR "), 20.0) << r.texto;
  for (const char* foto : kFotos)
    EXPECT_TRUE(zaltest::FileExists(dir.File("decoded/" + std::string(foto) + ".pgm"))) << foto;
}

// The cluster recipe, with a stand-in for the scheduler that runs every task
// of the array in turn.
TEST(Batch, ClusterArrayRecipeCodesEveryListedImage) {
  if (!Hay("parallel")) GTEST_SKIP() << "GNU parallel is not installed (tools/setup.sh installs it)";
  const std::vector<std::string> cluster = Recetas("The same pattern on a cluster");
  ASSERT_EQ(cluster.size(), 2u);  // the job script, then the submission
  zaltest::TempDir dir;
  PreparaFotos(dir);
  zaltest::WriteFile(dir.File("zal-array.sh"), cluster[0]);
  ASSERT_EQ(mkdir(dir.File("fakebin").c_str(), 0755), 0);
  zaltest::WriteFile(dir.File("fakebin/sbatch"),
                     std::string("#!/bin/bash\nset -e\n"
                                 "range=${1#--array=}\n"
                                 "for ((t = ${range%-*}; t <= ${range#*-}; t++)); do\n"
                                 "  SLURM_ARRAY_TASK_ID=$t SLURM_CPUS_PER_TASK=2 bash \"$2\"\n"
                                 "done\n"));
  ASSERT_EQ(chmod(dir.File("fakebin/sbatch").c_str(), 0755), 0);

  const Salida r = Receta(dir.path, cluster[1], dir.File("fakebin") + ":");
  ASSERT_EQ(r.estado, 0) << r.texto;
  CompruebaCodificadas(dir);
  EXPECT_TRUE(zaltest::FileExists(dir.File("logs/encode-0.log")));
}

}  // namespace
