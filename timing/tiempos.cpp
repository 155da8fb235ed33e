#include "timing/tiempos.h"

#include <ctime>

namespace {

constexpr int kSlots = 10;

struct Tiempos {
  int32_t vectime[kSlots];
  int32_t acumulador[kSlots];
};
// Per thread: coders running at once on other threads neither race on the
// slots nor add to the reports of the thread that prints them.
thread_local Tiempos t;

// Slots outside 0..9 are ignored rather than written out of bounds.
bool SlotValido(int slot) { return slot >= 0 && slot < kSlots; }

// Wrapping 32-bit arithmetic without signed-overflow undefined behaviour.
int32_t Suma32(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
int32_t Resta32(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

}  // namespace

// clock() counts microseconds on Linux (CLOCKS_PER_SEC is 1000000); keep its
// low 32 bits, as the reports and their wrap-around expect.
int32_t ConsigueTicks() {
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(clock())));
}

uint32_t CosigueCPUFrec() { return 0; }

float ClicksToSeconds(uint32_t /*frequency*/, int32_t ticks) {
  return static_cast<float>(ticks / 1000000.0);
}

void ResetAcumuladorT(int slot) {
  if (SlotValido(slot)) t.acumulador[slot] = 0;
}

void ResetAllAcumuladorT() {
  for (int32_t& a : t.acumulador) a = 0;
}

void AcumuladorTStart(int slot) {
  if (SlotValido(slot)) t.vectime[slot] = ConsigueTicks();
}

void AcumuladorTStop(int slot) {
  if (!SlotValido(slot)) return;
  const int32_t ahora = ConsigueTicks();
  t.acumulador[slot] = Suma32(t.acumulador[slot], Resta32(ahora, t.vectime[slot]));
}

int32_t ConsigueAcumuladorT(int slot) { return SlotValido(slot) ? t.acumulador[slot] : 0; }
