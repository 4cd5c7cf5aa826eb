// Memory for large tables that are read at random: aligned to huge pages, which are asked for.
#pragma once
#include <cstddef>

namespace qn::core {

// bytes at a 2 MiB boundary with the huge page hint (where the system offers huge pages, far
// fewer TLB misses); not zeroed. Release with std::free. Null when refused.
void* allocHuge(size_t bytes);

// The same, zeroed: fresh pages straight from the system, backed only as they are first
// touched, so that no thread clears the whole table before work starts and a table larger
// than its input never costs more than what is used. Release with freeZeroedHuge.
void* allocZeroedHuge(size_t bytes);
void freeZeroedHuge(void* p, size_t bytes);

}  // namespace qn::core
