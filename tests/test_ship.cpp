// What a user gets besides the programs: the manual pages and the batch recipes
// of docs/batch.md, through the real tools (groff, GNU parallel); a missing tool
// skips, saying why. The installed tree and the packages: tests/packaging.sh.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
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

Salida Shell(const std::string& orden) {
  Salida s;
  s.texto = zaltest::Shell("exec 2>&1; " + orden, &s.estado);
  return s;
}
// A word for the shell, whatever it holds.
std::string Q(const std::string& texto) {
  std::string r = "'";
  for (char c : texto) r += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return r + "'";
}
bool Hay(const std::string& tool) { return Shell("command -v " + Q(tool) + " >/dev/null").estado == 0; }
std::string Fuentes() { return zaltest::TestDataDir() + "/../.."; }
std::string LeeTexto(const std::string& ruta) {
  const std::vector<uint8_t> bytes = zaltest::ReadFile(ruta);
  return std::string(bytes.begin(), bytes.end());
}
// The number right after the first `marca` of `texto` from `desde`, or -1.
double NumeroTras(const std::string& texto, const std::string& marca, size_t desde = 0) {
  const size_t i = texto.find(marca, desde);
  return i == std::string::npos ? -1 : std::strtod(texto.c_str() + i + marca.size(), nullptr);
}
std::vector<std::string> Lineas(const std::string& texto) {
  std::vector<std::string> lineas;
  std::istringstream in(texto);
  for (std::string linea; std::getline(in, linea);) lineas.push_back(linea);
  return lineas;
}
bool Empieza(const std::string& texto, const std::string& prefijo) { return texto.rfind(prefijo, 0) == 0; }

// "WxH" of an image file, or the loader's error.
std::string Medidas(const std::string& ruta) {
  int ancho = 0, alto = 0;
  float* plano = nullptr;
  const int codigo = CargaImagenLuminancia(ruta.c_str(), &ancho, &alto, &plano, 3);
  std::free(plano);
  return codigo ? "error " + std::to_string(codigo) : std::to_string(ancho) + "x" + std::to_string(alto);
}

// A photograph-like image: soft shapes with some texture on top.
void EscribeFoto(const std::string& ruta, int ancho, int alto, uint64_t semilla) {
  zaltest::Plane suave = zaltest::SmoothImage(ancho, alto, semilla);
  const zaltest::Plane textura = zaltest::TexturedImage(ancho, alto, semilla + 1);
  for (int y = 0; y < alto; ++y)
    for (int x = 0; x < ancho; ++x) suave.at(x, y) = 0.75f * suave.at(x, y) + 0.25f * textura.at(x, y);
  zaltest::WritePgm(ruta, suave);
}

// The pages format without warnings, name every option and default of the
// program's help, and explain every error number the modules can give (a
// module that gains a code makes this fail until the pages say what it means).
TEST(ManPages, FormatCleanlyAndDescribeEveryOptionDefaultAndError) {
  const bool groff = Hay("groff");
  const std::pair<void (*)(int, char*), int> modulos[] = {{ImagenCheckError, 100}, {ZALCheckError, 200},
                                                          {WaveletsCheckError, 300}};
  for (const char* programa : kProgramas) {
    const std::string ruta = Fuentes() + "/man/" + programa + ".1", pagina = LeeTexto(ruta);
    ASSERT_FALSE(pagina.empty()) << programa;
    EXPECT_EQ(groff ? Shell("groff -ww -man -Tutf8 -z " + Q(ruta)).texto : "", "") << programa;
    const Salida ayuda = Shell(Q(zaltest::BinDir() + "/" + programa) + " --help");
    int opciones = 0, defectos = 0, explicados = 0;
    for (const std::string& linea : Lineas(ayuda.texto)) {
      if (!Empieza(linea, "    --") || !++opciones) continue;
      EXPECT_NE(pagina.find("\\-\\-" + linea.substr(6, linea.find(' ', 6) - 6)), std::string::npos) << linea;
    }
    std::set<double> documentados;
    for (size_t i = pagina.find("Default "); i != std::string::npos; i = pagina.find("Default ", i + 1))
      documentados.insert(NumeroTras(pagina, "Default ", i));
    for (size_t i = ayuda.texto.find("defalt "); i != std::string::npos; i = ayuda.texto.find("defalt ", i + 1), ++defectos)
      EXPECT_EQ(documentados.count(NumeroTras(ayuda.texto, "=", i)), 1u) << programa << ": " << ayuda.texto.substr(i, 30);
    EXPECT_GE(opciones, 6) << ayuda.texto;
    EXPECT_GE(defectos, std::string(programa) == "ZALdecod" ? 0 : 3) << ayuda.texto;  // the decoder has none
    for (const auto& [texto, desplazamiento] : modulos)
      for (int codigo = 1; codigo < 100; ++codigo) {
        char buffer[128] = {};
        texto(codigo, buffer);
        const std::string mensaje(buffer), numero = std::to_string(codigo + desplazamiento);
        if (Empieza(mensaje, "Unknown error")) continue;
        ++explicados;
        const size_t entrada = pagina.find(".B " + numero + "\n");
        ASSERT_NE(entrada, std::string::npos) << programa << " lacks error " << numero;
        const std::string texto = mensaje.substr(0, mensaje.find(" (error #"));
        EXPECT_NE(pagina.substr(entrada, pagina.find(".TP", entrada) - entrada).find(texto), std::string::npos)
            << programa << ", error " << numero;
      }
    EXPECT_GE(explicados, 20) << programa;
  }
  if (!groff) GTEST_SKIP() << "groff is not installed (tools/setup.sh installs it): the pages were not formatted";
}

