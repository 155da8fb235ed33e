// ZALcod: loads a grey-scale image, transforms it and codes it into a
// compressed file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "apps/common.h"
#include "coder/ZALetapas.h"
#include "image/ImagenLuminanciaES.h"
#include "timing/tiempos.h"
#include "wavelet/wavelets.h"

namespace {

constexpr const char* kTitulo = "Zonal Adaptive Layers (ZAL) Image Coder";
constexpr float kQuantDefecto = 0.8956599831581116f;  // bits 0x3F6549F9
constexpr int kRplanesDefecto = 2;
constexpr int kLevelDefecto = 6;
constexpr int kTipoRaw = 3;

struct Ajustes {
  const char* InputName = nullptr;
  const char* OutputName = nullptr;
  int32_t ancho = 0;
  int32_t alto = 0;
  float quant = kQuantDefecto;
  signed char rplanes = kRplanesDefecto;
  signed char level = kLevelDefecto;
  signed char blankborder = 3;
  int timing = 0;
  int seconds = 0;
  int verbose = 0;
  int pad = 0;       // any size, padded; the file ends with the extension
  int checksum = 0;  // the file ends with the extension
  int grey = 0;  // a colour PNG is coded as its luma
  int rdo = 0;  // labels chosen by rate and distortion
};
Ajustes s;

bool ProcesaOpcion(const char* opcion, const char* valor, int& n_opt) {
  static const zalapp::Opcion tabla[] = {
      {.larga = "--input", .corta = "-i", .mensaje = "Parsing error: Input file name not specified\n", .nombre = &s.InputName},
      {.larga = "--output", .corta = "-o", .mensaje = "Parsing error: Output file name not specified\n", .nombre = &s.OutputName},
      {.larga = "--width", .corta = "-w", .mensaje = "Parsing error: Incorrect width\n", .entero = &s.ancho},
      {.larga = "--height", .corta = "-h", .mensaje = "Parsing error: Incorrect height\n", .entero = &s.alto},
      {.larga = "--rplanes", .corta = "-r", .mensaje = "Parsing error: Incorrect rplanes parameter\n", .entero8 = &s.rplanes},
      {.larga = "--level", .corta = "-l", .mensaje = "Parsing error: Incorrect level parameter\n", .entero8 = &s.level},
      {.larga = "--quant", .corta = "-q", .mensaje = "Parsing error: Incorrect quantization parameter\n", .real = &s.quant},
      {.larga = "--timing", .corta = "-t", .bandera = &s.timing},
      {.larga = "--seconds", .corta = "-s", .bandera = &s.seconds},
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
      "    --input $file      Image to be compressed using the ZAL algorithm\n",
      "    --output $file     Output file containing the compressed image\n",
      "    --width $num       Specify the image width (only for raw imput files)\n",
      "    --height $num      Specify the image height (only for raw imput files)\n",
      "    --quant $num       Parameter for the uniform scalar quantization\n",
      Formatea("                       (defalt quant=%f)\n", kQuantDefecto),
      "    --rplanes $num     Number of less significant bits to be removed\n",
      Formatea("                       (defalt rplanes=%d)\n", kRplanesDefecto),
      "    --level $num       Number of decomposition levels for the wavelet\n",
      Formatea("                       transform (defalt level=%d)\n", kLevelDefecto),
      "    --timing           Enable timing (time in CPU cycles for Intel Proc.)\n",
      "    --seconds          Perform timing in seconds (calculate CPU freq)\n",
      "    --verbose          Enable verbose mode\n",
      "    --help             Display this help\n",
  };
  zalapp::ImprimeAyuda(kTitulo, "ZALcod", opciones);
}

void ImprimeParametros(int tipo) {
  std::printf("\nINPUT PARAMETERS:\n");
  std::printf("-input image=%s\n", s.InputName);
  if (tipo == kTipoRaw) std::printf("-image size= (%d, %d)\n", s.ancho, s.alto);
  std::printf("-output image=%s\n", s.OutputName);
  std::printf("-quantization=%f\n", s.quant);
  std::printf("-rplanes=%d\n", s.rplanes);
  std::printf("-decomposition level=%d\n", s.level);
  std::printf(s.timing ? "-timing=enabled\n" : "-timing=disabled\n");
  if (s.seconds) std::printf("(time in seconds)\n");
  if (s.grey) std::printf("-grey=enabled\n");
  std::printf("-verbose=enabled\n");
  if (s.pad) std::printf("-pad=enabled\n");
  if (s.checksum) std::printf("-checksum=enabled\n");
  if (s.rdo) std::printf("-rdo=enabled\n");
  if ((s.ancho != 0 || s.alto != 0) && tipo != kTipoRaw)
    std::printf("\nParsing warning: Width and height are ignored for non raw image files\n");
  std::printf("\nLOADING INPUT IMAGE\n");
}

void ImprimeTiempos() {
  const int32_t transformada = ConsigueAcumuladorT(3);
  const int32_t codificacion = ConsigueAcumuladorT(1);
  zalapp::ImprimeCiclos("\n- Wavelet transform time (in cycles): %9lu\n", transformada);
  zalapp::ImprimeCiclos("- ZAL coding time (in cycles):        %9lu\n", codificacion);
  if (!s.seconds) return;
  const uint32_t frecuencia = zalapp::ImprimeFrecuencia();
  std::printf("- Wavelet transform time (in seconds): %f\n", ClicksToSeconds(frecuencia, transformada));
  std::printf("- ZAL coding time (in seconds):        %f\n", ClicksToSeconds(frecuencia, codificacion));
}

// Sizes come from the files themselves, headers included. A size that cannot
// be read is said so, and the figures that need it are left out.
void ImprimeInformeCompresion() {
  int64_t salida = 0, entrada = 0;
  const bool haySalida = zalapp::TamanoFichero(s.OutputName, &salida);
  const bool hayEntrada = zalapp::TamanoFichero(s.InputName, &entrada);
  std::printf("\nCOMPRESSION REPORT:\n");
  if (hayEntrada)
    std::printf("- Input image size: %lld (in bytes)\n", static_cast<long long>(entrada));
  else
    std::printf("- Input image size: unknown (cannot read the status of %s)\n", s.InputName);
  if (haySalida)
    std::printf("- Output image size: %lld (in bytes)\n", static_cast<long long>(salida));
  else
    std::printf("- Output image size: unknown (cannot read the status of %s)\n", s.OutputName);
  if (hayEntrada && haySalida)
    std::printf("- Original image reduced in 1:%f\n",
                static_cast<double>(entrada) / static_cast<double>(salida));
  if (haySalida)
    std::printf("- Final bit rate (R) %f bpp\n",
                static_cast<double>(salida) * 8.0 /
                    (static_cast<double>(s.ancho) * static_cast<double>(s.alto)));
}

int RechazoCodificador(int ancho, int alto) {
  return ZALCompruebaArgumentos(s.rplanes, s.level, s.quant, ancho, alto, s.blankborder);
}

int Principal(int argc, char** argv) {
  if (argc == 1) {
    zalapp::ImprimeBanner(kTitulo, "ZALcod");
    return 0;
  }
  if (zalapp::ImprimeVersion(argc, argv, "ZALcod")) return 0;
  if (zalapp::EsOpcion(argv[1], "--help", "-h")) {
    ImprimeAyuda();
    return 0;
  }
  if (!zalapp::RecorreOpciones(argc, argv, ProcesaOpcion)) return 1;

  const int tipo = s.InputName ? DeterminaTipo(s.InputName) : 0;
  if (!zalapp::CompruebaNombres(s.InputName, s.OutputName, tipo, s.ancho, s.alto)) return 1;
  if (s.seconds) s.timing = 1;
  if (s.verbose) ImprimeParametros(tipo);
  if (!zalapp::CompruebaSalida(s.OutputName, {s.InputName}, "\nError in %s: \n%s\n")) return 1;

  char buffer[128];
  zalapp::Relleno relleno{.salida = s.OutputName};
  int rechazo = 0;  // the coder's, known from the image's header
  float* plane = zalapp::CargaYTransforma(s.InputName, &s.ancho, &s.alto, s.level, s.blankborder,
                                          s.verbose != 0, &RechazoCodificador, &rechazo,
                                          s.pad ? &relleno : nullptr, s.grey != 0);
  if (!plane && !rechazo) return 1;

  if (s.verbose) std::printf("\nAPPLYING ZAL ALGORITHM\n");
  // The report's rate is over the image's own size, s.ancho x s.alto.
  const int codigo =
      rechazo ? rechazo
      : s.pad || s.checksum
          ? ZALCodificadorConExtension(s.rplanes, s.level, s.quant, s.pad ? relleno.ancho : s.ancho,
                                       s.pad ? relleno.alto : s.alto, plane, s.blankborder, s.ancho,
                                       s.alto, s.OutputName, s.rdo != 0)
          : ZALCodificador(s.rplanes, s.level, s.quant, s.ancho, s.alto, plane, s.OutputName,
                           s.blankborder, s.rdo != 0);
  if (codigo != 0) {
    ZALCheckError(codigo, buffer);
    std::printf("\nError in ZAL (%s):\n%s\n", s.OutputName, buffer);
    std::free(plane);
    return 1;
  }

  if (s.timing) ImprimeTiempos();
  if (s.verbose) ImprimeInformeCompresion();
  std::free(plane);
  return 0;
}

}  // namespace

int main(int argc, char** argv) { return zalapp::Ejecuta(Principal, argc, argv); }
