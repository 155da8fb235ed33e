// Runs a built program the way a user's shell does and collects what it
// prints on standard output and its exit status, for the end-to-end suites.
#pragma once
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "support/support.h"

namespace zalapps {

struct Resultado {
  std::string salida;  // standard output, whole
  std::string errores; // standard error (sanitizer reports would land here)
  int estado = -1;     // exit status, or 128 + signal
};

struct Opciones {
  std::string carpeta;       // working folder of the run ("" keeps ours)
  rlim_t memoria = 0;        // address-space limit in bytes (0: none)
  rlim_t disco = 0;          // largest file it may write, as on a full disk (0: none)
};

inline std::string LeeTodo(int fd) {
  std::string texto;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) texto.append(buf, size_t(n));
  return texto;
}

inline Resultado Ejecuta(const std::string& programa, const std::vector<std::string>& args,
                         const Opciones& opciones = {}) {
  const std::string ruta = zaltest::BinDir() + "/" + programa;
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(ruta.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  int tubo[2];
  if (pipe(tubo) != 0) return {};
  FILE* errores = std::tmpfile();
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(tubo[1], 1);
    dup2(fileno(errores), 2);
    close(tubo[0]);
    close(tubo[1]);
    if (!opciones.carpeta.empty() && chdir(opciones.carpeta.c_str()) != 0) _exit(126);
    if (opciones.memoria != 0) {
      const rlimit limite{opciones.memoria, opciones.memoria};
      setrlimit(RLIMIT_AS, &limite);
    }
    if (opciones.disco != 0) {
      // A write past the limit then fails instead of killing the program.
      signal(SIGXFSZ, SIG_IGN);
      const rlimit limite{opciones.disco, opciones.disco};
      setrlimit(RLIMIT_FSIZE, &limite);
    }
    execv(ruta.c_str(), argv.data());
    _exit(127);
  }
  close(tubo[1]);
  Resultado r;
  r.salida = LeeTodo(tubo[0]);
  close(tubo[0]);
  int estado = 0;
  waitpid(pid, &estado, 0);
  r.estado = WIFEXITED(estado) ? WEXITSTATUS(estado) : 128 + WTERMSIG(estado);
  std::rewind(errores);
  r.errores = LeeTodo(fileno(errores));
  std::fclose(errores);
  return r;
}

// Expected texts of other modules' messages, as the programs print them.
template <typename F>
std::string Mensaje(F checkError, int codigo) {
  char buffer[128] = {};
  checkError(codigo, buffer);
  return buffer;
}

// printf into a std::string, for expected report lines.
template <typename... T>
std::string Texto(const char* formato, T... valores) {
  char buffer[512];
  std::snprintf(buffer, sizeof buffer, formato, valores...);
  return buffer;
}

// Without arguments a program prints its banner; with --help or -h first, its
// help (the credits, then `opciones`), whatever follows.
inline void CompruebaBannerYAyuda(const std::string& programa, const std::string& titulo,
                                  const std::string& opciones) {
  const std::string version = "Zonal Adaptive Layers (ZAL) " + titulo + " - version 1.1\n";
  Resultado r = Ejecuta(programa, {});
  EXPECT_EQ(r.salida, version + "Use " + programa + " --help for instructions on how to use this program\n");
  EXPECT_EQ(r.estado, 0);
  const std::string raya = "------------------------------------------------------\n";
  for (const char* ayuda : {"--help", "-h"}) {
    r = Ejecuta(programa, {ayuda, "whatever", "--bogus"});
    EXPECT_EQ(r.salida, raya + version +
                            "Authors: the ZAL team\nInstitution: ZAL codec project\nDate: 2026\n" + raya +
                            "\nUsage: " + programa + " [Options]\nThe available options are:\n" + opciones)
        << ayuda;
    EXPECT_EQ(r.estado, 0);
  }
}

// Each faulty command line stops with its parsing error and status 1.
using ErroresDeSintaxis = std::vector<std::pair<std::vector<std::string>, std::string>>;
inline void CompruebaErroresDeSintaxis(const std::string& programa, const ErroresDeSintaxis& casos) {
  for (const auto& [args, mensaje] : casos) {
    std::string linea;
    for (const std::string& a : args) linea += " " + a;
    const Resultado r = Ejecuta(programa, args);
    EXPECT_EQ(r.salida, "Parsing error: " + mensaje + "\n") << programa << linea;
    EXPECT_EQ(r.estado, 1) << programa << linea;
  }
}

// The timing lines hold whatever the clock measured: replace each figure of
// ticks (the last 9 characters of its line, "%9lu") or seconds (the last word)
// by N, so that the rest of the text can be compared exactly.
inline std::string SinTiempos(const std::string& salida) {
  std::string resultado;
  size_t inicio = 0;
  while (inicio < salida.size()) {
    size_t fin = salida.find('\n', inicio);
    if (fin == std::string::npos) fin = salida.size();
    std::string linea = salida.substr(inicio, fin - inicio);
    if (linea.find("(in cycles):") != std::string::npos && linea.size() >= 9)
      linea = linea.substr(0, linea.size() - 9) + "N";
    else if (linea.find("(in seconds):") != std::string::npos)
      linea = linea.substr(0, linea.rfind(' ') + 1) + "N";
    resultado += linea;
    if (fin < salida.size()) resultado += '\n';
    inicio = fin + 1;
  }
  return resultado;
}

}  // namespace zalapps