// The ```sh blocks of the section of docs/batch.md whose heading begins so.
std::vector<std::string> Recetas(const std::string& titulo) {
  std::vector<std::string> bloques;
  bool enSeccion = false, enBloque = false;
  for (const std::string& linea : Lineas(LeeTexto(Fuentes() + "/docs/batch.md"))) {
    if (enBloque && linea == "```") enBloque = false;
    else if (enBloque) bloques.back() += linea + "\n";
    else if (Empieza(linea, "## ")) enSeccion = Empieza(linea, "## " + titulo);
    else if (enSeccion && linea == "```sh") enBloque = true, bloques.emplace_back();
  }
  return bloques;
}

// Runs a recipe in `dir` with the built programs first on PATH.
Salida Receta(const zaltest::TempDir& dir, const std::string& receta, const std::string& path = "") {
  zaltest::WriteFile(dir.File(".recipe.sh"), receta);
  return Shell("cd " + Q(dir.path) + " && PATH=" + Q(path + zaltest::BinDir()) + ":\"$PATH\" bash .recipe.sh");
}

// photos/ with a few images, one with a blank in its name; CompruebaCodificadas
// decodes coded/ and compares the sizes.
const char* const kFotos[] = {"sea", "old town", "bridge"};
void PreparaFotos(const zaltest::TempDir& dir) {
  ASSERT_EQ(mkdir(dir.File("photos").c_str(), 0755), 0);
  for (int i = 0; i < 3; ++i)
    EscribeFoto(dir.File("photos/" + std::string(kFotos[i]) + ".pgm"), i == 0 ? 256 : 128, i == 2 ? 256 : 128, 11 + i);
}
void CompruebaCodificadas(const zaltest::TempDir& dir) {
  for (const std::string foto : kFotos) {
    const Salida r = Shell(Q(zaltest::BinDir() + "/ZALdecod") + " -i " + Q(dir.File("coded/" + foto + ".zal")) +
                           " -o " + Q(dir.File(foto + ".check.pgm")));
    EXPECT_EQ(r.estado, 0) << foto << ": " << r.texto;
    EXPECT_EQ(Medidas(dir.File(foto + ".check.pgm")), Medidas(dir.File("photos/" + foto + ".pgm"))) << foto;
  }
}

// With one broken image that job fails (counted in the exit status, named in
// the log, failed again on retry) while the others are coded quietly; the
// decoding recipe then measures the coded ones, in name order, and their mean.
// The cluster recipe runs with a stand-in scheduler that runs every task in turn.
TEST(Batch, RecipesCodeAndMeasureAFolder) {
  if (!Hay("parallel")) GTEST_SKIP() << "GNU parallel is not installed (tools/setup.sh installs it)";
  const std::vector<std::string> codifica = Recetas("Encoding a folder"), decodifica = Recetas("Decoding a folder"),
                                 cluster = Recetas("The same pattern on a cluster");
  ASSERT_EQ(codifica.size(), 2u);  // the recipe, then the log queries
  ASSERT_EQ(decodifica.size(), 1u);
  ASSERT_EQ(cluster.size(), 2u);  // the job script, then the submission
  zaltest::TempDir dir, otra;
  PreparaFotos(dir);
  zaltest::WriteFile(dir.File("photos/broken.pgm"), std::string("P6\n2 2\n255\n0123456789ab"));
  Salida r = Receta(dir, codifica[0]);
  EXPECT_EQ(r.estado, 1) << r.texto;
  EXPECT_NE(r.texto, "");
  for (const std::string& linea : Lineas(r.texto)) EXPECT_TRUE(Empieza(linea, "broken\t")) << r.texto;
  CompruebaCodificadas(dir);
  r = Receta(dir, codifica[1]);
  EXPECT_EQ(r.estado, 1) << r.texto;
  EXPECT_NE(r.texto.find("--input photos/broken.pgm"), std::string::npos) << r.texto;
  EXPECT_EQ(r.texto.find("photos/sea.pgm"), std::string::npos) << r.texto;
  r = Receta(dir, decodifica[0]);
  ASSERT_EQ(r.estado, 0) << r.texto;
  const std::vector<std::string> resumen = Lineas(r.texto);
  ASSERT_EQ(resumen.size(), 4u) << r.texto;
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(Empieza(resumen[i], std::string(kFotos[2 - i]) + "\t")) << r.texto;
    EXPECT_GT(NumeroTras(resumen[i], "\t"), 20.0) << r.texto;
    EXPECT_TRUE(zaltest::FileExists(dir.File("decoded/" + std::string(kFotos[i]) + ".pgm"))) << kFotos[i];
  }
  EXPECT_GT(NumeroTras(resumen[3], "3 images, mean PSNR "), 20.0) << r.texto;
  PreparaFotos(otra);
  zaltest::WriteFile(otra.File("zal-array.sh"), cluster[0]);
  ASSERT_EQ(mkdir(otra.File("fakebin").c_str(), 0755), 0);
  zaltest::WriteFile(otra.File("fakebin/sbatch"),
                     std::string("#!/bin/bash\nset -e\nrange=${1#--array=}\n"
                                 "for ((t = ${range%-*}; t <= ${range#*-}; t++)); do\n"
                                 "  SLURM_ARRAY_TASK_ID=$t SLURM_CPUS_PER_TASK=2 bash \"$2\"\ndone\n"));
  ASSERT_EQ(chmod(otra.File("fakebin/sbatch").c_str(), 0755), 0);
  r = Receta(otra, cluster[1], otra.File("fakebin") + ":");
  ASSERT_EQ(r.estado, 0) << r.texto;
  CompruebaCodificadas(otra);
  EXPECT_TRUE(zaltest::FileExists(otra.File("logs/encode-0.log")));
}

}  // namespace
