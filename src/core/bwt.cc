// Block transform: the forward transform by two counting sorts, the inverse by two more and a walk.
#include "core/bwt.h"

#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace qn::core {
namespace {

// ---- Forward ----

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

// ---- Inverse ----
//
// link[i] first holds B[i]; a counting sort by byte makes it the pair (B[j], F[j]), F being
// B sorted; a counting sort by pair makes it the triple (B[j], F[j], S[j]), B in bits 16..23.
// The end position of each triple (one past its last row) then leads the walk from row to
// row, taking the rows of one triple from the last to the first.

// Entry i of the link array: sub-array i / 2^20, position i mod 2^20.
inline uint64_t& entry(uint64_t* const* link, uint64_t i) { return link[i >> 20][i & (kBwtLinkSub - 1)]; }

// link[i] = B[i]; counts of bytes in h[0..255].
void countBytes(const uint8_t* b, uint64_t n, uint64_t* const* link, uint64_t* h) {
  for (uint64_t i = 0; i < n; ++i) {
    entry(link, i) = b[i];
    ++h[b[i]];
  }
}

// Counting sort by byte; link[j] becomes the pair (B[j], F[j]), counted in h1.
// below[c] receives the number of bytes smaller than c.
void sortBytes(uint64_t* const* link, uint64_t* h, uint64_t* h1, uint64_t* below) {
  uint64_t pos = 0;
  for (uint64_t c = 0; c < 256; ++c) {
    below[c] = pos;
    uint64_t end = pos + h[c];
    h[c] = 0;
    for (uint64_t j = pos; j < end; ++j) {
      uint64_t v = entry(link, j) << 8 | c;
      entry(link, j) = v;
      ++h1[v];
    }
    pos = end;
  }
}

// ---- Plain walk: the end positions in h, indexed by the 24-bit triple ----

// Counting sort by pair; link[j] becomes the triple (B[j], F[j], S[j]), counted in h.
// The pair's first byte equals F[j], so the OR leaves a 24-bit triple.
void sortPairs(uint64_t* const* link, uint64_t* h, const uint64_t* h1) {
  uint64_t pos = 0;
  for (uint64_t p = 0; p < kBwtPairs; ++p) {
    uint64_t end = pos + h1[p];
    for (uint64_t j = pos; j < end; ++j) {
      uint64_t v = entry(link, j) << 8 | p;
      entry(link, j) = v;
      ++h[v];
    }
    pos = end;
  }
}

// Inclusive running sum of h. A triple's top 16 bits are a pair counted in h1, so groups
// of 256 entries whose pair count is 0 hold zeros; they, and triples of count 0, are
// skipped: the walk reads none of them.
void sumKeys(uint64_t* h, const uint64_t* h1) {
  uint64_t sum = 0;
  for (uint64_t p = 0; p < kBwtPairs; ++p) {
    if (h1[p] == 0) continue;
    uint64_t* g = h + (p << 8);
    for (int s = 0; s < 256; ++s) {
      if (g[s] == 0) continue;
      sum += g[s];
      g[s] = sum;
    }
  }
}

// Restores the zero state of h for the next block: the groups sumKeys may have written.
void clearKeys(uint64_t* h, const uint64_t* h1) {
  for (uint64_t p = 0; p < kBwtPairs; ++p) {
    if (h1[p] != 0) std::memset(h + (p << 8), 0, 256 * sizeof(uint64_t));
  }
}

BwtStatus walk(uint8_t* b, uint64_t n, uint64_t idx, uint64_t* const* link, uint64_t* h) {
  if (idx >= n) return BwtStatus::kBadStart;
  for (uint64_t out = 0; out < n; ++out) {
    uint64_t x = entry(link, idx);
    b[out] = uint8_t(x >> 16);
    uint64_t& e = h[x];
    if (e == 0) return BwtStatus::kBadKeys;
    idx = --e;
  }
  return BwtStatus::kOk;
}

// ---- Compact walk: the end positions inside the link array ----
//
// h spans 128 MiB and the walk reads it at random, one cache miss per byte on top of the
// link array's. For blocks of up to 2^27 bytes the end positions fit into the link array
// itself. The end position of a triple x, the number of triples up to x, is worked out
// pair by pair from counts per byte, with no table of 2^24 entries: the entries of a pair
// are consecutive and the triples of the pair differ only in B. Each non-empty triple owns
// the row just below its end position; that row's entry keeps the position in its upper
// bits. Every entry becomes B (bits 0..7) and the row owning its triple (bits 8..34).
// The walk then sees exactly the values the plain walk sees in h.

constexpr int kOwnerShift = 35;
constexpr uint64_t kRowMask = (uint64_t(1) << 27) - 1;

bool packed(uint64_t n, const BwtWork& w) { return n <= w.packMax && n <= kRowMask + 1; }

// The pair sort and the end positions for the compact walk; below[c] counts the bytes
// smaller than c.
void packPairs(uint64_t* const* link, const uint64_t* h1, const uint64_t* below) {
  uint64_t seen[256] = {};  // entries with byte c in the pairs up to the current one
  uint64_t pos = 0;
  for (uint64_t p = 0; p < kBwtPairs; ++p) {
    uint64_t end = pos + h1[p];
    for (uint64_t j = pos; j < end; ++j) ++seen[(entry(link, j) >> 8) & 0xFF];
    for (uint64_t j = pos; j < end; ++j) {
      uint64_t& v = entry(link, j);
      uint64_t c = (v >> 8) & 0xFF;
      uint64_t e = below[c] + seen[c];  // end position of the triple (c, p)
      v = (v >> kOwnerShift << kOwnerShift) | (e - 1) << 8 | c;
      entry(link, e - 1) |= e << kOwnerShift;  // the same e for every entry of the triple
    }
    pos = end;
  }
}

BwtStatus walkPacked(uint8_t* b, uint64_t n, uint64_t idx, uint64_t* const* link) {
  if (idx >= n) return BwtStatus::kBadStart;
  for (uint64_t out = 0; out < n; ++out) {
    uint64_t v = entry(link, idx);
    b[out] = uint8_t(v);
    uint64_t& owner = entry(link, (v >> 8) & kRowMask);
    uint64_t e = owner >> kOwnerShift;
    if (e == 0) return BwtStatus::kBadKeys;
    owner -= uint64_t(1) << kOwnerShift;
    idx = e - 1;
  }
  return BwtStatus::kOk;
}

void report(BwtProgress progress, int percent) {
  if (progress != nullptr) progress(percent);
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

BwtStatus bwtInverseSort(const uint8_t* block, uint64_t n, const BwtWork& w, BwtProgress progress) {
  if (n > w.linkSubs * kBwtLinkSub) return BwtStatus::kTooLong;
  uint64_t* const* link = w.link;
  uint64_t* h = w.keys;
  uint64_t* h1 = w.pairs;
  const bool compact = packed(n, w);
  uint64_t below[256];
  std::memset(h1, 0, kBwtPairs * sizeof(uint64_t));  // h is zero between blocks
  report(progress, 0);
  countBytes(block, n, link, h);
  report(progress, 20);
  sortBytes(link, h, h1, below);
  report(progress, 40);
  if (compact) {
    packPairs(link, h1, below);
  } else {
    sortPairs(link, h, h1);
  }
  report(progress, 60);
  if (!compact) sumKeys(h, h1);
  report(progress, 80);
  return BwtStatus::kOk;
}

BwtStatus bwtInverseWalk(uint8_t* block, uint64_t n, uint64_t start, const BwtWork& w) {
  if (packed(n, w)) return walkPacked(block, n, start, w.link);
  BwtStatus s = walk(block, n, start, w.link, w.keys);
  clearKeys(w.keys, w.pairs);
  return s;
}

}  // namespace qn::core
