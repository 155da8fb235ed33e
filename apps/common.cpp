#include "apps/common.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "coder/ZALetapas.h"
#include "entropy/SalidaAtomica.h"
#include "image/ImagenLuminanciaES.h"
#include "timing/tiempos.h"
#include "wavelet/wavelets.h"
#include "zal/zal.h"

namespace zalapp {

bool RecorreOpciones(int argc, char** argv, ProcesaOpcionFn procesa) {
  for (int n_opt = 1; n_opt < argc; ++n_opt) {
    const char* valor = n_opt + 1 < argc ? argv[n_opt + 1] : nullptr;
    // No value may begin with a minus sign: such an argument is an option.
    if (valor && valor[0] == '-') valor = nullptr;
    if (!procesa(argv[n_opt], valor, n_opt)) return false;
  }
  return true;
}

bool EsOpcion(const char* arg, const char* larga, const char* corta) {
  return std::strcmp(arg, larga) == 0 || std::strcmp(arg, corta) == 0;
}

bool AplicaOpcion(std::span<const Opcion> tabla, const char* opcion, const char* valor, int& n_opt) {
  for (const Opcion& o : tabla) {
    if (!EsOpcion(opcion, o.larga, o.corta)) continue;
    if (o.bandera) {
      *o.bandera = 1;
      return true;
    }
    ++n_opt;
    bool acepta = valor != nullptr;
    if (acepta) {
      if (o.nombre) {
        *o.nombre = valor;
      } else if (o.entero) {
        acepta = (*o.entero = LeeEntero(valor)) != 0;
      } else if (o.entero8) {
        acepta = (*o.entero8 = LeeEntero8(valor)) != 0;
      } else if (o.real) {
        *o.real = LeeReal(valor);
        acepta = o.positivo ? *o.real > 0.0f : *o.real != 0.0f;
      }
    }
    if (!acepta) std::printf("%s", o.mensaje);
    return acepta;
  }
  std::printf("Parsing error: Parameter %s unknown\n", opcion);
  return false;
}

int32_t LeeEntero(const char* texto) {
  const long long v = std::strtoll(texto, nullptr, 10);
  if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

signed char LeeEntero8(const char* texto) {
  return static_cast<signed char>(LeeEntero(texto));  // keeps the low 8 bits
}

float LeeReal(const char* texto) { return static_cast<float>(std::atof(texto)); }

bool CompruebaNombres(const char* entrada, const char* salida, int tipo, int32_t ancho, int32_t alto) {
  constexpr int kTipoRaw = 3;
  if (!entrada) {
    std::printf("Parsing error: Input file name not specified\n");
    return false;
  }
  if (!salida) {
    std::printf("Parsing error: Output file name not specified\n");
    return false;
  }
  if (tipo == kTipoRaw && (ancho == 0 || alto == 0)) {
    std::printf("Parsing error: Width and height must be specified for raw image files\n");
    return false;
  }
  return true;
}

bool CompruebaSalida(const char* salida, std::initializer_list<const char*> entradas,
                     const char* marco) {
  struct stat s, e;
  if (!salida || stat(salida, &s) != 0 || S_ISCHR(s.st_mode)) return true;
  for (const char* entrada : entradas) {
    if (!entrada || stat(entrada, &e) != 0 || e.st_dev != s.st_dev || e.st_ino != s.st_ino) continue;
    char buffer[128];
    ImagenCheckError(kImagenSalidaEsEntrada, buffer);
    std::printf(marco, salida, buffer);
    return false;
  }
  return true;
}

int Ejecuta(int (*principal)(int, char**), int argc, char** argv) {
  for (int fd = 0; fd <= 2; ++fd)
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) open("/dev/null", O_RDONLY);
  std::signal(SIGPIPE, SIG_IGN);
  // The outputs take their names only once everything printed has gone out.
  DifiereRenombrados();
  const int estado = principal(argc, argv);
  errno = 0;
  bool fallo = std::fflush(stdout) != 0 || std::ferror(stdout) != 0;
  int causa = errno;
  if (std::fclose(stdout) != 0 && !fallo) {
    fallo = true;
    causa = errno;
  }
  if (!fallo) {
    if (TerminaRenombrados(true)) return estado;
    std::fprintf(stderr, "Error replacing an output file\n");
    return 1;
  }
  TerminaRenombrados(false);
  std::fprintf(stderr, "Error writing standard output: %s\n",
               causa != 0 ? std::strerror(causa) : "write failed");
  return 1;
}

namespace {

// What the loader's question finds for the size in the header: the refusal
// of the transform, or else of the coder. With --pad the size checked is the
// padded one, and a padded side the format cannot hold is refused first.
struct Previsto {
  signed char level, blankborder;
  RechazoCodificador rechazo;
  bool relleno;
  int anchoCod = 0, altoCod = 0;
  int rellenado = 0, transformada = 0, codificador = 0;
};

bool SigueSiNadaLoRechaza(void* usuario, int ancho, int alto) {
  Previsto& p = *static_cast<Previsto*>(usuario);
  p.anchoCod = ancho;
  p.altoCod = alto;
  if (p.relleno) p.rellenado = ZALTamanoRelleno(p.level, ancho, alto, &p.anchoCod, &p.altoCod);
  if (p.rellenado != 0) return false;
  p.transformada = WaveletsCompruebaArgumentos(p.level, p.anchoCod, p.altoCod, p.blankborder);
  if (p.transformada == 0 && p.rechazo != nullptr) p.codificador = p.rechazo(p.anchoCod, p.altoCod);
  return p.transformada == 0 && p.codificador == 0;
}

}  // namespace

float* CargaYTransforma(const char* entrada, int32_t* ancho, int32_t* alto, signed char level,
                        signed char blankborder, bool verbose, RechazoCodificador rechazo,
                        int* codigoCodificador, Relleno* relleno, bool luma) {
  char buffer[128];
  ResetAllAcumuladorT();
  float* plane = nullptr;
  Previsto previsto{level, blankborder, rechazo, relleno != nullptr};
  int codigo = CargaImagenLuminancia(entrada, ancho, alto, &plane, blankborder, luma ? kCargaLuma : 0,
                                     {&SigueSiNadaLoRechaza, &previsto});
  if (codigo != 0) {
    ImagenCheckError(codigo, buffer);
    std::printf("\nError in %s: \n%s\n", entrada, buffer);
    return nullptr;
  }
  // Refused from the header: the size the checks saw, padded or not.
  int anchoCod = plane ? *ancho : previsto.anchoCod, altoCod = plane ? *alto : previsto.altoCod;
  if (relleno != nullptr) {
    codigo = plane == nullptr ? previsto.rellenado
                              : ZALRellenaPlano(level, *ancho, *alto, &plane, blankborder, &anchoCod,
                                                &altoCod);
    relleno->ancho = anchoCod;
    relleno->alto = altoCod;
    if (codigo != 0) {
      ZALCheckError(codigo, buffer);
      std::printf("\nError in ZAL (%s):\n%s\n", relleno->salida, buffer);
      std::free(plane);
      return nullptr;
    }
  }
  if (verbose) std::printf("\nAPPLYING WAVELET TRANSFORM\n");
  if (codigoCodificador != nullptr) *codigoCodificador = previsto.codificador;
  codigo = plane == nullptr ? previsto.transformada
                            : ZALTransformaPlano(level, anchoCod, altoCod, plane, blankborder);
  if (codigo != 0) {
    WaveletsCheckError(codigo, buffer);
    std::printf("\nError in wavelet transform: \n%s\n", buffer);
    std::free(plane);
    return nullptr;
  }
  return plane;
}

bool ImprimeVersion(int argc, char** argv, const char* programa) {
  if (argc != 2 || std::strcmp(argv[1], "--version") != 0) return false;
  std::printf("%s %s (ZAL %d.%d.%d)\n", programa, kVersion, ZAL_VERSION_MAJOR, ZAL_VERSION_MINOR,
              ZAL_VERSION_PATCH);
  return true;
}

void ImprimeBanner(const char* titulo, const char* programa) {
  std::printf("%s - version %s\n", titulo, kVersion);
  std::printf("Use %s --help for instructions on how to use this program\n", programa);
}

void ImprimeAyuda(const char* titulo, const char* programa, std::span<const std::string> opciones) {
  std::printf("------------------------------------------------------\n");
  std::printf("%s - version %s\n", titulo, kVersion);
  std::printf("Authors: the ZAL team\n");
  std::printf("Institution: ZAL codec project\n");
  std::printf("Date: 2026\n");
  std::printf("------------------------------------------------------\n\n");
  std::printf("Usage: %s [Options]\n", programa);
  std::printf("The available options are:\n");
  for (const std::string& linea : opciones) std::printf("%s", linea.c_str());
}

std::string Formatea(const char* formato, ...) {
  va_list args;
  va_start(args, formato);
  va_list copia;
  va_copy(copia, args);
  const int n = std::vsnprintf(nullptr, 0, formato, copia);
  va_end(copia);
  std::vector<char> texto(n > 0 ? n + 1 : 1, '\0');
  std::vsnprintf(texto.data(), texto.size(), formato, args);
  va_end(args);
  return std::string(texto.data());
}

void ImprimeCiclos(const char* formato, int32_t total) {
  std::printf(formato, static_cast<unsigned long>(static_cast<uint32_t>(total)));
}

uint32_t ImprimeFrecuencia() {
  std::printf("- Calculating CPU frequency: ");
  const uint32_t frecuencia = CosigueCPUFrec();
  if (frecuencia != 0)
    std::printf("%d Mhz\n", static_cast<int>(frecuencia / 1000000u));
  else
    std::printf("Cannot be calculated\n");
  return frecuencia;
}

// An output whose rename waits is measured on its temporary file.
bool TamanoFichero(const char* nombre, int64_t* bytes) {
  struct stat estado;
  if (stat(ContenidoDe(nombre), &estado) != 0) return false;
  *bytes = static_cast<int64_t>(estado.st_size);
  return true;
}

bool TamanoFicheroRegular(const char* nombre, int64_t* bytes) {
  struct stat estado;
  if (stat(ContenidoDe(nombre), &estado) != 0 || !S_ISREG(estado.st_mode)) return false;
  *bytes = static_cast<int64_t>(estado.st_size);
  return true;
}

}  // namespace zalapp
