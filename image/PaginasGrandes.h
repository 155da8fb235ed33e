// Large planes on huge pages: a plane of tens of megabytes costs thousands of
// page faults and, in the transform's column passes (one row per page),
// thousands of page-table walks; 2 MiB pages cut both. Advice only: it
// changes no byte, the memory stays the allocator's (freed with free()), and
// a system without transparent huge pages simply ignores it.
#pragma once
#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

inline void AconsejaPaginasGrandes(void* bloque, size_t bytes) {
#ifdef MADV_HUGEPAGE
  constexpr uintptr_t kPaginaGrande = uintptr_t(1) << 21;
  constexpr size_t kMinimo = size_t(1) << 22;  // smaller planes gain nothing
  if (bloque == nullptr || bytes < kMinimo) return;
  const uintptr_t inicio = (uintptr_t(bloque) + kPaginaGrande - 1) & ~(kPaginaGrande - 1);
  const uintptr_t fin = (uintptr_t(bloque) + bytes) & ~(kPaginaGrande - 1);
  if (fin > inicio) madvise(reinterpret_cast<void*>(inicio), fin - inicio, MADV_HUGEPAGE);
#else
  (void)bloque;
  (void)bytes;
#endif
}
