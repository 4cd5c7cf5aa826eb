// Memory for large tables that are read at random: aligned to huge pages, which are asked for.
#include "core/huge.h"

#include <sys/mman.h>

#include <cstdlib>

namespace qn::core {

void* allocHuge(size_t bytes) {
  constexpr size_t kHuge = size_t(1) << 21;
  void* p = nullptr;
  if (posix_memalign(&p, kHuge, bytes) != 0) return nullptr;
  madvise(p, bytes, MADV_HUGEPAGE);  // a hint: failure changes nothing
  return p;
}

}  // namespace qn::core
