// The chunk check: the sum of a payload's 64-bit little-endian words.
#include "core/checksum.h"

#include <cstring>

namespace qn::core {

uint64_t chunkSum(const uint8_t* data, uint32_t n) {
  uint64_t sum = 0;
  for (uint32_t i = 0; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, data + i, 8);  // little-endian host
    sum += w;
  }
  return sum;
}

}  // namespace qn::core
