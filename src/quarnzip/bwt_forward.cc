// Forward block transform of block mode: two stable counting sorts over the 3-byte contexts.
#include "quarnzip/bwt_forward.h"

#include <memory>
#include <utility>
#include <vector>

namespace qn::zip {
namespace {

// The context pair (in[t-1], in[t-2]) of position t, indexes modulo n.
inline uint32_t pairKey(const uint8_t* in, uint64_t n, uint64_t t) {
  if (t >= 2) return uint32_t{in[t - 1]} << 8 | in[t - 2];
  if (t == 1) return uint32_t{in[0]} << 8 | in[n - 1];
  return uint32_t{in[n - 1]} << 8 | in[n - 2];
}

// Pos is the position type: 32 bits while the block allows it, else 64.
template <typename Pos>
uint64_t transform(const uint8_t* in, uint8_t* out, uint64_t n) {
  std::vector<uint64_t> c16(65536, 0), c8(256, 0);
  for (uint64_t t = 0; t < n; ++t) {
    ++c8[in[t]];
    ++c16[pairKey(in, n, t)];
  }
  uint64_t sum = 0;
  for (auto& c : c16) sum += std::exchange(c, sum);
  sum = 0;
  for (auto& c : c8) sum += std::exchange(c, sum);

  // Sort by the two older bytes. Walking t downwards leaves equal keys in
  // decreasing order of t, and the next sort keeps that order (it is stable).
  std::unique_ptr<Pos[]> rows(new Pos[n]);
  for (uint64_t t = n; t-- > 2;) rows[c16[uint32_t{in[t - 1]} << 8 | in[t - 2]]++] = Pos(t);
  rows[c16[pairKey(in, n, 1)]++] = 1;
  rows[c16[pairKey(in, n, 0)]++] = 0;

  // Stable sort by the newest byte, writing each row's following byte straight out.
  uint64_t start = 0;
  for (uint64_t i = 0; i < n; ++i) {
    uint64_t t = rows[i];
    uint64_t row = c8[in[t]]++;
    if (t + 1 == n) {
      out[row] = in[0];
      start = row;
    } else {
      out[row] = in[t + 1];
    }
  }
  return start;
}

}  // namespace

uint64_t bwtForward(const uint8_t* in, uint8_t* out, uint64_t n) {
  if (n < 2) {  // one row at most: the block is its own transform
    if (n == 1) out[0] = in[0];
    return 0;
  }
  if (n <= 0xFFFFFFFFull) return transform<uint32_t>(in, out, n);
  return transform<uint64_t>(in, out, n);
}

}  // namespace qn::zip
