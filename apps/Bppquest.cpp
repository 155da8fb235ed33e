// Bppquest: finds the quantization parameter at which the compressed file
// comes just below a target bit rate, and leaves the file coded at it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "apps/common.h"
#include "coder/ZALetapas.h"
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
  std::printf("-verbose=enabled\n");
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

// The search's output: the file named by --output.
class SalidaFichero final : public ZALSalidaBusqueda {
 public:
  int Guarda(const std::vector<uint8_t>& flujo) override {
    return ZALGuardaFlujo(flujo, s.OutputName);
  }
  int Codifica(signed char rplanes, signed char level, float quant, int width, int height,
               float* plane, signed char blankborder) override {
    return ZALCodificador(rplanes, level, quant, width, height, plane, s.OutputName, blankborder);
  }
  // The size of a pipe or a device is not the number of bytes written to it.
  bool Tamano(int64_t* bytes) override { return zalapp::TamanoFicheroRegular(s.OutputName, bytes); }
};

// The verbose run shows every trial.
int MuestraPrueba(void*, float quant, int, float rate) {
  std::printf("Quantization %f: %f bpp\n", quant, rate);
  return 0;
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
  p.width = s.ancho;
  p.height = s.alto;
  p.adelantado = CodificaAdelantado();
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
  const ZALParametrosBusqueda p = Parametros(target);
  SalidaFichero salida;
  ZALResultadoBusqueda r;
  switch (ZALBuscaTasa(plane, p, s.verbose ? &MuestraPrueba : nullptr, nullptr, salida, &r)) {
    case kBusquedaOk:
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
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 1) {
    zalapp::ImprimeBanner(kTitulo, "Bppquest");
    return 0;
  }
  if (zalapp::EsOpcion(argv[1], "--help", "-h")) {
    ImprimeAyuda();
    return 0;
  }
  if (!zalapp::RecorreOpciones(argc, argv, ProcesaOpcion)) return 1;

  const int tipo = s.InputName ? DeterminaTipo(s.InputName) : 0;
  if (!zalapp::CompruebaNombres(s.InputName, s.OutputName, tipo, s.ancho, s.alto)) return 1;
  if (s.verbose) ImprimeParametros(tipo);

  int rechazo = 0;  // the first trial's, known from the image's header
  float* plane = zalapp::CargaYTransforma(s.InputName, &s.ancho, &s.alto, s.level, s.blankborder,
                                          s.verbose != 0, &RechazoCodificador, &rechazo);
  if (!plane && !rechazo) return 1;

  if (s.verbose) std::printf("\nSEARCHING FOR THE BIT RATE\n");
  if (rechazo) return FallaCodificador(rechazo);
  float resultado = 0.0f;
  if (EncuentraBitRate(plane, s.bitrate, &resultado) != 0) {
    std::free(plane);
    return 1;
  }
  if (s.verbose) ImprimeInforme(resultado);
  std::free(plane);
  return 0;
}
