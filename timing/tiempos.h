// Timing accumulators: ten numbered slots of processor-clock ticks.
// Slot 1 coding, 2 decoding, 3 forward transform, 4 inverse transform.
// All tick arithmetic is 32-bit and wraps, as the reports expect.
#pragma once
#include <cstdint>

int32_t ConsigueTicks();
uint32_t CosigueCPUFrec();
float ClicksToSeconds(uint32_t frequency, int32_t ticks);
void ResetAcumuladorT(int slot);
void ResetAllAcumuladorT();
void AcumuladorTStart(int slot);
void AcumuladorTStop(int slot);
int32_t ConsigueAcumuladorT(int slot);
