// The block transform of block mode, both directions, as pure functions over one block.
#pragma once
#include <cstdint>

namespace qn::core {

// Blocks of this many bytes or fewer are stored as they are and carry no start index.
inline constexpr uint64_t kBwtStoredMax = 8;

// Transforms the n bytes at in into out and returns the start index: the row of position
// n - 1. Rows are the positions sorted by the key in[t]<<16 | in[t-1]<<8 | in[t-2]
// (indexes modulo n), equal keys in decreasing order of t; row j holds in[t_j + 1].
uint64_t bwtForward(const uint8_t* in, uint8_t* out, uint64_t n);

// ---- Inverse ----

inline constexpr uint64_t kBwtLinkSub = uint64_t(1) << 20;  // link entries per sub-array
inline constexpr uint64_t kBwtKeys = uint64_t(1) << 24;     // entries of the key table
inline constexpr uint64_t kBwtPairs = uint64_t(1) << 16;    // entries of the pair table
inline constexpr uint64_t kBwtDenseMax = 0xFFFFFFFF;         // longest block the dense walk takes

// Link sub-arrays a block of n bytes needs.
constexpr uint64_t bwtLinkSubs(uint64_t n) { return (n + kBwtLinkSub - 1) / kBwtLinkSub; }

// Caller-owned work memory of the inverse. A block of n bytes takes the dense walk when
// n <= denseMax (and below 2^32): it needs n / 2 link entries (its 32-bit rows) and
// min(n, 2^24) counters. Otherwise the plain walk needs n link entries and keys.
struct BwtWork {
  uint64_t* link = nullptr;         // linkEntries entries in one piece
  uint64_t linkEntries = 0;
  uint64_t* keys = nullptr;         // kBwtKeys entries (plain walk)
  uint64_t* pairs = nullptr;        // kBwtPairs entries
  uint32_t* counters = nullptr;     // kBwtKeys entries (dense walk)
  uint64_t denseMax = kBwtDenseMax;
};

enum class BwtStatus { kOk, kTooLong, kBadStart, kBadKeys };

// Called with 0, 20, 40, 60 and 80 (percent) as the sorting steps pass.
using BwtProgress = void (*)(int percent);

// Link entries the inverse of a block of n bytes writes with w: n / 2 rounded up on the
// dense walk (32-bit rows), n on the plain walk.
uint64_t bwtLinkEntries(uint64_t n, const BwtWork& w);

// First half of the inverse: the counting sorts of the n bytes at block (n > 8) into w.
// kTooLong, before any progress, when the link array cannot hold the block.
BwtStatus bwtInverseSort(const uint8_t* block, uint64_t n, const BwtWork& w, BwtProgress progress);

// Second half, after bwtInverseSort of the same block: rebuilds the block from the row
// start into block. A start outside the block (kBadStart) or keys that do not match
// (kBadKeys) stop the walk; it never leaves the block or the work memory.
BwtStatus bwtInverseWalk(uint8_t* block, uint64_t n, uint64_t start, const BwtWork& w);

// Both halves, in place, for a caller that holds the start index already.
inline BwtStatus bwtInverse(uint8_t* block, uint64_t n, uint64_t start, const BwtWork& w,
                            BwtProgress progress = nullptr) {
  BwtStatus s = bwtInverseSort(block, n, w, progress);
  return s == BwtStatus::kOk ? bwtInverseWalk(block, n, start, w) : s;
}

}  // namespace qn::core
