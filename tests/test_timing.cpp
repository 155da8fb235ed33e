#include <gtest/gtest.h>

#include <ctime>

#include "timing/tiempos.h"

namespace {
void Gasta() {
  const clock_t start = clock();
  while (clock() - start < 3000) {
  }
}
}  // namespace

TEST(Timing, SlotsAccumulateAndReset) {
  ResetAllAcumuladorT();
  for (int slot = 0; slot < 10; ++slot) EXPECT_EQ(ConsigueAcumuladorT(slot), 0);
  AcumuladorTStart(2);
  Gasta();
  AcumuladorTStop(2);
  const int32_t first = ConsigueAcumuladorT(2);
  EXPECT_GE(first, 3000);
  AcumuladorTStart(2);
  Gasta();
  AcumuladorTStop(2);
  EXPECT_GE(ConsigueAcumuladorT(2), first + 3000);
  EXPECT_EQ(ConsigueAcumuladorT(1), 0);
  ResetAllAcumuladorT();
  EXPECT_EQ(ConsigueAcumuladorT(2), 0);
}

TEST(Timing, FrequencyAndSeconds) {
  EXPECT_EQ(CosigueCPUFrec(), 0u);
  EXPECT_EQ(ClicksToSeconds(0, 2500000), 2.5f);
  EXPECT_EQ(ClicksToSeconds(123, 1000000), 1.0f);
}

TEST(Timing, SlotsOutsideTheTableAreIgnored) {
  ResetAllAcumuladorT();
  AcumuladorTStart(-1);
  AcumuladorTStop(10);
  ResetAcumuladorT(99);
  EXPECT_EQ(ConsigueAcumuladorT(10), 0);
  for (int slot = 0; slot < 10; ++slot) EXPECT_EQ(ConsigueAcumuladorT(slot), 0);
}
