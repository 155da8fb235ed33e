// Bppquest: finds the quantization parameter at which the compressed file
// comes just below a target bit rate, and leaves the file coded at it.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "apps/common.h"
#include "coder/ZALetapas.h"
#include "coder/ZALextension.h"
#include "entropy/SalidaAtomica.h"
#include "entropy/CodificadorAritmetico.h"
#include "image/ImagenLuminanciaES.h"
#include "timing/tiempos.h"
#include "wavelet/wavelets.h"

namespace {

constexpr const char* kTitulo = "Zonal Adaptive Layers (ZAL) Find bit rate";
constexpr float kBitrateDefecto = 1.0f;
constexpr float kStartDefecto = 0.1f;  // bits 0x3DCCCCCD
constexpr int kRplanesDefecto = 2;
constexpr int kLevelDefecto = 6;
constexpr int kTipoRaw = 3;

struct Ajustes {
  const char* InputName = nullptr;
  const char* OutputName = nullptr;
  int32_t ancho = 0;
  int32_t alto = 0;
  float bitrate = kBitrateDefecto;
  float startq = kStartDefecto;
  signed char rplanes = kRplanesDefecto;
  signed char level = kLevelDefecto;
  signed char blankborder = 3;
  int keep = 0;
  int verbose = 0;
  int pad = 0;       // any size, padded; the file ends with the extension
  int checksum = 0;  // the file ends with the extension
  zalapp::Relleno relleno;  // with --pad, the coded size
  int grey = 0;  // a colour PNG is coded as its luma
  int rdo = 0;  // labels chosen by rate and distortion
  char ErrorStr[128] = {};
};
Ajustes s;

// A rate or a starting parameter that is not above 0 (" -1", "nan") has no
// meaning for the search: refused like 0.
bool ProcesaOpcion(const char* opcion, const char* valor, int& n_opt) {
  static const zalapp::Opcion tabla[] = {
      {.larga = "--input", .corta = "-i", .mensaje = "Parsing error: Input file name not specified\n", .nombre = &s.InputName},
      {.larga = "--output", .corta = "-o", .mensaje = "Parsing error: Output file name not specified\n", .nombre = &s.OutputName},
      {.larga = "--width", .corta = "-w", .mensaje = "Parsing error: Incorrect width\n", .entero = &s.ancho},
      {.larga = "--height", .corta = "-h", .mensaje = "Parsing error: Incorrect height\n", .entero = &s.alto},
      {.larga = "--rplanes", .corta = "-r", .mensaje = "Parsing error: Incorrect rplanes parameter\n", .entero8 = &s.rplanes},
      {.larga = "--level", .corta = "-l", .mensaje = "Parsing error: Incorrect level parameter\n", .entero8 = &s.level},
      {.larga = "--bitrate", .corta = "-b", .mensaje = "Parsing error: Incorrect bit rate\n", .real = &s.bitrate, .positivo = true},
      {.larga = "--start", .corta = "-s", .mensaje = "Parsing error: Incorrect starting quantization parameter\n", .real = &s.startq, .positivo = true},
      {.larga = "--keep", .corta = "-k", .bandera = &s.keep},
      {.larga = "--verbose", .corta = "-v", .bandera = &s.verbose},
      {.larga = "--pad", .corta = "--pad", .bandera = &s.pad},
      {.larga = "--checksum", .corta = "--checksum", .bandera = &s.checksum},
      {.larga = "--grey", .corta = "-g", .bandera = &s.grey},
      {.larga = "--rdo", .corta = "--rdo", .bandera = &s.rdo},
  };
  return zalapp::AplicaOpcion(tabla, opcion, valor, n_opt);
}

void ImprimeAyuda() {
  using zalapp::Formatea;
  const std::string opciones[] = {
      "    --input $file      Image to be analyzed\n",
      "    --output $file     Output file containing the compressed image\n",
      "                       encoded at the specified bit rate\n",
      "    --width $num       Specify the image width (only for raw imput files)\n",
      "    --height $num      Specify the image height (only for raw imput files)\n",
      "    --bitrate $num     Desired bit rate in bits per pixel (bpp)\n",
      Formatea("                       (defalt bitrate=%f bpp)\n", kBitrateDefecto),
      "    --start $num       Starting search point for the quantization parameter\n",
      Formatea("                       (defalt starting quant=%f)\n", kStartDefecto),
      "    --rplanes $num     Number of less significant bits to be removed\n",
      Formatea("                       (defalt rplanes=%d)\n", kRplanesDefecto),
      "    --level $num       Number of decomposition levels for the wavelet\n",
      Formatea("                       transform (defalt level=%d)\n", kLevelDefecto),
      "    --keep             Keep the quantization parameter always within the\n",
      "                       interval [0, 1] (increasing rplanes if necessary)\n",
      "    --verbose          Enable verbose mode (specially useful to see the\n",
      "                       quantization parameter associated to the bit rate)\n",
      "    --help             Display this help\n",
  };
  zalapp::ImprimeAyuda(kTitulo, "Bppquest", opciones);
}

void ImprimeParametros(int tipo) {
  std::printf("\nINPUT PARAMETERS:\n");
  std::printf("-input image=%s\n", s.InputName);
  if (tipo == kTipoRaw) std::printf("-image size= (%d, %d)\n", s.ancho, s.alto);
  std::printf("-output image=%s\n", s.OutputName);
  std::printf("-bit rate=%f bpp\n", s.bitrate);
  std::printf("-starting quant=%f\n", s.startq);
  std::printf("-rplanes=%d\n", s.rplanes);
  std::printf("-decomposition level=%d\n", s.level);
  std::printf(s.keep ? "-keep=enabled\n" : "-keep=disabled\n");
  if (s.grey) std::printf("-grey=enabled\n");
  std::printf("-verbose=enabled\n");
  if (s.pad) std::printf("-pad=enabled\n");
  if (s.checksum) std::printf("-checksum=enabled\n");
  if (s.rdo) std::printf("-rdo=enabled\n");
  if ((s.ancho != 0 || s.alto != 0) && tipo != kTipoRaw)
    std::printf("\nParsing warning: Width and height are ignored for non raw image files\n");
  // Only the listed run starts --keep from the default rplanes; a quiet run
  // starts from the value given, as it always has.
  if (s.keep && s.rplanes != kRplanesDefecto) {
    std::printf("\nParsing warning: Keep option overrides rplanes parameter specification,\n");
    std::printf("                 default rplanes parameter will be used\n");
    s.rplanes = kRplanesDefecto;
  }
  std::printf("\nLOADING INPUT IMAGE\n");
}

int FallaCodificador(int codigo) {
  ZALCheckError(codigo, s.ErrorStr);
  std::printf("\nError in ZAL (%s):\n%s\n", s.OutputName, s.ErrorStr);
  return 1;
}

int FallaBusqueda(const char* texto) {
  std::printf("\nError in bit rate search: \n%s\n", texto);
  return 1;
}

bool ConExtension() { return s.pad || s.checksum; }

// The search's output: the file named by --output, each stream followed by
// the extension with --pad or --checksum, made ready before the search (its
// temporary file) and taking the name only at the end, so that a search
// stopped half way leaves the name as it was.
class SalidaFichero final : public ZALSalidaBusqueda {
 public:
  SalidaAtomica destino;
  int Guarda(const std::vector<uint8_t>& flujo) override {
    if (!ConExtension()) return ZALGuardaFlujo(flujo, &destino);
    std::vector<uint8_t> fichero = flujo;
    ZALAnadeExtension(fichero, s.ancho, s.alto);
    return ZALGuardaFlujo(fichero, &destino);
  }
  int Codifica(signed char rplanes, signed char level, float quant, int width, int height,
               float* plane, signed char blankborder, bool rd) override {
    std::vector<uint8_t> flujo;
    int64_t bytes = 0;
    const int codigo = ZALCodificadorMemoria(rplanes, level, quant, width, height, plane,
                                             blankborder, &bytes, &flujo, -1, false, rd);
    return codigo != 0 ? codigo : Guarda(flujo);
  }
  // The size of a pipe or a device is not the number of bytes written to it.
  bool Tamano(int64_t* bytes) override {
    return zalapp::TamanoFicheroRegular(
        destino.temporal.empty() ? s.OutputName : destino.temporal.c_str(), bytes);
  }
};

// The verbose run shows every trial.
int MuestraPrueba(void*, float quant, int, float rate) {
  std::printf("Quantization %f: %f bpp\n", quant, rate);
  return 0;
}

// The progress line on a terminal: rewritten in place after each trial, and
// blanked out at the end. Each update is one write.
struct Progreso {
  float target = 0.0f;
  size_t largo = 0;  // of the text shown
};

void MuestraProgreso(void* usuario, int prueba, float quant, float rate, bool exacta) {
  Progreso& p = *static_cast<Progreso*>(usuario);
  const std::string texto =
      exacta ? zalapp::Formatea("Bppquest: trial %d, quantization %f, %f bpp", prueba, quant, rate)
             : zalapp::Formatea("Bppquest: trial %d, quantization %f, above %f bpp", prueba, quant, p.target);
  std::fprintf(stderr, "\r%-*s", static_cast<int>(std::max(p.largo, texto.size())), texto.c_str());
  p.largo = texto.size();
}

void BorraProgreso(const Progreso& p) {
  if (p.largo > 0) std::fprintf(stderr, "\r%*s\r", static_cast<int>(p.largo), "");
}

// Whether trials are coded ahead: by the image's size, unless the variable
// ZAL_BPPQUEST_AHEAD says "0" (never) or "1" (always), so that both ways can
// be compared on any image.
bool CodificaAdelantado() {
  const char* forzado = std::getenv("ZAL_BPPQUEST_AHEAD");
  if (forzado != nullptr && std::strcmp(forzado, "0") == 0) return false;
  if (forzado != nullptr && std::strcmp(forzado, "1") == 0) return true;
  return ZALBusquedaAdelantada(s.ancho, s.alto);
}

ZALParametrosBusqueda Parametros(float target) {
  ZALParametrosBusqueda p;
  p.target = target;
  p.startq = s.startq;
  p.rplanes = s.rplanes;
  p.level = s.level;
  p.blankborder = s.blankborder;
  p.keep = s.keep != 0;
  p.width = s.pad ? s.relleno.ancho : s.ancho;
  p.height = s.pad ? s.relleno.alto : s.alto;
  p.trueWidth = s.ancho;
  p.trueHeight = s.alto;
  p.extra = ConExtension() ? int(kZALExtensionBytes) : 0;
  // The labeller by rate and distortion keeps both cores busy itself.
  p.adelantado = !s.rdo && CodificaAdelantado();
  p.rd = s.rdo != 0;
  return p;
}

int RechazoCodificador(int ancho, int alto) {
  ZALParametrosBusqueda p = Parametros(s.bitrate);
  p.width = ancho;
  p.height = alto;
  return ZALCompruebaBusqueda(p);
}

// The search over the transformed plane, which holds the same coefficients
// again on return. Returns 0 with *resultado, or 1 after printing an error.
int EncuentraBitRate(float* plane, float target, float* resultado) {
  ZALParametrosBusqueda p = Parametros(target);
  // The trial lines of a verbose run say more; elsewhere only a terminal is shown progress.
  Progreso progreso{target};
  if (!s.verbose && isatty(STDERR_FILENO)) {
    p.aviso = &MuestraProgreso;
    p.usuarioAviso = &progreso;
  }
  SalidaFichero salida;
  PreparaSalida(s.OutputName, &salida.destino);
  ZALResultadoBusqueda r;
  const int estado = ZALBuscaTasa(plane, p, s.verbose ? &MuestraPrueba : nullptr, nullptr, salida, &r);
  BorraProgreso(progreso);
  // Failed searches too leave the file their rules leave, if any: the last
  // stream written whole (a trial that failed in the coder wrote nothing).
  const bool confirmada = ConfirmaSalida(&salida.destino);
  switch (estado) {
    case kBusquedaOk:
      if (!confirmada) return FallaCodificador(kZALNoEscribe);
      s.rplanes = r.rplanes;
      *resultado = r.quant;
      return 0;
    case kBusquedaSinMemoria:
      return FallaBusqueda("Insuficient memory available for a copy of the coefficients");
    case kBusquedaInalcanzable:
      return FallaBusqueda(zalapp::Formatea("The bit rate %f bpp cannot be reached: the lowest "
                                            "rate with rplanes=%d is %f bpp",
                                            target, s.rplanes, r.minima)
                               .c_str());
    case kBusquedaSinQuant:
      return FallaBusqueda(zalapp::Formatea("No quantization parameter found for %f bpp (the "
                                            "search ended after %d trials, at quantization %f)",
                                            target, r.pruebas, r.quant)
                               .c_str());
    default:
      return FallaCodificador(r.codigo);
  }
}

void ImprimeInforme(float resultado) {
  std::printf("\nSEARCH COMPLETED:\n");
  int64_t bytes = 0;
  if (zalapp::TamanoFichero(s.OutputName, &bytes))
    std::printf("- Final bit rate (R) %f bpp\n",
                static_cast<double>(bytes) * 8.0 /
                    (static_cast<double>(s.ancho) * static_cast<double>(s.alto)));
  else
    std::printf("- Final bit rate (R) unknown (cannot read the status of %s)\n", s.OutputName);
  std::printf("- rplanes parameter (coarser quant)= %d\n", s.rplanes);
  std::printf("- finer quantization parameter= %f\n", resultado);
  if (s.rdo) std::printf("- decomposition level= %d\n", s.level);
}

// --rdo: other numbers of levels. The format sends LL values without a sign,
// so negative ones decode as 0; with fewer levels the LL band is smaller and
// brighter. When the transform at the asked levels has such values, the
// search is made again with 3, 4 and 5 levels, and the file of the best PSNR
// (all are at most the target) is kept. A padded image keeps the asked
// levels: its coded size would change with them.
bool LLConNegativos(const float* plane) {
  const int anchoLL = s.ancho >> s.level, altoLL = s.alto >> s.level;
  for (int y = 0; y < altoLL; ++y)
    for (int x = 0; x < anchoLL; ++x)
      if (plane[std::ptrdiff_t(y) * (s.ancho + s.blankborder) + x] < 0.0f) return true;
  return false;
}

// A search's stream kept in memory.
class SalidaMemoria final : public ZALSalidaBusqueda {
 public:
  std::vector<uint8_t> flujo;
  int Guarda(const std::vector<uint8_t>& f) override {
    flujo = f;
    return 0;
  }
  int Codifica(signed char rplanes, signed char level, float quant, int width, int height,
               float* plane, signed char blankborder, bool rd) override {
    int64_t bytes = 0;
    return ZALCodificadorMemoria(rplanes, level, quant, width, height, plane, blankborder, &bytes,
                                 &flujo, -1, false, rd);
  }
  bool Tamano(int64_t* bytes) override {
    *bytes = static_cast<int64_t>(flujo.size());
    return true;
  }
};

// PSNR of a stream (in the file, or in `flujo` when given) against the
// original samples; -1 when it cannot be decoded.
float PSNRDe(const std::vector<uint8_t>* flujo, const int* original) {
  signed char rplanes = 0, level = 0;
  float quant = 0.0f, psnr = -1.0f;
  int ancho = 0, alto = 0;
  float* plane = nullptr;
  int codigo;
  if (flujo != nullptr) {
    FuenteMemoria fuente(flujo->data(), flujo->size());
    codigo = ZALDecodificadorFuente(&rplanes, &level, &quant, &ancho, &alto, &plane, &fuente,
                                    s.blankborder);
  } else {
    codigo = ZALDecodificador(&rplanes, &level, &quant, &ancho, &alto, &plane,
                              ContenidoDe(s.OutputName), s.blankborder);
  }
  const size_t celdas = size_t(alto) * size_t(ancho + s.blankborder);
  int* decodificada = static_cast<int*>(std::malloc(celdas > 0 ? celdas * sizeof(int) : 1));
  if (codigo == 0 && decodificada != nullptr && ancho == s.ancho && alto == s.alto &&
      ZALReconstruyePlano(level, ancho, alto, plane, s.blankborder) == 0) {
    Buffer_ftoi(ancho, alto, plane, decodificada, s.blankborder);
    psnr = CalculaPSNRLuminancia(ancho, alto, original, decodificada, s.blankborder);
  }
  std::free(decodificada);
  std::free(plane);
  return psnr;
}

// After the search at the asked levels has left its file: tries the others
// and keeps the best file, updating the levels, rplanes and *resultado.
// Returns 1 after printing an error.
int EligeNiveles(float* resultado) {
  int32_t ancho = s.ancho, alto = s.alto;
  int* original = nullptr;
  if (CargaImagenLuminancia(s.InputName, &ancho, &alto, &original, s.blankborder,
                            s.grey ? kCargaLuma : 0) != 0)
    return 0;
  float mejor = PSNRDe(nullptr, original);
  const signed char pedido = s.level;
  std::vector<uint8_t> elegido;
  signed char nivelElegido = pedido, rplanesElegido = s.rplanes;
  float quantElegido = *resultado;
  for (signed char level = 3; level <= 5; ++level) {
    if (level == pedido || (s.ancho >> (level + 1)) << (level + 1) != s.ancho ||
        (s.alto >> (level + 1)) << (level + 1) != s.alto)
      continue;
    float* plane = zalapp::CargaYTransforma(s.InputName, &ancho, &alto, level, s.blankborder, false,
                                            nullptr, nullptr, nullptr, s.grey != 0);
    if (!plane) break;
    ZALParametrosBusqueda p;
    p.target = s.bitrate;
    p.startq = s.startq;
    p.rplanes = s.rplanes;
    p.level = level;
    p.blankborder = s.blankborder;
    p.keep = s.keep != 0;
    p.width = s.ancho;
    p.height = s.alto;
    p.extra = ConExtension() ? int(kZALExtensionBytes) : 0;
    p.rd = true;
    SalidaMemoria salida;
    ZALResultadoBusqueda r;
    const int busqueda = ZALBuscaTasa(plane, p, nullptr, nullptr, salida, &r);
    std::free(plane);
    if (busqueda != kBusquedaOk) continue;
    const float psnr = PSNRDe(&salida.flujo, original);
    if (psnr > mejor) {
      mejor = psnr;
      elegido.swap(salida.flujo);
      nivelElegido = level;
      rplanesElegido = r.rplanes;
      quantElegido = r.quant;
    }
  }
  std::free(original);
  if (nivelElegido == pedido) return 0;
  if (ConExtension()) ZALAnadeExtension(elegido, s.ancho, s.alto);
  const int codigo = ZALGuardaFlujo(elegido, s.OutputName);
  if (codigo != 0) return FallaCodificador(codigo);
  s.level = nivelElegido;
  s.rplanes = rplanesElegido;
  *resultado = quantElegido;
  return 0;
}

int Principal(int argc, char** argv) {
  if (argc == 1) {
    zalapp::ImprimeBanner(kTitulo, "Bppquest");
    return 0;
  }
  if (zalapp::ImprimeVersion(argc, argv, "Bppquest")) return 0;
  if (zalapp::EsOpcion(argv[1], "--help", "-h")) {
    ImprimeAyuda();
    return 0;
  }
  if (!zalapp::RecorreOpciones(argc, argv, ProcesaOpcion)) return 1;

  const int tipo = s.InputName ? DeterminaTipo(s.InputName) : 0;
  if (!zalapp::CompruebaNombres(s.InputName, s.OutputName, tipo, s.ancho, s.alto)) return 1;
  if (s.verbose) ImprimeParametros(tipo);
  if (!zalapp::CompruebaSalida(s.OutputName, {s.InputName}, "\nError in %s: \n%s\n")) return 1;

  s.relleno.salida = s.OutputName;
  int rechazo = 0;  // the first trial's, known from the image's header
  float* plane = zalapp::CargaYTransforma(s.InputName, &s.ancho, &s.alto, s.level, s.blankborder,
                                          s.verbose != 0, &RechazoCodificador, &rechazo,
                                          s.pad ? &s.relleno : nullptr, s.grey != 0);
  if (!plane && !rechazo) return 1;

  if (s.verbose) std::printf("\nSEARCHING FOR THE BIT RATE\n");
  if (rechazo) return FallaCodificador(rechazo);
  float resultado = 0.0f;
  if (EncuentraBitRate(plane, s.bitrate, &resultado) != 0) {
    std::free(plane);
    return 1;
  }
  const bool rellenada = s.pad && (s.relleno.ancho != s.ancho || s.relleno.alto != s.alto);
  if (s.rdo && !rellenada && LLConNegativos(plane)) {
    std::free(plane);
    plane = nullptr;
    if (EligeNiveles(&resultado) != 0) return 1;
  }
  if (s.verbose) ImprimeInforme(resultado);
  std::free(plane);
  return 0;
}

}  // namespace

int main(int argc, char** argv) { return zalapp::Ejecuta(Principal, argc, argv); }
