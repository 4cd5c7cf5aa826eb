// Block transform: the forward transform by two counting sorts, the inverse by two more and a walk.
#include "core/bwt.h"

#include <algorithm>
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

// link[i] = B[i]; counts of bytes in h[0..255].
void countBytes(const uint8_t* b, uint64_t n, uint64_t* link, uint64_t* h) {
  for (uint64_t i = 0; i < n; ++i) {
    link[i] = b[i];
    ++h[b[i]];
  }
}

// Counting sort by byte; link[j] becomes the pair (B[j], F[j]), counted in h1.
void sortBytes(uint64_t* link, uint64_t* h, uint64_t* h1) {
  uint64_t pos = 0;
  for (uint64_t c = 0; c < 256; ++c) {
    uint64_t end = pos + h[c];
    h[c] = 0;
    for (uint64_t j = pos; j < end; ++j) {
      uint64_t v = link[j] << 8 | c;
      link[j] = v;
      ++h1[v];
    }
    pos = end;
  }
}

// ---- Plain walk: the end positions in h, indexed by the 24-bit triple ----

// Counting sort by pair; link[j] becomes the triple (B[j], F[j], S[j]), counted in h.
// The pair's first byte equals F[j], so the OR leaves a 24-bit triple.
void sortPairs(uint64_t* link, uint64_t* h, const uint64_t* h1) {
  uint64_t pos = 0;
  for (uint64_t p = 0; p < kBwtPairs; ++p) {
    uint64_t end = pos + h1[p];
    for (uint64_t j = pos; j < end; ++j) {
      uint64_t v = link[j] << 8 | p;
      link[j] = v;
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

// Clears the groups of h that the pair sort and sumKeys will use: those of the pairs in h1.
void clearKeys(uint64_t* h, const uint64_t* h1) {
  for (uint64_t p = 0; p < kBwtPairs; ++p) {
    if (h1[p] != 0) std::memset(h + (p << 8), 0, 256 * sizeof(uint64_t));
  }
}

BwtStatus walk(uint8_t* b, uint64_t n, uint64_t idx, const uint64_t* link, uint64_t* h) {
  if (idx >= n) return BwtStatus::kBadStart;
  for (uint64_t out = 0; out < n; ++out) {
    uint64_t x = link[idx];
    b[out] = uint8_t(x >> 16);
    uint64_t& e = h[x];
    if (e == 0) return BwtStatus::kBadKeys;
    idx = --e;
  }
  return BwtStatus::kOk;
}

// ---- Dense walk: 32-bit rows and one counter per triple that occurs ----
//
// The plain walk takes two cache misses per byte in arrays far larger than the cache:
// the row's 8-byte entry and its triple's end position in the 128 MiB h. Here a row is
// 32 bits, (id << 8) | B, where id numbers the triples the block holds (at most 2^24, as
// triples are 24-bit), and counter id starts at the triple's end position, the value the
// plain walk finds in h. The counters are few and stay in the cache; the rows of one
// triple are consecutive and are taken from the last to the first, so when the walk
// enters a row it fetches the cache line holding the next lower rows of that triple,
// which its next visit to the triple will read. Rows take 4n bytes of the link memory.

bool dense(uint64_t n, const BwtWork& w) { return n <= w.denseMax && n <= 0xFFFFFFFF; }

uint32_t* denseRows(const BwtWork& w) { return reinterpret_cast<uint32_t*>(w.link); }

// counts[x] = the number of bytes x among the n (below 2^32, the dense walk's bound) at b.
// Four tables, so that a run of one byte value does not chain each increment on the one
// before it through memory.
void countBytesOf(const uint8_t* b, uint64_t n, uint64_t* counts) {
  uint32_t part[4][256] = {};
  uint64_t i = 0;
  for (; i + 4 <= n; i += 4) {
    ++part[0][b[i]];
    ++part[1][b[i + 1]];
    ++part[2][b[i + 2]];
    ++part[3][b[i + 3]];
  }
  for (; i < n; ++i) ++part[0][b[i]];
  for (int x = 0; x < 256; ++x) counts[x] = uint64_t(part[0][x]) + part[1][x] + part[2][x] + part[3][x];
}

// below[c] = the number of bytes smaller than c; then h1 counts the pairs (B, F), F = c
// on the rows below[c] .. below[c + 1] - 1.
void countPairs(const uint8_t* b, const uint64_t* byteCount, uint64_t* below, uint64_t* h1) {
  for (uint64_t c = 0, sum = 0; c < 256; sum += byteCount[c++]) below[c] = sum;
  for (uint64_t c = 0; c < 256; ++c) {
    if (byteCount[c] == 0) continue;
    uint64_t counts[256];
    countBytesOf(b + below[c], byteCount[c], counts);
    for (uint64_t x = 0; x < 256; ++x) h1[x << 8 | c] = counts[x];
  }
}

// Builds the rows and counters in one pass over each pair's rows. A triple's end position
// is the number of rows whose triple is not above it: those of a smaller B, and those of the
// same B whose pair (F, S) is not above it; seen[c] counts the latter, so the counters of
// the triples a pair holds are set once its rows have been counted.
void buildDense(const uint8_t* b, uint64_t n, const BwtWork& w, const uint64_t* below) {
  const uint64_t* h1 = w.pairs;
  uint32_t* rows = denseRows(w);
  uint32_t* counters = w.counters;
  uint64_t seen[2][256] = {};  // two halves, even and odd rows: see countBytesOf
  uint32_t lastPair[256], idOf[256] = {}, met[256];
  std::fill(lastPair, lastPair + 256, ~0u);
  uint32_t ids = 0;
  for (uint64_t p = 0, pos = 0; p < kBwtPairs && pos < n; ++p) {
    const uint64_t end = pos + h1[p];
    int kinds = 0;
    for (uint64_t j = pos; j < end; ++j) {
      const uint32_t c = b[j];
      ++seen[j & 1][c];
      if (lastPair[c] != p) {  // the triple (c, p) is met for the first time
        lastPair[c] = uint32_t(p);
        idOf[c] = ids++;
        met[kinds++] = c;
      }
      rows[j] = idOf[c] << 8 | c;
    }
    for (int k = 0; k < kinds; ++k) {
      const uint32_t c = met[k];
      counters[idOf[c]] = uint32_t(below[c] + seen[0][c] + seen[1][c]);
    }
    pos = end;
  }
}

BwtStatus walkDense(uint8_t* b, uint64_t n, uint64_t idx, const BwtWork& w) {
  if (idx >= n) return BwtStatus::kBadStart;
  const uint32_t* rows = denseRows(w);
  uint32_t* counters = w.counters;
  constexpr uint32_t kLine = 64 / sizeof(uint32_t);
  for (uint64_t out = 0; out < n; ++out) {
    const uint32_t v = rows[idx];
    b[out] = uint8_t(v);
    uint32_t& e = counters[v >> 8];
    if (e == 0) return BwtStatus::kBadKeys;
    idx = --e;
    __builtin_prefetch(rows + (idx >= kLine ? idx - kLine : 0));
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

uint64_t bwtLinkEntries(uint64_t n, const BwtWork& w) { return dense(n, w) ? n / 2 + n % 2 : n; }

BwtStatus bwtInverseSort(const uint8_t* block, uint64_t n, const BwtWork& w, BwtProgress progress) {
  const bool fast = dense(n, w);
  if (bwtLinkEntries(n, w) > w.linkEntries) return BwtStatus::kTooLong;
  uint64_t* link = w.link;
  uint64_t* h = w.keys;
  uint64_t* h1 = w.pairs;
  std::memset(h1, 0, kBwtPairs * sizeof(uint64_t));
  report(progress, 0);
  if (fast) {
    uint64_t bytes[256], below[256];
    countBytesOf(block, n, bytes);
    report(progress, 20);
    countPairs(block, bytes, below, h1);
    report(progress, 40);
    buildDense(block, n, w, below);
    report(progress, 60);
    report(progress, 80);
    return BwtStatus::kOk;
  }
  std::memset(h, 0, 256 * sizeof(uint64_t));
  countBytes(block, n, link, h);
  report(progress, 20);
  sortBytes(link, h, h1);
  clearKeys(h, h1);
  report(progress, 40);
  sortPairs(link, h, h1);
  report(progress, 60);
  sumKeys(h, h1);
  report(progress, 80);
  return BwtStatus::kOk;
}

BwtStatus bwtInverseWalk(uint8_t* block, uint64_t n, uint64_t start, const BwtWork& w) {
  if (dense(n, w)) return walkDense(block, n, start, w);
  return walk(block, n, start, w.link, w.keys);
}

}  // namespace qn::core
