// Forward block transform of block mode: sorts a block's positions by their 3-byte context.
#pragma once
#include <cstdint>

namespace qn::zip {

// Transforms the n bytes at in (n > 8) into out and returns the start index: the row of
// position n - 1. Rows are the positions sorted by the key in[t]<<16 | in[t-1]<<8 | in[t-2]
// (indexes modulo n), equal keys in decreasing order of t; row j holds in[t_j + 1].
uint64_t bwtForward(const uint8_t* in, uint8_t* out, uint64_t n);

}  // namespace qn::zip
