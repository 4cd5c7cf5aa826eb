// Match finder and parsers: every parse rebuilds its input and keeps the chunk and distance rules.
#include <gtest/gtest.h>

#include <random>

#include "quarnzip/lz.h"

namespace qn::zip {
namespace {

TEST(LengthFields, LongLengthsSplitIntoGrammarForms) {
  uint32_t f[24];
  auto fields = [&](uint32_t len) { return std::vector<uint32_t>(f, f + lengthFields(len, f)); };
  EXPECT_EQ(fields(3), (std::vector<uint32_t>{3}));
  EXPECT_EQ(fields(65535), (std::vector<uint32_t>{65535}));
  EXPECT_EQ(fields(65536), (std::vector<uint32_t>{0x10000}));
  EXPECT_EQ(fields(1 << 20), (std::vector<uint32_t>{0x10004}));
  EXPECT_EQ(fields(1 << 19), (std::vector<uint32_t>{0x10003}));
  EXPECT_EQ(fields(200000), (std::vector<uint32_t>{0x10001, 0x10000, 3392}));
  // A remainder of 1 or 2 would be no match: a plain 65533 goes first.
  EXPECT_EQ(fields(65537), (std::vector<uint32_t>{65533, 4}));
  EXPECT_EQ(fields(131074), (std::vector<uint32_t>{65533, 0x10000, 5}));
}

TEST(LengthFields, DistanceLimitsOfShortLengths) {
  EXPECT_EQ(minLengthFor(1), 2u);
  EXPECT_EQ(minLengthFor(256), 2u);
  EXPECT_EQ(minLengthFor(257), 3u);
  EXPECT_EQ(minLengthFor(65792), 3u);
  EXPECT_EQ(minLengthFor(65793), 4u);
  EXPECT_EQ(minLengthFor(16843008), 4u);
  EXPECT_EQ(minLengthFor(16843009), 5u);
  EXPECT_EQ(minLengthFor(4311810305ull), 6u);
}

// Rebuilds the stream from the ops (a byte-by-byte copy, as the interpreter does) and checks
// every rule a parse must keep.
uint32_t checkParse(const std::vector<uint8_t>& in, const LzConfig& cfg, size_t chunk = 0x100000) {
  LzEncoder lz(cfg, in.size());
  std::vector<uint8_t> out;
  for (size_t at = 0; at < in.size(); at += chunk) {
    uint32_t n = static_cast<uint32_t>(std::min<size_t>(chunk, in.size() - at));
    std::vector<Op> ops;
    lz.parseChunk(in.data() + at, n, nullptr, ops);
    size_t chunkEnd = at + n;
    for (const Op& op : ops) {
      if (op.len == 1) {
        out.push_back(in[out.size()]);
        continue;
      }
      bool ok = op.len >= minLengthFor(op.dist) && op.dist <= cfg.maxDist && op.dist <= out.size() &&
                out.size() + op.len <= chunkEnd;  // a codable match inside its chunk
      EXPECT_TRUE(ok) << "match " << op.len << " at " << op.dist << ", output " << out.size();
      if (!ok) return lz.rebases();
      for (uint32_t k = 0; k < op.len; ++k) out.push_back(out[out.size() - op.dist]);
    }
    EXPECT_EQ(out.size(), chunkEnd);
    if (out.size() != chunkEnd) return lz.rebases();
  }
  EXPECT_TRUE(out == in);
  return lz.rebases();
}

std::vector<uint8_t> mixed(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v;
  const char* words[] = {"int ", "return ", "struct ", "#include <", "value", "(void)", ";\n", "  "};
  while (v.size() < n) {
    int kind = static_cast<int>(rng() % 10);
    if (kind < 7) {
      const char* w = words[rng() % 8];
      while (*w) v.push_back(static_cast<uint8_t>(*w++));
    } else if (kind < 9) {
      v.push_back(static_cast<uint8_t>(rng()));
    } else if (v.size() > 1000) {  // a far repeat
      size_t from = rng() % (v.size() - 500);
      for (int k = 0; k < 300; ++k) v.push_back(v[from + k]);
    }
  }
  v.resize(n);
  return v;
}

TEST(Parser, EveryLevelRebuildsItsInput) {
  std::vector<uint8_t> text = mixed(2600000, 1);
  std::vector<uint8_t> rnd(300000);
  std::mt19937 rng(2);
  for (auto& b : rnd) b = static_cast<uint8_t>(rng());
  for (bool optimal : {false, true})
    for (uint32_t pipes : {1u, 3u}) {
      LzConfig c{64 * 1024, 16, pipes, 64, optimal};  // a small window: far repeats fall out
      checkParse(text, c);
      checkParse(rnd, c);
      c.maxDist = 4u << 20;
      checkParse(text, c);
    }
}

TEST(Parser, LongRunsFillWholeChunks) {
  std::vector<uint8_t> zeros(3 * 0x100000 + 77, 0);
  LzConfig c{4u << 20, 8, 2, 128, false};
  checkParse(zeros, c);
  LzEncoder lz(c, zeros.size());
  std::vector<Op> first, second;
  lz.parseChunk(zeros.data(), 0x100000, nullptr, first);
  lz.parseChunk(zeros.data(), 0x100000, nullptr, second);
  // The second chunk continues the run from history: one match of 2^20 at distance 1.
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0].len, 0x100000u);
  EXPECT_EQ(second[0].dist, 1u);
  EXPECT_LE(first.size(), 3u);  // a literal, then the run
}

// Near a chunk's end the tree places nodes by comparisons cut short at the end; later walks
// must not trust the tree's order for a shared prefix. Tiny chunks make such nodes common.
TEST(Parser, TreeStaysHonestAcrossChunkEnds) {
  std::vector<uint8_t> text = mixed(400000, 4);
  LzConfig c{1u << 20, 64, 2, 256, true};
  for (size_t chunk : {97u, 1000u}) checkParse(text, c, chunk);
}

// Positions are 32-bit: past the threshold every table moves down. A low threshold makes a
// short stream go through many rebases, and far repeats must still be found and be right.
TEST(Parser, RebasedPositionsStayCorrect) {
  std::vector<uint8_t> text = mixed(5 * 0x100000 + 999, 3);
  for (bool optimal : {false, true}) {
    LzConfig c{1u << 20, 16, 2, 64, optimal};
    c.rebaseAt = (1u << 21) + 0x100000;  // the first position is 2^20: rebase every few chunks
    EXPECT_GE(checkParse(text, c), 1u);
  }
}

}  // namespace
}  // namespace qn::zip
