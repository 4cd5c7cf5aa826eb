// Memory for large tables that are read at random: aligned to huge pages, which are asked for.
#include "core/huge.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

namespace qn::core {

constexpr size_t kHuge = size_t(1) << 21;

void* allocHuge(size_t bytes) {
  void* p = nullptr;
  if (posix_memalign(&p, kHuge, bytes) != 0) return nullptr;
  madvise(p, bytes, MADV_HUGEPAGE);  // a hint: failure changes nothing
  return p;
}

void* allocZeroedHuge(size_t bytes) {
  // Map a huge page more than asked, then give back what lies outside the aligned part.
  const size_t mapped = bytes + kHuge;
  void* m = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (m == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<uintptr_t>(m);
  const uintptr_t aligned = (start + kHuge - 1) & ~(kHuge - 1);
  if (aligned > start) munmap(m, aligned - start);
  const uintptr_t end = aligned + bytes, mappedEnd = start + mapped;
  const uintptr_t tail = (end + 4095) & ~uintptr_t(4095);
  if (mappedEnd > tail) munmap(reinterpret_cast<void*>(tail), mappedEnd - tail);
  madvise(reinterpret_cast<void*>(aligned), bytes, MADV_HUGEPAGE);
  return reinterpret_cast<void*>(aligned);
}

void freeZeroedHuge(void* p, size_t bytes) {
  if (p != nullptr) munmap(p, bytes);
}

}  // namespace qn::core
