// The two-thread pipeline of the emission: the batches of items a walker
// fills (Pon) and the coding thread codes, and the queue between them.
#pragma once
#include <pthread.h>

#include "coder/ZALinterno.h"

namespace zalcoder {

// Fast emission, on two threads where possible: one walks the level passes
// and writes each member's symbol and field into batches of items (the same
// items, in the same order, as CodificaBloque codes), the other (the caller)
// codes the batches as they come. The walker only reads the labels and takes
// the numbers of the coder's models; the coder alone touches the models and
// the bit file. The walker thread works with a copy of the coder's state.
constexpr int kItemsPorTanda = 4096;
constexpr int kTandas = 8;
constexpr int64_t kCeldasPorEmisor = int64_t(1) << 20;  // images smaller than this: one thread

struct Tanda {
  int alfabeto;  // >= 0: both models are reset to this many symbols before the items
  int n;
  ItemAritmetico items[kItemsPorTanda];
};

struct Cola {
  pthread_mutex_t cerrojo = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t hayTanda = PTHREAD_COND_INITIALIZER, hayHueco = PTHREAD_COND_INITIALIZER;
  bool hilo = false;       // the walker runs on its own thread
  // Shared, under cerrojo when there are two threads:
  size_t escritas = 0;     // batches handed over by the walker
  size_t leidas = 0;       // batches coded
  bool terminada = false;  // the walker has handed over its last batch
  bool parar = false;      // the coder wants no more: the size limit is passed
  bool esperaHueco = false;  // the walker waits for free slots
  bool esperaTanda = false;  // the coder waits for a batch
  // The walker's own:
  bool detenido = false;   // its copy of parar; from then on items go to `descarte`
  Tanda* actual = nullptr; // the batch being filled
  Tanda tandas[kTandas];
  Tanda descarte;
};

// Walker: starts a batch in the next free slot (waiting for one).
void ComienzaTanda(int alfabeto);
// Walker: hands the batch over (or, without a second thread, codes it at
// once). Once no more items are wanted, batches are dropped instead.
void EntregaTanda();

inline void Pon(int modelo, int simbolo, int nbits, int valor) {
  Tanda& t = *z.cola->actual;
  t.items[t.n++] = {valor, uint8_t(simbolo), uint8_t(modelo), uint8_t(nbits)};
  if (t.n == kItemsPorTanda) {
    EntregaTanda();
    ComienzaTanda(-1);
  }
}

}  // namespace zalcoder
