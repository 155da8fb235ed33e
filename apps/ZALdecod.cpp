// ZALdecod: decodes a compressed file into a BMP, PGM or RAW image and, on
// request, measures it against a reference image.
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

constexpr const char* kTitulo = "Zonal Adaptive Layers (ZAL) Image Decoder";
// The image module's code for a failed allocation ("Insuficient memory
// available"), also used for the comparison's own plane.
constexpr int kErrorMemoriaImagen = 11;

struct Ajustes {
  const char* InputName = nullptr;
  const char* OutputName = nullptr;
  const char* CompareName = nullptr;
  int timing = 0;
  int seconds = 0;
  int verbose = 0;
  // Read from the compressed file.
  signed char rplanes = 0;
  signed char level = 0;
  float quant = 0.0f;
  int32_t ancho = 0;
  int32_t alto = 0;
  signed char blankborder = 3;
};
Ajustes s;

bool ProcesaOpcion(const char* opcion, const char* valor, int& n_opt) {
  static const zalapp::Opcion tabla[] = {
      {.larga = "--input", .corta = "-i", .mensaje = "Parsing error: Input file name not specified\n", .nombre = &s.InputName},
      {.larga = "--output", .corta = "-o", .mensaje = "Parsing error: Output file name not specified\n", .nombre = &s.OutputName},
      {.larga = "--compare", .corta = "-c", .mensaje = "Parsing error: File to compare not specified\n", .nombre = &s.CompareName},
      {.larga = "--timing", .corta = "-t", .bandera = &s.timing},
      {.larga = "--seconds", .corta = "-s", .bandera = &s.seconds},
      {.larga = "--verbose", .corta = "-v", .bandera = &s.verbose},
  };
  return zalapp::AplicaOpcion(tabla, opcion, valor, n_opt);
}

void ImprimeAyuda() {
  const std::string opciones[] = {
      "    --input $file      Image in format ZAL to be compressed\n",
      "    --output $file     Output file containing the decompressed image\n",
      "                       (.bmp, .pgm, .raw files)\n",
      "    --compare $file    Compare (usign PSNR) the decompressed image with\n",
      "                       the original one specified as parameter in this option \n",
      "    --timing           Enable timing (time in CPU cycles for Intel Proc.)\n",
      "    --seconds          Perform timing in seconds (calculate CPU freq)\n",
      "    --verbose          Enable verbose mode\n",
      "    --help             Display this help\n",
  };
  zalapp::ImprimeAyuda(kTitulo, "ZALdecod", opciones);
}

void ImprimeParametros() {
  std::printf("\nIMAGE PARAMETERS:\n");
  std::printf("-input image=%s\n", s.InputName);
  if (s.OutputName)
    std::printf("-output image=%s\n", s.OutputName);
  else
    std::printf("-no output image\n");
  if (s.CompareName)
    std::printf("-compare image=%s\n", s.CompareName);
  else
    std::printf("-no image to be compared\n");
  std::printf("-quantization=%f\n", s.quant);
  std::printf("-rplanes=%d\n", s.rplanes);
  std::printf("-decomposition level=%d\n", s.level);
  std::printf(s.timing ? "-timing=enabled\n" : "-timing=disabled\n");
  if (s.seconds) std::printf("(time in seconds)\n");
  std::printf("-verbose=enabled\n");
  std::printf("\nLOADING INPUT IMAGE\n");
}

void ImprimeTiempos() {
  const int32_t decodificacion = ConsigueAcumuladorT(2);
  const int32_t inversa = ConsigueAcumuladorT(4);
  zalapp::ImprimeCiclos("\n- ZAL decoding time (in cycles):               %9lu\n", decodificacion);
  zalapp::ImprimeCiclos("- Inverse wavelet transform time (in cycles):  %9lu\n", inversa);
  if (!s.seconds) return;
  const uint32_t frecuencia = zalapp::ImprimeFrecuencia();
  std::printf("- ZAL decoding time (in seconds):              %f\n",
              ClicksToSeconds(frecuencia, decodificacion));
  std::printf("- Inverse wavelet transform time (in seconds): %f\n",
              ClicksToSeconds(frecuencia, inversa));
}

// A reference of another size cannot be measured (below): known from its
// header, before its plane is allocated or its samples read.
bool SigueSiMismoTamano(void*, int ancho, int alto) { return ancho == s.ancho && alto == s.alto; }

