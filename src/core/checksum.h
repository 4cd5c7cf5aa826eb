// The chunk check: the sum of a payload's 64-bit little-endian words.
#pragma once
#include <cstdint>

namespace qn::core {

// Sum modulo 2^64 of n / 8 little-endian 64-bit words.
uint64_t chunkSum(const uint8_t* data, uint32_t n);

}  // namespace qn::core
