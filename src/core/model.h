// The adaptive frequency tables in both directions: four groups of 16-bit count trees in
// heap order, with escape symbols, rescaling and derivation.
#pragma once
#include <bit>
#include <cstdint>

#include "core/format.h"

namespace qn::core {

// Leaves per table: symbol s sits at leaf A + s; in an escape group the escape is the
// last leaf, 2A - 1. Node 1 is the root, node n has children 2n and 2n + 1.
inline constexpr int kLeaves3 = 7, kLeaves4 = 17, kLeaves5 = 33, kLeaves8 = 257;
inline constexpr int kSeedTable = 5;   // the byte table every other byte table starts from

struct Model {
  uint16_t aIdx3[4][14];    // distance width symbol, contexts 1..4 (no escape)
  uint16_t aIdx4[2][34];    // head symbol, extension symbol
  uint16_t aIdx5[8][66];    // low five bits of a literal, by its top three bits
  uint16_t aIdx8[30][514];  // lengths and distance bytes; table 5 seeds the others
  uint16_t b[256];          // scratch: unseen-symbol flags after an escape
  uint32_t esc = 63, flush = 5, limit = kTableMax - 63;

  void setParams(uint32_t escape, uint32_t flushShift) {
    esc = escape;
    flush = flushShift;
    limit = kTableMax - escape;
  }
  void init();  // initial contents, with the current esc
};

// ---- Table operations; A is the table's number of leaves ----

// Every inner node becomes the (16-bit, wrapping) sum of its children, bottom up.
template <int A>
inline void rebuildNodes(uint16_t* t) {
  for (int n = A - 1; n >= 1; --n) t[n] = uint16_t(t[2 * n] + t[2 * n + 1]);
}

// Sum of the counts of all leaves left of leaf (left siblings along the path up).
template <int A>
inline uint32_t cumCount(const uint16_t* t, int leaf) {
  uint32_t c = 0;
  for (int m = leaf; m > 1; m >>= 1)
    if (m & 1) c += t[m - 1];
  return c;
}

// One level of the walk below: n becomes its left child, or its right child when left (the
// left child's scaled count) <= rest, which then loses left; that is, right when rest - left
// does not borrow. The same choice replaces to0 by from0 and to1 by from1 (counts one level
// further down, or the leaf's own count), so that nothing has to be loaded after it. The
// choice must not become a jump, which the data would mispredict about half the time, and
// given a plain conditional g++ makes one: on x86-64 the borrow flag drives conditional
// moves and the step to the right child; elsewhere masks do it.
template <int kPicks>
[[gnu::always_inline]] inline void walkStep(uint64_t& rest, uintptr_t& n, uint64_t left,
                                            uint64_t& to0, uint64_t from0, uint64_t& to1,
                                            uint64_t from1) {
  n *= 2;
#if defined(__x86_64__)
  uint64_t less;
  if constexpr (kPicks == 0)
    asm("movq %[rest], %[less]\n\t"
        "subq %[left], %[less]\n\t"
        "cmovaeq %[less], %[rest]\n\t"
        "sbbq $-1, %[n]"
        : [rest] "+r"(rest), [less] "=&r"(less), [n] "+r"(n)
        : [left] "r"(left)
        : "cc");
  else if constexpr (kPicks == 1)
    asm("movq %[rest], %[less]\n\t"
        "subq %[left], %[less]\n\t"
        "cmovaeq %[less], %[rest]\n\t"
        "cmovaeq %[from0], %[to0]\n\t"
        "sbbq $-1, %[n]"
        : [rest] "+r"(rest), [less] "=&r"(less), [n] "+r"(n), [to0] "+r"(to0)
        : [left] "r"(left), [from0] "r"(from0)
        : "cc");
  else
    asm("movq %[rest], %[less]\n\t"
        "subq %[left], %[less]\n\t"
        "cmovaeq %[less], %[rest]\n\t"
        "cmovaeq %[from0], %[to0]\n\t"
        "cmovaeq %[from1], %[to1]\n\t"
        "sbbq $-1, %[n]"
        : [rest] "+r"(rest), [less] "=&r"(less), [n] "+r"(n), [to0] "+r"(to0), [to1] "+r"(to1)
        : [left] "r"(left), [from0] "r"(from0), [from1] "r"(from1)
        : "cc");
#else
  const uint64_t right = 0u - uint64_t(left <= rest);  // all ones to go right
  rest -= left & right;
  if constexpr (kPicks >= 1) to0 ^= (to0 ^ from0) & right;
  if constexpr (kPicks >= 2) to1 ^= (to1 ^ from1) & right;
  n += right & 1;
#endif
}

// Walks down to the leaf of the decoder's target without dividing by the range. With x =
// (M - L + 1) * total - 1, the target is x div range, and target >= c exactly when x >= c *
// range: so the walk compares counts times range with x. rest starts as x; on return it
// is x minus the scaled counts passed on the left (cum * range of the leaf), and freq is
// the leaf's count times range. Ties go right. Two levels at a time: the child's count
// loads together with both possible grandchildren's, and all are scaled before the choice.
// With kCount, every node of the path, root and leaf included, is counted once on the way
// (updateSym's increment when no rescale is due); each count is read before it is counted.
template <int A, bool kCount = false>
[[gnu::always_inline]] inline int findLeaf(uint16_t* t, uint64_t range, uint64_t& rest,
                                           uint64_t& freq) {
  uintptr_t n = 1;
  uint64_t none = 0;
  auto count = [&]() __attribute__((always_inline)) {
    if constexpr (kCount) ++t[n];
  };
  auto at = [&](uintptr_t k) __attribute__((always_inline)) { return t[k] * range; };
  // A last level: the choice also picks the leaf's count, the left or the right child's.
  auto lastStep = [&](uint64_t left, uint64_t right) __attribute__((always_inline)) {
    freq = left;
    walkStep<1>(rest, n, left, freq, right, none, 0);
    count();
  };
  count();
  constexpr int kLevels = std::bit_width(unsigned(A)) - 1;  // every path has this many
  for (int level = 0; level + 2 <= kLevels; level += 2) {
    uint64_t next = at(4 * n);  // the left count under the left child, or under the right
    if (level + 2 < kLevels) {
      walkStep<1>(rest, n, at(2 * n), next, at(4 * n + 2), none, 0);
      count();
      walkStep<0>(rest, n, next, none, 0, none, 0);
      count();
    } else {  // the last two levels: the grandchild's sibling comes along
      uint64_t sibling = at(4 * n + 1);
      walkStep<2>(rest, n, at(2 * n), next, at(4 * n + 2), sibling, at(4 * n + 3));
      count();
      lastStep(next, sibling);
    }
  }
  if constexpr (kLevels % 2) lastStep(at(2 * n), at(2 * n + 1));
  if (n < A) lastStep(at(2 * n), at(2 * n + 1));  // the leftmost leaves lie one level deeper
  return int(n);
}

// Escape groups: ordinary leaves shift down by flush, the escape is set again when any
// symbol is unseen. aIdx3: live counts become (c >> flush) | 1, so none drops to 0.
template <int A, bool kEscape>
[[gnu::noinline]] void rescaleTable(const Model& m, uint16_t* t) {
  bool unseen = false;
  for (int n = A; n < 2 * A - 1; ++n) {
    if constexpr (kEscape) {
      t[n] = uint16_t(t[n] >> m.flush);
      unseen |= t[n] == 0;
    } else if (t[n] != 0) {
      t[n] = uint16_t((t[n] >> m.flush) | 1);
    }
  }
  t[2 * A - 1] = uint16_t(kEscape && unseen ? m.esc : 0);
  rebuildNodes<A>(t);
}

// Counts symbol s once; the rescale test is equality with the limit, made first.
template <int A, bool kEscape>
[[gnu::always_inline]] inline void updateSym(const Model& m, uint16_t* t, uint32_t s) {
  if (t[1] == m.limit) [[unlikely]]
    rescaleTable<A, kEscape>(m, t);
  for (uint32_t n = A + s; n >= 1; n >>= 1) ++t[n];
}

// Takes back findLeaf's count of leaf and its ancestors.
template <int A>
inline void uncount(uint16_t* t, int leaf) {
  for (int n = leaf; n >= 1; n >>= 1) --t[n];
}

// The last unseen symbol has arrived: the escape leaf and its ancestors lose esc.
template <int A>
inline void removeEscape(const Model& m, uint16_t* t) {
  for (int n = 2 * A - 1; n >= 1; n >>= 1) t[n] = uint16_t(t[n] - m.esc);
}

// Byte table first used (root 0): leaves are table 5's halved, rounded up; the escape
// count is copied as it is. Table 5 itself would be halved in place.
[[gnu::noinline]] inline void deriveTable(Model& m, uint16_t* t) {
  const uint16_t* s = m.aIdx8[kSeedTable];
  for (int i = kLeaves8; i < 2 * kLeaves8 - 1; ++i) t[i] = uint16_t((s[i] + 1) >> 1);
  t[2 * kLeaves8 - 1] = s[2 * kLeaves8 - 1];
  rebuildNodes<kLeaves8>(t);
}

// Fills m.b with b[i] = 1 for every ordinary symbol of count 0; returns how many.
template <int A>
[[gnu::noinline]] uint32_t markUnseen(Model& m, const uint16_t* t) {
  uint32_t u = 0;
  for (int i = 0; i < A - 1; ++i) {
    m.b[i] = t[A + i] == 0;
    u += m.b[i];
  }
  return u;
}

// The unseen symbol with exactly v unseen symbols below it (after markUnseen).
template <int A>
inline uint32_t nthUnseen(const Model& m, uint32_t v) {
  for (int i = 0; i < A - 1; ++i)
    if (m.b[i] && v-- == 0) return uint32_t(i);
  return 0;  // not reached: v < the number of flags
}

// How many unseen symbols lie below s (after markUnseen): the encoder's uniform choice.
inline uint32_t unseenBelow(const Model& m, uint32_t s) {
  uint32_t v = 0;
  for (uint32_t i = 0; i < s; ++i) v += m.b[i];
  return v;
}

}  // namespace qn::core
