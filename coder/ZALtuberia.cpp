// The two-thread pipeline of the emission (ZALtuberia.h): a walker thread
// turns the level passes into batches of items while the calling thread codes
// them, the two meeting at a queue of a few batches; without a second thread
// the same batches are made and coded in turn. It relies on the walk
// (EmiteNiveles) and on the entropy coder's CodificaItems.
#include "coder/ZALtuberia.h"

#include <memory>
#include <new>

namespace zalcoder {
namespace {

// Codes one batch (either thread mode); false once the size limit is passed.
bool CodificaTanda(Tanda& t) {
  if (t.alfabeto >= 0) {
    InicializaModelo(t.alfabeto, &z.Hist[0]);
    InicializaModelo(t.alfabeto, &z.Hist[1]);
  }
  CodificaItems(t.items, size_t(t.n), z.Hist);
  return !(z.limite >= 0 && LimiteSuperado());
}

}  // namespace

void ComienzaTanda(int alfabeto) {
  Cola& cola = *z.cola;
  if (cola.detenido) {
    cola.actual = &cola.descarte;
  } else {
    if (cola.hilo) {
      pthread_mutex_lock(&cola.cerrojo);
      if (cola.escritas - cola.leidas == kTandas) {
        // Full: wait until half the slots are free, so that the coder, the
        // busier thread, wakes this one once per several batches.
        cola.esperaHueco = true;
        while (cola.escritas - cola.leidas > kTandas / 2 && !cola.parar)
          pthread_cond_wait(&cola.hayHueco, &cola.cerrojo);
        cola.esperaHueco = false;
      }
      cola.detenido = cola.parar;
      pthread_mutex_unlock(&cola.cerrojo);
    }
    cola.actual = cola.detenido ? &cola.descarte : &cola.tandas[cola.escritas % kTandas];
  }
  cola.actual->alfabeto = alfabeto;
  cola.actual->n = 0;
}

void EntregaTanda() {
  Cola& cola = *z.cola;
  if (cola.detenido) return;
  if (!cola.hilo) {
    ++cola.escritas;
    ++cola.leidas;
    cola.detenido = cola.parar = !CodificaTanda(*cola.actual);
    return;
  }
  pthread_mutex_lock(&cola.cerrojo);
  ++cola.escritas;
  cola.detenido = cola.parar;
  if (cola.esperaTanda) pthread_cond_signal(&cola.hayTanda);
  pthread_mutex_unlock(&cola.cerrojo);
}

namespace {

// The walker works with a copy of the coder thread's state, taken before it
// starts; the queue names the coder's models.
void* HiloEmisor(void* coder) {
  z = *static_cast<const EstadoZAL*>(coder);
  EmiteNiveles();
  return nullptr;
}

}  // namespace

// The level passes, by the fast path: the walker on a second thread while
// this one codes, or both in turn here when no thread can be started. False,
// with nothing coded, when there is no memory for the queue.
bool CodificaNiveles() {
  std::unique_ptr<Cola> propia(new (std::nothrow) Cola);
  if (!propia) return false;
  Cola& cola = *propia;
  z.cola = &cola;
  // Small images are walked and coded in turn: a thread and its hand-overs
  // would cost more than the walk. Set before the walker starts: it reads it.
  cola.hilo = !z.unHilo && int64_t(z.ancho) * z.alto >= kCeldasPorEmisor;
  pthread_t hilo;
  EstadoZAL copia = z;
  if (!cola.hilo || pthread_create(&hilo, nullptr, &HiloEmisor, &copia) != 0) {
    cola.hilo = false;
    EmiteNiveles();
    z.cola = nullptr;
    return true;
  }
  bool saltar = false;  // past the size limit: the rest is not coded
  for (;;) {
    pthread_mutex_lock(&cola.cerrojo);
    cola.esperaTanda = true;
    while (cola.leidas == cola.escritas && !cola.terminada)
      pthread_cond_wait(&cola.hayTanda, &cola.cerrojo);
    cola.esperaTanda = false;
    const bool fin = cola.leidas == cola.escritas;
    pthread_mutex_unlock(&cola.cerrojo);
    if (fin) break;
    if (!saltar) saltar = !CodificaTanda(cola.tandas[cola.leidas % kTandas]);
    pthread_mutex_lock(&cola.cerrojo);
    ++cola.leidas;
    if (saltar) cola.parar = true;
    if (cola.esperaHueco && (saltar || cola.escritas - cola.leidas <= kTandas / 2))
      pthread_cond_signal(&cola.hayHueco);
    pthread_mutex_unlock(&cola.cerrojo);
  }
  pthread_join(hilo, nullptr);
  z.cola = nullptr;
  return true;
}

}  // namespace zalcoder
