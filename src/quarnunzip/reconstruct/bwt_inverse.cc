// Inverse block transform: two counting sorts and one walk over a block buffer, in place.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "container/container.h"
#include "frontend/frontend.h"
#include "reconstruct/reconstruct.h"

namespace qn::rec {
namespace {

constexpr uint64_t kSub = 1u << 20;    // link entries per sub-array
constexpr uint64_t kPairs = 1u << 16;  // entries of h1

[[noreturn]] void damaged() {
  fe::errf(txt::kDamagedStream, fe::sFileZip);
  fe::halt();
}

inline uint64_t& link(uint64_t i) { return lnkBlk[i >> 20][i & (kSub - 1)]; }

void progress(int percent) {
  auto secs = int32_t(uint32_t(std::time(nullptr)) - uint32_t(fe::sTime));
  std::printf("%cBWT: %d%%  %ds  ", 13, percent, secs);
  std::fflush(stdout);
}

// Step 3: link[i] = B[i]; counts of bytes in h[0..255].
void countBytes(const uint8_t* b, uint64_t n) {
  for (uint64_t i = 0; i < n; ++i) {
    link(i) = b[i];
    ++h[b[i]];
  }
}

// Step 4: counting sort by byte; link[j] becomes the pair (B[j], F[j]), counted in h1.
// below[c] receives the number of bytes smaller than c.
void sortBytes(uint64_t* below) {
  uint64_t pos = 0;
  for (uint64_t c = 0; c < 256; ++c) {
    below[c] = pos;
    uint64_t end = pos + h[c];
    h[c] = 0;
    for (uint64_t j = pos; j < end; ++j) {
      uint64_t v = link(j) << 8 | c;
      link(j) = v;
      ++h1[v];
    }
    pos = end;
  }
}

// ---- Plain walk: the end positions in h, indexed by the 24-bit triple ----

// Step 5: counting sort by pair; link[j] becomes the triple (B[j], F[j], S[j]), counted
// in h. The pair's first byte equals F[j], so the OR leaves a 24-bit triple.
void sortPairs() {
  uint64_t pos = 0;
  for (uint64_t p = 0; p < kPairs; ++p) {
    uint64_t end = pos + h1[p];
    for (uint64_t j = pos; j < end; ++j) {
      uint64_t v = link(j) << 8 | p;
      link(j) = v;
      ++h[v];
    }
    pos = end;
  }
}

// Step 6: inclusive running sum of h. A triple's top 16 bits are a pair counted in h1,
// so groups of 256 entries whose pair count is 0 hold zeros; they, and triples of count 0,
// are skipped: the walk reads none of them.
void sumKeys() {
  uint64_t sum = 0;
  for (uint64_t p = 0; p < kPairs; ++p) {
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
void clearKeys() {
  for (uint64_t p = 0; p < kPairs; ++p) {
    if (h1[p] != 0) std::memset(h + (p << 8), 0, 256 * sizeof(uint64_t));
  }
}

// Step 8: rebuilds the block in forward order. A start index outside the block, or
// keys that do not match (an end position used up), is damage: the walk never leaves
// the block or the link array.
void walk(uint8_t* b, uint64_t n, uint64_t idx) {
  if (idx >= n) damaged();
  for (uint64_t out = 0; out < n; ++out) {
    uint64_t x = link(idx);
    b[out] = uint8_t(x >> 16);
    uint64_t& e = h[x];
    if (e == 0) damaged();
    idx = --e;
  }
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

// Steps 5 and 6 for the compact walk; below[c] counts the bytes smaller than c.
void packPairs(const uint64_t* below) {
  uint64_t seen[256] = {};  // entries with byte c in the pairs up to the current one
  uint64_t pos = 0;
  for (uint64_t p = 0; p < kPairs; ++p) {
    uint64_t end = pos + h1[p];
    for (uint64_t j = pos; j < end; ++j) ++seen[(link(j) >> 8) & 0xFF];
    for (uint64_t j = pos; j < end; ++j) {
      uint64_t& v = link(j);
      uint64_t c = (v >> 8) & 0xFF;
      uint64_t e = below[c] + seen[c];  // end position of the triple (c, p)
      v = (v >> kOwnerShift << kOwnerShift) | (e - 1) << 8 | c;
      link(e - 1) |= e << kOwnerShift;  // the same e for every entry of the triple
    }
    pos = end;
  }
}

void walkPacked(uint8_t* b, uint64_t n, uint64_t idx) {
  if (idx >= n) damaged();
  for (uint64_t out = 0; out < n; ++out) {
    uint64_t v = link(idx);
    b[out] = uint8_t(v);
    uint64_t& owner = link((v >> 8) & kRowMask);
    uint64_t e = owner >> kOwnerShift;
    if (e == 0) damaged();
    owner -= uint64_t(1) << kOwnerShift;
    idx = e - 1;
  }
}

// Step 7: the next start index from the st ring.
uint64_t takeStart() {
  auto lk = ctr::lockSite(ctr::mutexBwt, "outBwtBlk");
  if (stHead == stTail) {
    lk.unlock();
    std::fputs("BWT block empty", stdout);
    fe::halt();
  }
  uint64_t idx = st[stHead];
  stHead = (stHead + 1) & core::kStMask;
  return idx;
}

}  // namespace

void outBwtBlk(int k) {
  uint8_t* b = bufBlk[k];
  int64_t len = lenBwt[k];
  if (len <= 8) return;  // short blocks are stored as they are, with no start index
  uint64_t n = uint64_t(len);
  if (n > nLnkBlk * kSub) damaged();
  const bool packed = n <= iPackMax && n <= kRowMask + 1;
  uint64_t below[256];
  std::memset(h1, 0, kPairs * sizeof(uint64_t));  // h is zero between blocks
  progress(0);
  countBytes(b, n);
  progress(20);
  sortBytes(below);
  progress(40);
  if (packed) {
    packPairs(below);
  } else {
    sortPairs();
  }
  progress(60);
  if (!packed) sumKeys();
  progress(80);
  uint64_t start = takeStart();
  if (packed) {
    walkPacked(b, n, start);
  } else {
    walk(b, n, start);
    clearKeys();
  }
}

}  // namespace qn::rec
