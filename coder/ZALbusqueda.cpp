// The rate search (see ZALbusqueda.h). Trials are measured without building
// their streams where only the size matters, the likely next trial is coded
// ahead on a second thread, and a trial that may end the search keeps its
// stream so that the output need not be coded again; none of this changes a
// decision or a byte of the output.
#include "coder/ZALbusqueda.h"

#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "coder/ZALcoder.h"

namespace {

constexpr float kPaso = 0.1f;  // first step, and the factor that shrinks it
constexpr int kMaxPruebas = 1000;
// Quantizes every detail coefficient of an 8-bit image to zero: the smallest
// stream the coder can make with a given rplanes.
constexpr float kQuantMaxima = 1e30f;

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
Estado Siguiente(const ZALParametrosBusqueda& p, Estado e, Comparacion c) {
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
  if (p.keep && e.q > 1.0) {
    e.step = kPaso;
    e.q = p.startq;
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
// target, kept in memory so that the output need not be coded again.
struct FlujoGuardado {
  bool valido = false;  // a whole stream, coded without error
  float q = 0.0f;
  signed char rplanes = 0;
  std::vector<uint8_t> bytes;

  // Takes the stream of the trial at (q, rplanes), coded with this size
  // limit. Both the search's own trials and those coded ahead come through
  // here, so that one check decides: a stream cut at the limit only told
  // that its trial is above the target, and is never kept.
  void Toma(int codigo, float q_, signed char rplanes_, int64_t n, int64_t limite,
            std::vector<uint8_t>& flujo) {
    valido = codigo == 0 && (limite < 0 || n <= limite);
    q = q_;
    rplanes = rplanes_;
    if (&flujo != &bytes) bytes.swap(flujo);
  }
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
  bool rd = false;
  std::vector<uint8_t> flujo;
  pthread_t hilo;
};

// The search's working state. The coder overwrites the plane with its labels,
// so every coding starts from the backup.
struct Busqueda {
  Busqueda(const ZALParametrosBusqueda& parametros, ZALSalidaBusqueda& s)
      : p(parametros), salida(s) {}
  const ZALParametrosBusqueda& p;
  ZALSalidaBusqueda& salida;
  float* plane = nullptr;
  float* backup = nullptr;
  size_t celdas = 0;
  Prevision prevision;
  Medida medidas[2 * kMaxPruebas];  // at most one per trial and one ahead of it
  int nMedidas = 0;
  // When no rate is shown only the side of the target matters, so a trial
  // may stop coding once its stream passes this size (-1: never).
  int64_t limite = -1;
  // Streams kept in memory: [0] the search's own trials, [1] the second thread's.
  FlujoGuardado flujos[2];
  // What the output holds: nothing yet, or the stream coded at these.
  bool hayFichero = false;
  float qFichero = 0.0f;
  signed char rplanesFichero = 0;
};

// The image's own pixels, over which rates are counted.
double Pixeles(const ZALParametrosBusqueda& p) {
  return static_cast<double>(p.trueWidth > 0 ? p.trueWidth : p.width) *
         static_cast<double>(p.trueHeight > 0 ? p.trueHeight : p.height);
}

// Rate in bits per pixel of the output of a stream of `bytes` bytes, as a
// 32-bit float.
float Tasa(const ZALParametrosBusqueda& p, int64_t bytes) {
  return static_cast<float>(static_cast<double>(bytes + p.extra) * 8.0 / Pixeles(p));
}

// Size in bytes of the stream coded at (q, rplanes), or a size above
// `limite` once the stream passes it; no output is touched. unHilo: the
// coder keeps to this thread, as another trial runs on the other core.
int CodificaTamano(Busqueda& b, float q, signed char rplanes, int64_t limite, int64_t* bytes,
                   bool unHilo = false) {
  std::memcpy(b.plane, b.backup, b.celdas * sizeof(float));
  return ZALCodificadorTamano(rplanes, b.p.level, q, b.p.width, b.p.height, b.plane,
                              b.p.blankborder, bytes, limite, unHilo, b.p.rd);
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
bool PodriaSerLaUltima(const Busqueda& b, const Estado& e) {
  return Siguiente(b.p, e, Comparacion::kDebajo).terminada;
}

void* CodificaPrevision(void* p) {
  Prevision& v = *static_cast<Prevision*>(p);
  std::memcpy(v.plane, v.backup, v.celdas * sizeof(float));
  if (v.conFlujo)
    v.codigo = ZALCodificadorMemoria(v.rplanes, v.level, v.q, v.ancho, v.alto, v.plane,
                                     v.blankborder, &v.bytes, &v.flujo, v.limite, true, v.rd);
  else
    v.codigo = ZALCodificadorTamano(v.rplanes, v.level, v.q, v.ancho, v.alto, v.plane,
                                    v.blankborder, &v.bytes, v.limite, true, v.rd);
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
  if (v.conFlujo) b.flujos[1].Toma(v.codigo, v.q, v.rplanes, v.bytes, v.limite, v.flujo);
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
  Estado p = Siguiente(b.p, e, Comparacion::kEncima);
  for (int i = 0; i < kMaxPruebas && !p.terminada; ++i) {
    const Medida* m = Recordada(b, p.q, p.rplanes);
    if (m == nullptr) {
      if (p.q == e.q && p.rplanes == e.rplanes) return;
      v.q = p.q;
      v.rplanes = p.rplanes;
      v.level = b.p.level;
      v.blankborder = b.p.blankborder;
      v.ancho = b.p.width;
      v.alto = b.p.height;
      v.limite = b.limite;
      v.conFlujo = PodriaSerLaUltima(b, p);
      v.rd = b.p.rd;
      v.backup = b.backup;
      v.celdas = b.celdas;
      v.hecha = false;
      v.enCurso = pthread_create(&v.hilo, nullptr, &CodificaPrevision, &v) == 0;
      return;
    }
    p = Siguiente(b.p, p, Compara(Tasa(b.p, m->bytes), target));
  }
}

// The largest stream size whose rate is not above the target. Tasa never
// falls as the size grows, so any larger size, even one counted only in
// part, is above the target. -1 (no limit) for a target beyond any stream.
int64_t LimiteBytes(const ZALParametrosBusqueda& p, float target) {
  const double estimacion = static_cast<double>(target) * Pixeles(p) / 8.0 - p.extra;
  if (!(estimacion < 1e15)) return -1;
  int64_t limite = estimacion > 0 ? static_cast<int64_t>(estimacion) : 0;
  while (limite > 0 && Tasa(p, limite) > target) --limite;
  while (Tasa(p, limite + 1) <= target) ++limite;
  return limite;
}

// Leaves the stream coded at (q, rplanes) in the output: the one kept in
// memory if there is one, else coded anew.
int CodificaFichero(Busqueda& b, float q, signed char rplanes) {
  if (b.hayFichero && b.qFichero == q && b.rplanesFichero == rplanes) return 0;
  const FlujoGuardado* guardado = nullptr;
  for (const FlujoGuardado& f : b.flujos)
    if (f.valido && f.q == q && f.rplanes == rplanes) guardado = &f;
  int codigo;
  if (guardado != nullptr) {
    codigo = b.salida.Guarda(guardado->bytes);
  } else {
    std::memcpy(b.plane, b.backup, b.celdas * sizeof(float));
    codigo = b.salida.Codifica(rplanes, b.p.level, q, b.p.width, b.p.height, b.plane,
                               b.p.blankborder, b.p.rd);
  }
  b.hayFichero = codigo == 0;
  b.qFichero = q;
  b.rplanesFichero = rplanes;
  return codigo;
}

// Size of the stream of the trial at e. The first trial codes into the
// output, so that an output that cannot be written is reported before any
// trial is shown; when the output's size is the stream's it is the trial's.
// The likely next trial is coded meanwhile on a second thread.
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
    if (codigo == 0 && b.salida.Tamano(bytes))
      *bytes -= b.p.extra;
    else if (codigo == 0)
      codigo = CodificaTamano(b, q, rplanes, -1, bytes, prevision);
  } else if (PodriaSerLaUltima(b, e)) {
    FlujoGuardado& f = b.flujos[0];
    f.valido = false;
    std::memcpy(b.plane, b.backup, b.celdas * sizeof(float));
    codigo = ZALCodificadorMemoria(rplanes, b.p.level, q, b.p.width, b.p.height, b.plane,
                                   b.p.blankborder, bytes, &f.bytes, b.limite, prevision, b.p.rd);
    f.Toma(codigo, q, rplanes, *bytes, b.limite, f.bytes);
  } else {
    codigo = CodificaTamano(b, q, rplanes, b.limite, bytes, prevision);
  }
  if (codigo == 0) Anota(b, q, rplanes, *bytes);
  return codigo;
}

int Falla(ZALResultadoBusqueda& r, int codigo) {
  r.codigo = codigo;
  return kBusquedaCodificador;
}

// The trials. Every trial is measured without touching the output, but the
// output always ends as if each trial had rewritten it: coded at the found
// parameter, or after a failure at the last trial coded.
int Busca(Busqueda& b, ZALPruebaFn prueba, void* usuario, ZALResultadoBusqueda& r) {
  const ZALParametrosBusqueda& p = b.p;
  const float target = p.target;
  // Without --keep, rplanes never changes, so a target below the smallest
  // rate is known at once, instead of raising q without end.
  if (prueba == nullptr) b.limite = LimiteBytes(p, target);
  Estado e;
  e.q = p.startq;
  e.rplanes = p.rplanes;
  e.result = p.startq;
  e.rplanesResult = p.rplanes;
  if (!p.keep) {
    int64_t bytes = 0;
    // The first trial writes the output, so the one after it is coded ahead.
    LanzaPrevision(b, e, target);
    const int codigo =
        CodificaTamano(b, kQuantMaxima, p.rplanes, -1, &bytes, b.prevision.enCurso);
    if (codigo != 0) return Falla(r, codigo);
    r.minima = Tasa(p, bytes);
    if (target < r.minima) return kBusquedaInalcanzable;
  }

  Medida codificada = {e.q, e.rplanes, 0};  // the last trial coded without error
  while (r.pruebas < kMaxPruebas && !e.terminada) {
    ++r.pruebas;
    int64_t bytes = 0;
    const int codigo = Mide(b, e, target, r.pruebas == 1, &bytes);
    if (codigo != 0) {
      if (r.pruebas > 1) CodificaFichero(b, codificada.q, codificada.rplanes);
      return Falla(r, codigo);
    }
    codificada = {e.q, e.rplanes, bytes};
    const float rate = Tasa(p, bytes);
    if (p.aviso != nullptr) p.aviso(p.usuarioAviso, r.pruebas, e.q, rate, b.limite < 0 || bytes <= b.limite);
    if (prueba != nullptr && prueba(usuario, e.q, e.rplanes, rate) != 0)
      return kBusquedaCancelada;
    e = Siguiente(p, e, Compara(rate, target));
  }

  if (!e.encontrado) {
    CodificaFichero(b, codificada.q, codificada.rplanes);
    r.quant = codificada.q;
    return kBusquedaSinQuant;
  }
  const int codigo = CodificaFichero(b, e.result, e.rplanesResult);
  if (codigo != 0) return Falla(r, codigo);
  r.quant = e.result;
  r.rplanes = e.rplanesResult;
  return kBusquedaOk;
}

}  // namespace

// Images from this many pixels code the likely next trial on a second thread.
constexpr int64_t kPixelesPrevision = int64_t(1) << 18;

bool ZALBusquedaAdelantada(int width, int height) {
  return static_cast<int64_t>(width) * height >= kPixelesPrevision;
}

// Without --keep the search codes first at kQuantMaxima (Busca), with it at
// the start.
int ZALCompruebaBusqueda(const ZALParametrosBusqueda& p) {
  return ZALCompruebaArgumentos(p.rplanes, p.level, p.keep ? p.startq : kQuantMaxima, p.width,
                                p.height, p.blankborder);
}

int ZALBuscaTasa(float* plane, const ZALParametrosBusqueda& p, ZALPruebaFn prueba, void* usuario,
                 ZALSalidaBusqueda& salida, ZALResultadoBusqueda* resultado) {
  ZALResultadoBusqueda r;
  Busqueda* b = new (std::nothrow) Busqueda(p, salida);
  if (b == nullptr) {
    *resultado = r;
    return kBusquedaSinMemoria;
  }
  b->plane = plane;
  b->celdas = static_cast<size_t>(p.height) * static_cast<size_t>(p.width + p.blankborder);
  b->backup = static_cast<float*>(std::malloc(b->celdas > 0 ? b->celdas * sizeof(float) : 1));
  if (!b->backup) {
    delete b;
    *resultado = r;
    return kBusquedaSinMemoria;
  }
  std::memcpy(b->backup, plane, b->celdas * sizeof(float));
  // Without memory for it, every trial is coded in its turn: the same search.
  if (p.adelantado)
    b->prevision.plane =
        static_cast<float*>(std::malloc(b->celdas > 0 ? b->celdas * sizeof(float) : 1));
  int estado;
  try {
    estado = Busca(*b, prueba, usuario, r);
  } catch (...) {
    // A kept stream that found no memory: the coder's own code for it.
    estado = Falla(r, kZALSinMemoria);
  }
  RecogePrevision(*b);
  std::memcpy(plane, b->backup, b->celdas * sizeof(float));
  std::free(b->prevision.plane);
  std::free(b->backup);
  r.salidaEscrita = b->hayFichero;
  delete b;
  *resultado = r;
  return estado;
}
