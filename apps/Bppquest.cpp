// Bppquest: finds the quantization parameter at which the compressed file
// comes just below a target bit rate, and leaves the file coded at it.
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "apps/common.h"
#include "coder/ZALcoder.h"
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
constexpr float kPaso = 0.1f;  // first step, and the factor that shrinks it
constexpr int kMaxPruebas = 1000;
// Quantizes every detail coefficient of an 8-bit image to zero: the smallest
// stream the coder can make with a given rplanes.
constexpr float kQuantMaxima = 1e30f;

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

// Rate in bits per pixel of a stream of `bytes` bytes, as a 32-bit float.
float Tasa(int64_t bytes) {
  return static_cast<float>(static_cast<double>(bytes) * 8.0 /
                            (static_cast<double>(s.ancho) * static_cast<double>(s.alto)));
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

// How a trial's rate compares with the target.
enum class Comparacion { kIgual, kDebajo, kEncima };

// Where the search stands before a trial: the trial to code next (q with
// rplanes) and what the trials so far have decided.
struct Estado {
  float q = 0.0f;
  signed char rplanes = 0;
  float step = kPaso;
  float result = 0.0f;
  signed char rplanesResult = 0;
  bool encontrado = false;  // some trial met the target or fell below it
  bool terminada = false;   // no trial follows
};

// The search's rule: the state after the trial at (e.q, e.rplanes) compared
// as `c` with the target. It depends on nothing else, so the next trial is
// known for each possible outcome before the current one ends.
Estado Siguiente(Estado e, Comparacion c) {
  bool atascada = false;  // q cannot move: the same trial would repeat for ever
  if (c == Comparacion::kIgual) {
    e.result = e.q;
    e.rplanesResult = e.rplanes;
    e.encontrado = true;
    e.terminada = true;
    return e;
  }
  if (c == Comparacion::kDebajo) {
    e.result = e.q;
    e.rplanesResult = e.rplanes;
    e.encontrado = true;
    // The coder divides by q: a step back to 0 or below is replaced by the
    // finer steps that keep q above 0.
    do {
      e.q = e.result - e.step;
      e.step = e.step * kPaso;
    } while (!(e.q > 0.0f) && e.step > 1e-6);
  } else {
    const float siguiente = e.q + e.step;
    atascada = siguiente == e.q;
    e.q = siguiente;
  }
  if (s.keep && e.q > 1.0) {
    e.step = kPaso;
    e.q = s.startq;
    e.rplanes = static_cast<signed char>(e.rplanes + 1);
    atascada = false;
  }
  if (atascada || !(e.step > 1e-6)) e.terminada = true;
  return e;
}

Comparacion Compara(float rate, float target) {
  return rate == target  ? Comparacion::kIgual
         : rate < target ? Comparacion::kDebajo
                         : Comparacion::kEncima;
}

// A trial already coded. Each phase of the search starts by coding again a
// parameter it has tried before; the coder is deterministic, so its size is
// taken from here instead. So is the size of a trial coded ahead of its turn.
struct Medida {
  float q;
  signed char rplanes;
  int64_t bytes;  // exact, or only known to be above Busqueda::limite
};

// The stream of a trial that would end the search if it came out below the
// target, kept in memory so that the output file need not be coded again.
struct FlujoGuardado {
  bool valido = false;  // a whole stream, coded without error
  float q = 0.0f;
  signed char rplanes = 0;
  std::vector<uint8_t> bytes;
};

// A trial coded on a second thread while the search goes on: the next one
// the search needs if the trial in hand comes out above the target, as most
// do (a phase climbs in steps up to its first trial below). Its size serves
// only if the search comes to it; a failure is left for the search to meet,
// and report, in its turn. The thread reads only this record and the backup.
struct Prevision {
  bool enCurso = false;               // started and not yet joined
  std::atomic<bool> hecha = false;    // the thread has finished
  float q = 0.0f;
  signed char rplanes = 0;
  signed char level = 0;
  signed char blankborder = 0;
  int32_t ancho = 0, alto = 0;
  int64_t limite = -1;  // the search's own: the size serves as one of its trials
  float* plane = nullptr;  // its own copy of the coefficients; null: none is coded
  const float* backup = nullptr;
  size_t celdas = 0;
  int codigo = 0;
  int64_t bytes = 0;
  bool conFlujo = false;  // keep the stream too (FlujoGuardado)
  std::vector<uint8_t> flujo;
  pthread_t hilo;
};

// The search's working state. The coder overwrites the plane with its labels,
// so every coding starts from the backup.
struct Busqueda {
  float* plane = nullptr;
  float* backup = nullptr;
  size_t celdas = 0;
  Prevision prevision;
  Medida medidas[2 * kMaxPruebas];  // at most one per trial and one ahead of it
  int nMedidas = 0;
  // When no rate is printed only the side of the target matters, so a trial
  // may stop coding once its stream passes this size (-1: never).
  int64_t limite = -1;
  // Streams kept in memory: [0] the search's own trials, [1] the second thread's.
  FlujoGuardado flujos[2];
  // What the output file holds: nothing yet, or the stream coded at these.
  bool hayFichero = false;
  float qFichero = 0.0f;
  signed char rplanesFichero = 0;
};

// Size in bytes of the stream coded at (q, rplanes), or a size above
// `limite` once the stream passes it; no file is touched. unHilo: the coder
// keeps to this thread, as another trial runs on the other core.
int CodificaTamano(Busqueda& b, float q, signed char rplanes, int64_t limite, int64_t* bytes,
                   bool unHilo = false) {
  std::memcpy(b.plane, b.backup, b.celdas * sizeof(float));
  return ZALCodificadorTamano(rplanes, s.level, q, s.ancho, s.alto, b.plane, s.blankborder, bytes,
                              limite, unHilo);
}

const Medida* Recordada(const Busqueda& b, float q, signed char rplanes) {
  for (int i = 0; i < b.nMedidas; ++i)
    if (b.medidas[i].q == q && b.medidas[i].rplanes == rplanes) return &b.medidas[i];
  return nullptr;
}

void Anota(Busqueda& b, float q, signed char rplanes, int64_t bytes) {
  if (b.nMedidas < 2 * kMaxPruebas && !Recordada(b, q, rplanes))
    b.medidas[b.nMedidas++] = {q, rplanes, bytes};
}

// Whether the trial at e ends the search if it comes out below the target:
// its stream is then worth keeping.
bool PodriaSerLaUltima(const Estado& e) { return Siguiente(e, Comparacion::kDebajo).terminada; }

// Whether a stream coded with this size limit is whole.
bool Completo(int64_t bytes, int64_t limite) { return limite < 0 || bytes <= limite; }

void* CodificaPrevision(void* p) {
  Prevision& v = *static_cast<Prevision*>(p);
  std::memcpy(v.plane, v.backup, v.celdas * sizeof(float));
  if (v.conFlujo)
    v.codigo = ZALCodificadorMemoria(v.rplanes, v.level, v.q, v.ancho, v.alto, v.plane,
                                     v.blankborder, &v.bytes, &v.flujo, v.limite, true);
  else
    v.codigo = ZALCodificadorTamano(v.rplanes, v.level, v.q, v.ancho, v.alto, v.plane,
                                    v.blankborder, &v.bytes, v.limite, true);
  v.hecha = true;
  return nullptr;
}

// Waits for the trial coded ahead, if one is, and keeps its size if it was
// coded.
void RecogePrevision(Busqueda& b) {
  Prevision& v = b.prevision;
  if (!v.enCurso) return;
  pthread_join(v.hilo, nullptr);
  v.enCurso = false;
  if (v.codigo != 0) return;
  Anota(b, v.q, v.rplanes, v.bytes);
  if (v.conFlujo && Completo(v.bytes, v.limite)) {
    FlujoGuardado& f = b.flujos[1];
    f.bytes.swap(v.flujo);
    f.q = v.q;
    f.rplanes = v.rplanes;
    f.valido = true;
  }
}

// Starts coding the trial that follows e's when e's is above the target, past
// the trials whose sizes are known (their outcomes are), unless the second
// thread is still busy. Without a thread to code it the search codes every
// trial in turn.
void LanzaPrevision(Busqueda& b, const Estado& e, float target) {
  Prevision& v = b.prevision;
  if (v.plane == nullptr) return;
  if (v.enCurso && v.hecha) RecogePrevision(b);
  if (v.enCurso) return;
  Estado p = Siguiente(e, Comparacion::kEncima);
  for (int i = 0; i < kMaxPruebas && !p.terminada; ++i) {
    const Medida* m = Recordada(b, p.q, p.rplanes);
    if (m == nullptr) {
      if (p.q == e.q && p.rplanes == e.rplanes) return;
      v.q = p.q;
      v.rplanes = p.rplanes;
      v.level = s.level;
      v.blankborder = s.blankborder;
      v.ancho = s.ancho;
      v.alto = s.alto;
      v.limite = b.limite;
      v.conFlujo = PodriaSerLaUltima(p);
      v.backup = b.backup;
      v.celdas = b.celdas;
      v.hecha = false;
      v.enCurso = pthread_create(&v.hilo, nullptr, &CodificaPrevision, &v) == 0;
      return;
    }
    p = Siguiente(p, Compara(Tasa(m->bytes), target));
  }
}

// The largest stream size whose rate is not above the target. Tasa never
// falls as the size grows, so any larger size, even one counted only in
// part, is above the target. -1 (no limit) for a target beyond any stream.
int64_t LimiteBytes(float target) {
  const double estimacion =
      static_cast<double>(target) * static_cast<double>(s.ancho) * static_cast<double>(s.alto) / 8.0;
  if (!(estimacion < 1e15)) return -1;
  int64_t limite = static_cast<int64_t>(estimacion);
  while (limite > 0 && Tasa(limite) > target) --limite;
  while (Tasa(limite + 1) <= target) ++limite;
  return limite;
}

// Leaves the stream coded at (q, rplanes) in the output file: the one kept in
// memory if there is one, else coded anew.
int CodificaFichero(Busqueda& b, float q, signed char rplanes) {
  if (b.hayFichero && b.qFichero == q && b.rplanesFichero == rplanes) return 0;
  const FlujoGuardado* guardado = nullptr;
  for (const FlujoGuardado& f : b.flujos)
    if (f.valido && f.q == q && f.rplanes == rplanes) guardado = &f;
  int codigo;
  if (guardado != nullptr) {
    codigo = ZALGuardaFlujo(guardado->bytes, s.OutputName);
  } else {
    std::memcpy(b.plane, b.backup, b.celdas * sizeof(float));
    codigo =
        ZALCodificador(rplanes, s.level, q, s.ancho, s.alto, b.plane, s.OutputName, s.blankborder);
  }
  b.hayFichero = codigo == 0;
  b.qFichero = q;
  b.rplanesFichero = rplanes;
  return codigo;
}

// Size of the stream of the trial at e. The first trial creates the output
// file, so that a file that cannot be written is reported before any trial
// line; when that file is a regular one its size is the trial's. The likely
// next trial is coded meanwhile on a second thread.
int Mide(Busqueda& b, const Estado& e, float target, bool primera, int64_t* bytes) {
  const float q = e.q;
  const signed char rplanes = e.rplanes;
  if (b.prevision.enCurso && b.prevision.q == q && b.prevision.rplanes == rplanes) RecogePrevision(b);
  if (const Medida* m = Recordada(b, q, rplanes)) {
    *bytes = m->bytes;
    return 0;
  }
  LanzaPrevision(b, e, target);
  const bool prevision = b.prevision.enCurso;
  int codigo = 0;
  if (primera) {
    codigo = CodificaFichero(b, q, rplanes);
    if (codigo == 0 && !zalapp::TamanoFicheroRegular(s.OutputName, bytes))
      codigo = CodificaTamano(b, q, rplanes, -1, bytes, prevision);
  } else if (PodriaSerLaUltima(e)) {
    FlujoGuardado& f = b.flujos[0];
    f.valido = false;
    std::memcpy(b.plane, b.backup, b.celdas * sizeof(float));
    codigo = ZALCodificadorMemoria(rplanes, s.level, q, s.ancho, s.alto, b.plane, s.blankborder,
                                   bytes, &f.bytes, b.limite, prevision);
    f.q = q;
    f.rplanes = rplanes;
    f.valido = codigo == 0 && Completo(*bytes, b.limite);
  } else {
    codigo = CodificaTamano(b, q, rplanes, b.limite, bytes, prevision);
  }
  if (codigo == 0) Anota(b, q, rplanes, *bytes);
  return codigo;
}

// The trials. Every trial is measured without writing a file, but the output
// file always ends as if each trial had rewritten it: coded at the returned
// parameter, or after a failure at the last trial coded. Returns 0 with
// *resultado, or 1 after printing an error.
int Busca(Busqueda& b, float target, float* resultado) {
  // Without --keep, rplanes never changes, so a target below the smallest
  // rate is known at once, instead of raising q without end.
  if (!s.verbose) b.limite = LimiteBytes(target);
  Estado e;
  e.q = s.startq;
  e.rplanes = s.rplanes;
  e.result = s.startq;
  e.rplanesResult = s.rplanes;
  if (!s.keep) {
    int64_t bytes = 0;
    // The first trial writes the file, so the one after it is coded ahead.
    LanzaPrevision(b, e, target);
    const int codigo = CodificaTamano(b, kQuantMaxima, s.rplanes, -1, &bytes, b.prevision.enCurso);
    if (codigo != 0) return FallaCodificador(codigo);
    const float minima = Tasa(bytes);
    if (target < minima) {
      const std::string texto = zalapp::Formatea(
          "The bit rate %f bpp cannot be reached: the lowest rate with rplanes=%d is %f bpp",
          target, s.rplanes, minima);
      return FallaBusqueda(texto.c_str());
    }
  }

  Medida codificada = {e.q, e.rplanes, 0};  // the last trial coded without error
  int pruebas = 0;
  while (pruebas < kMaxPruebas && !e.terminada) {
    ++pruebas;
    int64_t bytes = 0;
    const int codigo = Mide(b, e, target, pruebas == 1, &bytes);
    if (codigo != 0) {
      if (pruebas > 1) CodificaFichero(b, codificada.q, codificada.rplanes);
      return FallaCodificador(codigo);
    }
    codificada = {e.q, e.rplanes, bytes};
    const float rate = Tasa(bytes);
    if (s.verbose) std::printf("Quantization %f: %f bpp\n", e.q, rate);
    e = Siguiente(e, Compara(rate, target));
  }

  if (!e.encontrado) {
    CodificaFichero(b, codificada.q, codificada.rplanes);
    const std::string texto = zalapp::Formatea(
        "No quantization parameter found for %f bpp (the search ended after %d trials, at "
        "quantization %f)",
        target, pruebas, codificada.q);
    return FallaBusqueda(texto.c_str());
  }
  s.rplanes = e.rplanesResult;
  const int codigo = CodificaFichero(b, e.result, e.rplanesResult);
  if (codigo != 0) return FallaCodificador(codigo);
  *resultado = e.result;
  return 0;
}

// Images from this many pixels code the likely next trial on a second
// thread; on smaller ones starting the thread costs more than it saves.
constexpr int64_t kPixelesPrevision = int64_t(1) << 18;

// Whether trials are coded ahead: by the image's size, unless the variable
// ZAL_BPPQUEST_AHEAD says "0" (never) or "1" (always), so that both ways can
// be compared on any image.
bool CodificaAdelantado() {
  const char* forzado = std::getenv("ZAL_BPPQUEST_AHEAD");
  if (forzado != nullptr && std::strcmp(forzado, "0") == 0) return false;
  if (forzado != nullptr && std::strcmp(forzado, "1") == 0) return true;
  return static_cast<int64_t>(s.ancho) * s.alto >= kPixelesPrevision;
}

// Keeps a copy of the transformed plane for the trials; on return the plane
// holds the same coefficients as on entry.
int EncuentraBitRate(float* plane, float target, float* resultado) {
  Busqueda b;
  b.plane = plane;
  b.celdas = static_cast<size_t>(s.alto) * static_cast<size_t>(s.ancho + s.blankborder);
  b.backup = static_cast<float*>(std::malloc(b.celdas > 0 ? b.celdas * sizeof(float) : 1));
  if (!b.backup) return FallaBusqueda("Insuficient memory available for a copy of the coefficients");
  std::memcpy(b.backup, plane, b.celdas * sizeof(float));
  // Without memory for it, every trial is coded in its turn: the same search.
  if (CodificaAdelantado())
    b.prevision.plane = static_cast<float*>(std::malloc(b.celdas > 0 ? b.celdas * sizeof(float) : 1));
  const int estado = Busca(b, target, resultado);
  RecogePrevision(b);
  std::memcpy(plane, b.backup, b.celdas * sizeof(float));
  std::free(b.prevision.plane);
  std::free(b.backup);
  return estado;
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

  float* plane = zalapp::CargaYTransforma(s.InputName, &s.ancho, &s.alto, s.level, s.blankborder,
                                          s.verbose != 0);
  if (!plane) return 1;

  if (s.verbose) std::printf("\nSEARCHING FOR THE BIT RATE\n");
  float resultado = 0.0f;
  if (EncuentraBitRate(plane, s.bitrate, &resultado) != 0) {
    std::free(plane);
    return 1;
  }
  if (s.verbose) ImprimeInforme(resultado);
  std::free(plane);
  return 0;
}
