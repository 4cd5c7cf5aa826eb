// The coder's arithmetic and the table rules, against numbers worked out by hand.
#include <random>

#include "decoder/decoder.h"
#include "harness.h"
#include "raw_writer.h"

namespace qn::test {
namespace {

dec::DecoderCore coreOver(const uint8_t* bytes, int32_t n) {
  dec::DecoderCore c{};
  c.L = 0, c.H = 0xFFFFFFFF;
  c.bufBin = bytes, c.iBin = 0, c.iBlockBin = n, c.iBit = 0;
  return c;
}

TEST(CoderArithmetic, TargetsBitsAndRenormalisation) {
  // A fresh coder has range 2^32: target = ((M + 1) * total - 1) div 2^32.
  EXPECT_EQ(core::decodeTarget(0, 0xFFFFFFFF, 0, 16), 0u);
  EXPECT_EQ(core::decodeTarget(0, 0xFFFFFFFF, 0x0FFFFFFF, 16), 0u);
  EXPECT_EQ(core::decodeTarget(0, 0xFFFFFFFF, 0x10000000, 16), 1u);
  EXPECT_EQ(core::decodeTarget(0, 0xFFFFFFFF, 0x80000000, 16), 8u);
  EXPECT_EQ(core::decodeTarget(0, 0xFFFFFFFF, 0xFFFFFFFF, 16), 15u);
  // M below L (a damaged state) wraps to a target beyond the total, never a valid one.
  EXPECT_GE(core::decodeTarget(0x80000000, 0xFFFFFFFF, 0x7FFFFFFF, 16), 16u);

  // Bytes 78 56 34 12 are the word 0x12345678: the first bit is 0, M takes the word.
  const uint8_t bytes[] = {0x78, 0x56, 0x34, 0x12, 0xF0, 0xDE, 0xBC, 0x9A};
  dec::DecoderCore c = coreOver(bytes, 8);
  EXPECT_EQ(c.takeBits(1), 0u);
  c = coreOver(bytes, 8);
  c.startDecoder();
  EXPECT_EQ(c.M, 0x12345678u);
  // Bits run on across the word boundary: 4 bits, then 32 straddling both words.
  c = coreOver(bytes, 8);
  EXPECT_EQ(c.takeBits(4), 0x1u);
  EXPECT_EQ(c.takeBits(32), 0x23456789u);
  EXPECT_EQ(c.takeBits(28), 0xABCDEF0u);

  // L = 0x7FFF0000, H = 0x80000FFF: the top bits differ but H - L is below 0x20000, so L
  // becomes 0x80000000 and 20 shifts follow; the encoder emits a 1 and 19 zeros.
  uint32_t L = 0x7FFF0000, H = 0x80000FFF;
  std::vector<int> emitted;
  core::renormalize(L, H, [&](int n, uint32_t l) {
    for (int i = 31; i > 31 - n; --i) emitted.push_back(int(l >> i) & 1);
  });
  EXPECT_EQ(L, 0u);
  EXPECT_EQ(H, 0xFFFFFFFFu);
  std::vector<int> want(20, 0);
  want[0] = 1;
  EXPECT_EQ(emitted, want);
  // The decoder's M (at or above the midpoint) loses the same 20 bits: 0x80000500 << 20.
  const uint8_t zeros[8] = {};
  c = coreOver(zeros, 8);
  c.L = 0x7FFF0000, c.H = 0x80000FFF, c.M = 0x80000500;
  c.renorm();
  EXPECT_EQ(c.M, 0x50000000u);
  EXPECT_EQ(c.iBin, 4);
  EXPECT_EQ(c.iBit, 12);

  // decodeUniform(2^13) narrows with (v, 1, 8192): v = 5 gives [5 * 2^19, 6 * 2^19 - 1],
  // and 13 shifts bring the interval back to [0, 0xFFFFFFFF].
  L = 0, H = 0xFFFFFFFF;
  core::narrowRange(L, H, 5, 1, 8192);
  EXPECT_EQ(L, 0x280000u);
  EXPECT_EQ(H, 0x2FFFFFu);
  const uint8_t five[8] = {0x00, 0x00, 0x28, 0x00};  // word 0x00280000: top 13 bits = 5
  c = coreOver(five, 8);
  c.startDecoder();
  EXPECT_EQ(c.decodeUniform(8192), 5u);
  EXPECT_EQ(c.L, 0u);
  EXPECT_EQ(c.H, 0xFFFFFFFFu);
  EXPECT_EQ(c.M, 0u);  // 13 bits of 0x00280000 shifted out, zeros shifted in
}

TEST(CoderArithmetic, DivisionByATotalIsExact) {
  // Every total, against the hardware division, at the largest dividends the coder makes
  // (65535 * 2^32 and 2^48 - 1), at multiples of the total and just below them.
  for (uint64_t t = 1; t < 65536; ++t) {
    const uint64_t as[] = {0, 1, t - 1, t, 65535ull << 32, (1ull << 48) - 1,
                           ((1ull << 48) - 1) / t * t, ((1ull << 48) - 1) / t * t - 1};
    for (uint64_t a : as) ASSERT_EQ(core::divideByTotal(a, uint32_t(t)), a / t) << a << " / " << t;
  }
  std::mt19937_64 rng(5);
  for (int i = 0; i < 1000000; ++i) {
    const uint64_t a = rng() >> 16, t = rng() % 65535 + 1;
    ASSERT_EQ(core::divideByTotal(a, uint32_t(t)), a / t) << a << " / " << t;
  }
}

// Fills every leaf of a table with count 1.
template <int A>
void allOnes(uint16_t* t) {
  for (int n = A; n < 2 * A; ++n) t[n] = 1;
  core::rebuildNodes<A>(t);
}

template <int A>
std::vector<int> leafOrder() {
  uint16_t t[2 * 257] = {};
  allOnes<A>(t);
  std::vector<int> order;
  for (uint32_t target = 0; target < uint32_t(A); ++target) {
    uint32_t rest = target;
    const int leaf = core::findLeaf<A>(t, rest);
    EXPECT_EQ(rest, 0u);
    EXPECT_EQ(core::cumCount<A>(t, leaf), target);
    order.push_back(leaf - A);
  }
  return order;
}

std::vector<int> escapeOrder(int A) {  // A - 2, A - 1 (escape), then 0..A - 3
  std::vector<int> v = {A - 2, A - 1};
  for (int s = 0; s <= A - 3; ++s) v.push_back(s);
  return v;
}

TEST(FrequencyTables, LeafOrderAndCumulativeCounts) {
  EXPECT_EQ(leafOrder<7>(), (std::vector<int>{1, 2, 3, 4, 5, 6, 0}));
  EXPECT_EQ(leafOrder<17>(), escapeOrder(17));
  EXPECT_EQ(leafOrder<33>(), escapeOrder(33));
  EXPECT_EQ(leafOrder<257>(), escapeOrder(257));

  // cumCount of leaf 17 (symbol 0) in aIdx4 is count[32] + count[33].
  uint16_t t[34] = {};
  for (int n = 17; n < 34; ++n) t[n] = uint16_t(n);
  core::rebuildNodes<17>(t);
  EXPECT_EQ(core::cumCount<17>(t, 17), 32u + 33u);
  // Ties go right: a target equal to the left child's count lands past it.
  uint32_t rest = 32;
  EXPECT_EQ(core::findLeaf<17>(t, rest), 33);
  EXPECT_EQ(rest, 0u);
}

TEST(FrequencyTables, InitialContents) {
  freshModel(16, 5);
  const core::Model& m = dec::model;
  for (int k = 0; k < 4; ++k) EXPECT_EQ(m.aIdx3[k][1], k + 2);
  EXPECT_EQ(m.aIdx3[0][7], 1);
  EXPECT_EQ(m.aIdx3[0][9], 0);
  for (int k = 0; k < 2; ++k) EXPECT_EQ(m.aIdx4[k][1], 16);
  EXPECT_EQ(m.aIdx4[0][33], 16);
  for (int k = 0; k < 8; ++k) EXPECT_EQ(m.aIdx5[k][65], 16);
  for (int k = 0; k < 30; ++k) EXPECT_EQ(m.aIdx8[k][1], k == 5 ? 16 : 0);
}

TEST(FrequencyTables, RescaleDeriveAndEscapeRules) {
  core::Model m{};
  // aIdx3 with counts 8, 3, 1 and flush 1 rescales to 5, 1, 1 (the low bit forced on).
  m.setParams(63, 1);
  uint16_t* t3 = m.aIdx3[1];
  t3[7] = 8, t3[8] = 3, t3[9] = 1;
  core::rebuildNodes<7>(t3);
  core::rescaleTable<7, false>(m, t3);
  EXPECT_EQ(t3[7], 5);
  EXPECT_EQ(t3[8], 1);
  EXPECT_EQ(t3[9], 1);
  EXPECT_EQ(t3[1], 7);

  // Table 5 with counts 7 and 2 for two bytes: a byte table first used starts with 4 and
  // 1 for them and table 5's escape count, copied unhalved.
  m.setParams(63, 5);
  m.init();
  uint16_t* t5 = m.aIdx8[5];
  t5[257 + 'a'] = 7, t5[257 + 'b'] = 2;
  core::rebuildNodes<257>(t5);
  core::deriveTable(m, m.aIdx8[6]);
  EXPECT_EQ(m.aIdx8[6][257 + 'a'], 4);
  EXPECT_EQ(m.aIdx8[6][257 + 'b'], 1);
  EXPECT_EQ(m.aIdx8[6][513], 63);
  EXPECT_EQ(m.aIdx8[6][1], 68);

  // Rescale on equality only: a root of limit - 1 (65471) takes one more count without
  // rescaling; at the limit the next update first rescales: 65409 >> 5 = 2044, + 1.
  uint16_t* t4 = m.aIdx4[0];
  t4[17] = 65408;
  core::rebuildNodes<17>(t4);
  EXPECT_EQ(t4[1], 65471);
  core::updateSym<17, true>(m, t4, 0);
  EXPECT_EQ(t4[17], 65409);
  EXPECT_EQ(t4[1], 65472);
  core::updateSym<17, true>(m, t4, 0);
  EXPECT_EQ(t4[17], 2045);
  EXPECT_EQ(t4[33], 63);  // symbols 1..15 are still unseen
  EXPECT_EQ(t4[1], 2045 + 63);
}

TEST(FrequencyTables, EscapeCodingOfNewSymbols) {
  // A fresh aIdx4 table with esc 16 has root 16: the escape takes the whole interval and
  // symbol 9 is the uniform choice 9 of 16, the bits 1001.
  core::Model m{};
  m.setParams(16, 5);
  m.init();
  RawWriter w(m);
  w.head(9);
  EXPECT_EQ(w.bits, (std::vector<int>{1, 0, 0, 1}));
  EXPECT_EQ(w.L, 0u);
  EXPECT_EQ(w.H, 0xFFFFFFFFu);
  EXPECT_EQ(m.aIdx4[0][17 + 9], 1);
  EXPECT_EQ(m.aIdx4[0][1], 17);

  // The last unseen symbol: only the escape is coded, then the escape leaf is removed.
  // Symbols 0..14 have count 1, symbol 15 (leftmost) 0, escape 63: root 78, and the
  // escape's sub-interval is [0, 63) of 78.
  m.setParams(63, 5);
  m.init();
  uint16_t* t = m.aIdx4[1];
  for (int s = 0; s < 15; ++s) t[17 + s] = 1;
  core::rebuildNodes<17>(t);
  ASSERT_EQ(t[1], 78);
  RawWriter last(m);
  last.ext(15);
  uint32_t L = 0, H = uint32_t(uint64_t(63) * 0x100000000ull / 78 - 1);
  int shifts = 0;
  while (((L ^ H) & 0x80000000u) == 0) L <<= 1, H = H << 1 | 1, ++shifts;
  EXPECT_EQ(shifts, 0);  // top bits differ: nothing to shift, and no uniform choice
  EXPECT_TRUE(last.bits.empty());
  EXPECT_EQ(last.L, L);
  EXPECT_EQ(last.H, H);
  EXPECT_EQ(t[33], 0);
  EXPECT_EQ(t[17 + 15], 1);
  EXPECT_EQ(t[1], 16);

  // The decoder reads the same from the writer's bits: symbol 15, the same interval, and
  // the same table afterwards.
  core::Model dm{};
  dm.setParams(63, 5);
  dm.init();
  for (int s = 0; s < 15; ++s) dm.aIdx4[1][17 + s] = 1;
  core::rebuildNodes<17>(dm.aIdx4[1]);
  const std::vector<uint8_t> bytes = last.finish();
  dec::DecoderCore c = coreOver(bytes.data(), int32_t(bytes.size()));
  c.startDecoder();
  EXPECT_EQ((c.decodeSym<17, true>(dm, dm.aIdx4[1])), 15u);
  EXPECT_EQ(c.L, L);
  EXPECT_EQ(c.H, H);
  EXPECT_EQ(std::memcmp(dm.aIdx4[1], m.aIdx4[1], sizeof m.aIdx4[1]), 0);
}

}  // namespace
}  // namespace qn::test