// Measures the decoded plane (already saved, if asked) against the reference.
// The plane is no longer needed once its integer samples are taken, so it is
// freed (and set to null) before the reference is loaded: at most two planes
// are held at once. Returns false after printing an error.
bool Compara(float*& plane, char* buffer) {
  if (s.verbose) std::printf("\nCOMPARING THE ORIGINAL IMAGE\n");
  const size_t celdas = static_cast<size_t>(s.alto) * static_cast<size_t>(s.ancho + s.blankborder);
  int* decodificada = static_cast<int*>(std::malloc(celdas > 0 ? celdas * sizeof(int) : 1));
  if (!decodificada) {
    ImagenCheckError(kErrorMemoriaImagen, buffer);
    std::printf("Error in %s: \n%s\n", s.CompareName, buffer);
    return false;
  }
  Buffer_ftoi(s.ancho, s.alto, plane, decodificada, s.blankborder);
  std::free(plane);
  plane = nullptr;
  // A RAW reference is read with the decoded dimensions; other types bring
  // their own. Its samples are whole numbers, so they load as integers.
  int32_t anchoRef = s.ancho, altoRef = s.alto;
  int* original = nullptr;
  const int codigo = CargaImagenLuminancia(s.CompareName, &anchoRef, &altoRef, &original, s.blankborder, 0,
                                           {&SigueSiMismoTamano, nullptr});
  if (codigo != 0) {
    ImagenCheckError(codigo, buffer);
    std::printf("Error in %s: \n%s\n", s.CompareName, buffer);
    std::free(decodificada);
    return false;
  }
  // Both planes are walked with the decoded size: a reference of another
  // size cannot be measured without reading outside its plane.
  const bool mismoTamano = anchoRef == s.ancho && altoRef == s.alto;
  if (!mismoTamano)
    std::printf("Error in %s: \nImage size %d x %d differs from the decoded size %d x %d\n",
                s.CompareName, anchoRef, altoRef, s.ancho, s.alto);
  else
    std::printf("\n- PSNR of the compressed image: %1.2f dB\n",
                CalculaPSNRLuminancia(s.ancho, s.alto, original, decodificada, s.blankborder));
  std::free(original);
  std::free(decodificada);
  return mismoTamano;
}

int Principal(int argc, char** argv) {
  if (argc == 1) {
    zalapp::ImprimeBanner(kTitulo, "ZALdecod");
    return 0;
  }
  if (zalapp::ImprimeVersion(argc, argv, "ZALdecod")) return 0;
  if (zalapp::EsOpcion(argv[1], "--help", "-h")) {
    ImprimeAyuda();
    return 0;
  }
  ResetAllAcumuladorT();
  if (!zalapp::RecorreOpciones(argc, argv, ProcesaOpcion)) return 1;

  if (!s.InputName) {
    std::printf("Parsing error: Input file name not specified\n");
    return 1;
  }
  if (!s.OutputName && !s.CompareName) {
    std::printf("Parsing error: Nor output file neither compare file specified\n");
    return 1;
  }

  if (!zalapp::CompruebaSalida(s.OutputName, {s.InputName, s.CompareName}, "Error in %s: %s\n"))
    return 1;

  char buffer[128];
  float* plane = nullptr;
  ZALFinFlujo fin;
  int codigo = ZALDecodificador(&s.rplanes, &s.level, &s.quant, &s.ancho, &s.alto, &plane,
                                s.InputName, s.blankborder, &fin);
  if (codigo != 0) {
    ZALCheckError(codigo, buffer);
    std::printf("Error in ZAL (%s):\n%s\n", s.InputName, buffer);
    std::free(plane);
    return 1;
  }
  if (s.seconds) s.timing = 1;
  if (s.verbose) ImprimeParametros();
  // A cut file's image (what was read of it) is still written and measured;
  // the run says so last and fails.
  auto termina = [&](int estado) {
    if (!fin.truncado) return estado;
    std::printf("\nWarning: the compressed file ends early; the image is incomplete\n");
    return 1;
  };

  if (s.verbose) std::printf("\nAPPLYING INVERSE WAVELET TRANSFORM\n");
  codigo = ZALReconstruyePlano(s.level, s.ancho, s.alto, plane, s.blankborder);
  if (codigo != 0) {
    WaveletsCheckError(codigo, buffer);
    std::printf("Error in inverse wavelet transform: \n%s\n", buffer);
    std::free(plane);
    return 1;
  }
  // A padded image is written and measured at its true size.
  ZALRecortaPlano(s.ancho, fin.ancho, fin.alto, plane, s.blankborder);
  s.ancho = fin.ancho;
  s.alto = fin.alto;

  if (s.OutputName) {
    if (s.verbose) std::printf("\nSAVING OUTPUT IMAGE\n");
    codigo = GuardaImagenLuminancia(s.OutputName, s.ancho, s.alto, plane, s.blankborder);
    if (codigo != 0) {
      ImagenCheckError(codigo, buffer);
      std::printf("Error in %s: %s\n", s.OutputName, buffer);
      std::free(plane);
      return termina(1);
    }
  }
  if (s.timing) ImprimeTiempos();
  const bool comparado = !s.CompareName || Compara(plane, buffer);
  std::free(plane);
  return termina(comparado ? 0 : 1);
}

}  // namespace

int main(int argc, char** argv) { return zalapp::Ejecuta(Principal, argc, argv); }
