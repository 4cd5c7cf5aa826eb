// quarnzip: the data stream's rotation layout against a byte-by-byte model of the
// decompressor's writer, the parsers' rules, the volume split of the archive writer, and
// the block size block mode takes when none is given.
#include <bit>
#include <map>

#include "core/codes.h"
#include "quarnzip/archive.h"
#include "quarnzip/layout.h"
#include "quarnzip/lz.h"
#include "quarnzip/match_bytes.h"
#include "quarnzip/match_tree.h"
#include "quarnzip/stream_writer.h"
#include "support.h"

namespace qn::test {
namespace {

// Byte-by-byte model of the decompressor's writer: each byte goes to the current file; a
// turn ends after `cluster` bytes, when its file completes, or at the end of a piece; a
// column line ends a started batch; a new batch starts with its record 1.
std::vector<size_t> byteModel(const zip::IndexPlan& p, uint64_t cluster, const std::vector<uint64_t>& pieces) {
  std::vector<size_t> owner;
  std::vector<std::pair<size_t, uint64_t>> open;
  size_t next = 0, cur = 0;
  uint32_t column = 1;
  auto openBatch = [&] {
    while (next < p.items.size()) {
      const zip::PlanItem& it = p.items[next++];
      if (it.column && (column = it.count, !open.empty())) return;
      if (!it.column && it.size > 0) open.push_back({next - 1, it.size});
      if (open.size() == column) return;
    }
  };
  openBatch();
  for (uint64_t n : pieces) {
    uint64_t used = 0;
    for (uint64_t b = 0; b < n && !open.empty(); ++b) {
      owner.push_back(open[cur].first);
      ++used;
      if (--open[cur].second == 0) {
        open.erase(open.begin() + long(cur)), used = 0;
        if (open.empty()) openBatch(), cur = open.empty() ? 0 : 1 % open.size();
        else if (cur == open.size()) cur = 0;
      } else if (used == cluster) {
        cur = (cur + 1) % open.size(), used = 0;
      }
    }
    if (used > 0 && !open.empty()) cur = (cur + 1) % open.size();
  }
  return owner;
}

// Positive numbers are file sizes, negative ones column lines of -n.
zip::IndexPlan plan(const std::vector<int64_t>& items) {
  zip::IndexPlan p{};
  for (int64_t v : items) {
    zip::PlanItem i;
    if (v < 0) i.column = true, i.count = uint32_t(-v);
    else i.size = uint64_t(v);
    p.items.push_back(i);
  }
  return p;
}

std::vector<size_t> owners(const zip::IndexPlan& p, uint64_t cluster, const std::vector<uint64_t>& pieces) {
  zip::Rotation r(p, uint32_t(cluster));
  std::vector<size_t> got;
  for (uint64_t n : pieces) {
    std::vector<zip::Segment> segs;
    r.piece(n, segs);
    for (const zip::Segment& s : segs) got.insert(got.end(), s.len, s.item);
  }
  return got;
}

TEST(ZipRotation, AgreesWithTheDecompressorsWriter) {
  // Hand-worked: column 2, A 5, B 3 | C 4, D 2, turns of 2, pieces of 5: A2 B2 A1 | B1 A2,
  // the batch done, D2 (record 1 of the new batch) | C4.
  const std::vector<size_t> hand = {1, 1, 3, 3, 1, 3, 1, 1, 6, 6, 4, 4, 4, 4};
  EXPECT_EQ(owners(plan({-2, 5, 0, 3, 4, 0, 2}), 2, {5, 5, 4}), hand);
  EXPECT_EQ(byteModel(plan({-2, 5, 0, 3, 4, 0, 2}), 2, {5, 5, 4}), hand);
  EXPECT_EQ(owners(plan({-1, 4}), 8, {10}), std::vector<size_t>(4, 1));  // bytes past the last file dropped
  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    std::vector<int64_t> items;
    for (int f = 1 + int(rng() % 12); f > 0; --f)
      items.push_back(rng() % 6 == 0 ? -int64_t(1 + rng() % 4) : rng() % 3 == 0 ? 0 : int64_t(1 + rng() % 40));
    const zip::IndexPlan p = plan(items);
    const uint64_t cluster = 1 + rng() % 6;
    std::vector<uint64_t> pieces;
    for (uint64_t t = 0; t < p.totalSize(); t += pieces.back()) pieces.push_back(1 + rng() % 17);
    ASSERT_EQ(owners(p, cluster, pieces), byteModel(p, cluster, pieces)) << "round " << round;
  }
}

TEST(ZipParser, LengthFieldsAndDistanceLimits) {
  const std::pair<uint32_t, std::vector<uint32_t>> lengths[] = {
      {3, {3}}, {65535, {65535}}, {65536, {0x10000}}, {1 << 20, {0x10004}}, {1 << 19, {0x10003}},
      {200000, {0x10001, 0x10000, 3392}},
      {65537, {65533, 4}}, {131074, {65533, 0x10000, 5}},  // never a remainder of 1 or 2
  };
  for (const auto& [len, want] : lengths) {
    uint32_t f[24];
    EXPECT_EQ(std::vector<uint32_t>(f, f + zip::lengthFields(len, f)), want) << len;
  }
  const std::pair<uint64_t, uint32_t> limits[] = {{1, 2},     {256, 2},      {257, 3},      {65792, 3},
                                                  {65793, 4}, {16843008, 4}, {16843009, 5}, {4311810305ull, 6}};
  for (const auto& [dist, len] : limits) EXPECT_EQ(zip::minLengthFor(dist), len) << dist;
}

// Rebuilds the stream from the ops (a byte-by-byte copy, as the interpreter does) and checks
// every rule a parse must keep: codable matches inside their chunk, within the window.
// With threads, it also checks that the parse is the one a single thread makes; ahead chunks
// of 1 MiB are then posted before the one parsed, while the buffer need not move.
uint32_t checkParse(const Bytes& in, const zip::LzConfig& cfg, size_t chunk = 0x100000, size_t ahead = 0) {
  zip::LzEncoder lz(cfg, in.size());
  zip::LzConfig one = cfg;
  one.threads = 1;
  zip::LzEncoder single(one, in.size());
  Bytes out;
  size_t posted = 0;
  for (size_t at = 0; at < in.size(); at += chunk) {
    const uint32_t n = uint32_t(std::min(chunk, in.size() - at));
    for (uint32_t k; posted < std::min(in.size(), at + (ahead + 1) * chunk); posted += k) {
      k = uint32_t(std::min(chunk, in.size() - posted));
      if (posted > at && !lz.fits(k)) break;
      lz.post(in.data() + posted, k);
    }
    std::vector<zip::Op> ops, alone;
    lz.parseChunk(n, nullptr, ops);
    if (cfg.threads > 1) {
      single.parseChunk(in.data() + at, n, nullptr, alone);
      EXPECT_TRUE(ops.size() == alone.size() &&
                  std::equal(ops.begin(), ops.end(), alone.begin(),
                             [](const zip::Op& a, const zip::Op& b) { return a.len == b.len && a.dist == b.dist; }))
          << "threads " << cfg.threads << ", chunk at " << at;
    }
    for (const zip::Op& op : ops) {
      if (op.len == 1) {
        out.push_back(in[out.size()]);
        continue;
      }
      const bool ok = op.len >= zip::minLengthFor(op.dist) && op.dist <= cfg.maxDist && op.dist <= out.size() &&
                      out.size() + op.len <= at + n;
      EXPECT_TRUE(ok) << "match " << op.len << " at " << op.dist << ", output " << out.size();
      if (!ok) return lz.rebases();
      for (uint32_t k = 0; k < op.len; ++k) out.push_back(out[out.size() - op.dist]);
    }
    EXPECT_EQ(out.size(), at + n);
    if (out.size() != at + n) return lz.rebases();
  }
  EXPECT_TRUE(out == in);
  return lz.rebases();
}

Bytes mixed(size_t n, uint32_t seed) {  // source-like words, noise and far repeats
  std::mt19937 rng(seed);
  Bytes v;
  const char* words[] = {"int ", "return ", "struct ", "#include <", "value", "(void)", ";\n", "  "};
  while (v.size() < n) {
    const int kind = int(rng() % 10);
    if (kind < 7) for (const char* w = words[rng() % 8]; *w;) v.push_back(uint8_t(*w++));
    else if (kind < 9) v.push_back(uint8_t(rng()));
    else if (v.size() > 1000)
      for (size_t from = rng() % (v.size() - 500), k = 0; k < 300; ++k) v.push_back(v[from + k]);
  }
  v.resize(n);
  return v;
}

TEST(ZipParser, EveryParseRebuildsItsInputAndKeepsTheRules) {
  const Bytes text = mixed(2600000, 1), rnd = randomBytes(300000, 2);
  for (bool optimal : {false, true})
    for (uint32_t pipes : {1u, 3u}) {
      zip::LzConfig c{64 * 1024, 16, pipes, 64, optimal};  // a small window: far repeats fall out
      checkParse(text, c), checkParse(rnd, c);
      c.maxDist = 4u << 20;
      checkParse(text, c);
    }
  // Tiny chunks: the tree places nodes by comparisons cut short at a chunk's end.
  for (size_t chunk : {97u, 1000u}) checkParse(mixed(400000, 4), {1u << 20, 64, 2, 256, true}, chunk);
  // A low threshold makes a short stream go through many rebases of the 32-bit positions,
  // also with chunks posted ahead, which wait for the rebase until they are parsed.
  for (int threads : {1, 2})
    for (bool optimal : {false, true}) {
      zip::LzConfig c{1u << 20, 16, 2, 64, optimal};
      c.rebaseAt = (1u << 21) + 0x100000;
      c.threads = threads;
      c.group = 1;  // room for two chunks past the window: the buffer slides often
      EXPECT_GE(checkParse(mixed(5 * 0x100000 + 999, 3), c, 0x100000, 2), 1u);
    }
  // A run continues from history: the second chunk of zeros is one match of 2^20 at distance
  // 1 (the first chunk's last 3 bytes are hashed once the next chunk is there), also where
  // the finder compares no further than nice.
  const Bytes zeros(3 * 0x100000 + 77, 0);
  for (bool optimal : {false, true}) {
    checkParse(zeros, {4u << 20, 8, 2, 128, optimal});
    zip::LzEncoder lz({4u << 20, 8, 2, 128, optimal}, zeros.size());
    std::vector<zip::Op> first, second;
    lz.parseChunk(zeros.data(), 0x100000, nullptr, first);
    lz.parseChunk(zeros.data(), 0x100000, nullptr, second);
    ASSERT_EQ(second.size(), 1u) << optimal;
    EXPECT_EQ(second[0].len, 0x100000u);
    EXPECT_EQ(second[0].dist, 1u);
    EXPECT_LE(first.size(), 3u);
  }
}

// Prices that never fall as the distance grows, in each of the distance's contexts: the
// cheapest way to rebuild a short stream is then a shortest path in which each length takes
// its closest match, which a plain search finds. The optimal parser, with a deep enough
// search and the whole stream in one window, must reach that price exactly.
class RisingPricer : public zip::Pricer {
 public:
  uint32_t literal(uint8_t b) const override { return 70 + b % 7 * 9; }
  uint32_t length(uint32_t len) const override { return 30 + len * 37 % 41; }
  uint32_t distance(uint32_t len, uint64_t dist) const override {
    return (16 + 5 * uint32_t(core::distContext(len))) * uint32_t(std::bit_width(dist));
  }
};

uint64_t cheapestParse(const Bytes& in, const zip::Pricer& price) {
  const size_t n = in.size();
  std::vector<uint64_t> best(n + 1, ~uint64_t(0));
  best[0] = 0;
  for (size_t i = 0; i < n; ++i) {
    best[i + 1] = std::min(best[i + 1], best[i] + price.literal(in[i]));
    if (i + 4 > n) continue;  // the finder hashes four bytes: no match starts in the last three
    std::vector<uint64_t> closest(n - i + 1, 0);
    for (size_t d = i; d >= 1; --d) {  // from the farthest, so the closest is written last
      size_t l = 0;
      while (i + l < n && in[i - d + l] == in[i + l]) ++l;
      for (size_t len = zip::minLengthFor(d); len <= l; ++len) closest[len] = d;
    }
    for (size_t len = 2; len <= n - i; ++len)
      if (closest[len])
        best[i + len] = std::min(best[i + len], best[i] + price.match(uint32_t(len), closest[len]));
  }
  return best[n];
}

// A string whose largest byte is its fourth, found again among a stretch's last positions (the
// finder's scan takes those one at a time, the rest sixteen at once) after a newer one with the
// same start has taken the heads: only its tree has the long match.
Bytes lastPositionsCase() {
  Bytes b = randomBytes(1218, 5, 16);
  const Bytes a = randomBytes(14, 11, 16), other = randomBytes(14, 12, 16);
  for (size_t at : {100, 600, 1200}) {
    const Bytes& tail = at == 600 ? other : a;
    std::copy_n(Bytes{1, 2, 3, 200}.begin(), 4, b.begin() + long(at));
    std::copy(tail.begin(), tail.end(), b.begin() + long(at) + 4);
  }
  return b;
}

TEST(ZipParser, TheOptimalParseIsTheCheapest) {
  const Bytes inputs[] = {textBytes(1500, 1), randomBytes(1800, 6, 3), randomBytes(1200, 2, 16), mixed(2000, 4),
                          lastPositionsCase()};
  for (const Bytes& in : inputs) {
    // The premise: no two keys of three bytes share a head, which would hide the older one.
    std::map<uint32_t, uint32_t> keyOf;
    for (size_t i = 0; i + 4 <= in.size(); ++i) {
      const uint32_t v = zip::read32(&in[i]) & 0xFFFFFF;
      ASSERT_EQ(keyOf.emplace(zip::hash3(v), v).first->second, v) << in.size();
    }
    const RisingPricer price;
    zip::LzConfig c{1u << 20, 4096, 1, 4096, true};
    c.key = 4;  // every match of four bytes or more is then in the trees
    zip::LzEncoder lz(c, in.size());
    std::vector<zip::Op> ops;
    lz.parseChunk(in.data(), uint32_t(in.size()), &price, ops);
    Bytes out;
    uint64_t cost = 0;
    for (const zip::Op& op : ops) {
      cost += op.len == 1 ? price.literal(in[out.size()]) : price.match(op.len, op.dist);
      if (op.len == 1) out.push_back(in[out.size()]);
      for (uint32_t k = 0; op.len > 1 && k < op.len && op.dist <= out.size(); ++k)
        out.push_back(out[out.size() - op.dist]);
    }
    EXPECT_TRUE(out == in);
    EXPECT_EQ(cost, cheapestParse(in, price));
  }
}

// A match shorter than the trees' key comes from the heads: here a four-byte one, older than
// the newest three-byte one, from the four-byte head.
TEST(ZipTree, FindsFourBytesBelowItsKey) {
  for (uint32_t key : {4u, 5u, 6u}) {
    Bytes b = randomBytes(4000, key);
    auto put = [&](size_t at, const char* s) { std::copy_n(s, 5, b.begin() + long(at)); };
    put(100, "ABCDx"), put(500, "ABCyy"), put(3000, "ABCDz");
    zip::MatchTree tree(1u << 16, 1u << 16, 16, key, 16, 64, 1);
    tree.beginChunks({b.data(), 1, uint32_t(1 + b.size())}, 1, uint32_t(b.size()));
    zip::Match found[zip::MatchTree::kMaxMatches];
    const int n = tree.matchesAt(1 + 3000, found);
    tree.endChunks();
    ASSERT_GT(n, 0) << key;
    EXPECT_EQ(found[n - 1].len, 4u) << key;
    EXPECT_EQ(found[n - 1].dist, 2900u) << key;
  }
}

// The optimal parser's guide: over a long stream, what the writer says the instructions cost
// is what coding them spends (its byte tables' prices may lag the counts a little). Each case
// draws from its own uneven source, so that pricing from the wrong table or stale counts shows.
TEST(ZipPrices, AreWhatTheWriterSpends) {
  struct Source {
    const char* name;
    int literals, nearMatches, farMatches;  // shares of a hundred draws
  };
  const Source sources[] = {{"text literals", 100, 0, 0}, {"near matches", 20, 80, 0},
                            {"far matches", 10, 0, 90}, {"mixed", 45, 30, 25}};
  for (const Source& src : sources) {
    std::mt19937_64 rng(7);
    core::Model m{};
    m.init();
    zip::StreamWriter w(m);
    w.beginStream(true, 3);
    uint64_t priced = 0;
    for (int i = 0; i < 200000; ++i) {
      const int r = int(rng() % 100);
      if (r < src.literals) {
        const uint8_t b = rng() % 4 ? uint8_t(" etaoinshrdlu\n"[rng() % 14]) : uint8_t(rng());
        uint32_t lit[256];  // as the parser prices literals: every byte at once
        w.priceLiterals(lit);
        priced += lit[b], w.literal(b);
        continue;
      }
      uint32_t len;
      uint64_t dist;
      if (r < src.literals + src.nearMatches) {  // short lengths, distances mostly under 256
        len = 2 + uint32_t(std::countr_zero(rng() | 1u << 17));
        dist = 1 + (rng() % 8 ? rng() % 40 : rng() % 256);
      } else {  // long lengths; two or three distance bytes: a narrow top, a few low values
        len = 6 + uint32_t(rng() % 300);
        dist = core::kDistBase[2 + rng() % 2] + (rng() % 3 << 16 | (rng() % 256) << 8 | (rng() % 4) * 60) + 1;
      }
      if (len == 2) dist = 1 + dist % 256;
      priced += w.priceLength(len) + w.priceDistance(len, dist), w.match(len, dist);
    }
    const double spent = double(w.endStream(5).size()) * 8 * 16;  // prices are in 1/16 bit
    EXPECT_NEAR(double(priced) / spent, 1.0, 0.02) << src.name;
  }
}

// Threads split the trees by hash bucket and work ahead of the parse, in stretches that
// end mid-chunk, and through chunks posted ahead; the parse must be the one a single thread
// makes, and keep to its chunks. (Also run under TSan.)
TEST(ZipThreads, TheParseIsTheSameForEveryThreadCount) {
  for (int threads : {2, 3}) {
    zip::LzConfig c{1u << 20, 64, 2, 256, true};
    c.threads = threads;
    checkParse(mixed(150000, 4), c, 1000);
    // Small windows hold a ring of 8, 2 and 1 stretches: the workers and the parser still
    // wake each other there.
    for (uint64_t window : {1u << 15, 1u << 13, 1u << 12}) {
      zip::LzConfig small = c;
      small.maxDist = window;
      checkParse(mixed(60000, 4), small, 20000);
    }
    // Three chunks, the last short: the second and third are posted while the first is parsed.
    if (threads == 2) checkParse(mixed(2200000, 4), c, 0x100000, 2);
  }
}

// The reader counts 2 MiB per chunk, index chunks included, and switches only before a data
// chunk once the count has reached the volume size; every later file then holds volume / 2.
TEST(ZipArchive, VolumesFollowTheReadersCount) {
  const std::tuple<uint32_t, uint32_t, uint32_t, std::vector<uint32_t>> splits[] = {
      {1, 4, 4, {0, 1, 1, 2}}, {3, 10, 8, {0, 1, 1, 1, 1, 2, 2, 2, 2, 3}},
      {5, 5, 8, {1, 1, 1, 1, 2}},  // an index of five chunks already counts 10 >= 8
      {2, 3, 0, {0, 0, 0}}};       // volume 0: everything in the archive file
  for (const auto& [index, data, volume, want] : splits) EXPECT_EQ(zip::dataChunkFiles(index, data, volume), want);
  EXPECT_EQ((std::vector<uint64_t>{zip::chunkCount(0), zip::chunkCount(8), zip::chunkCount(2097144), zip::chunkCount(2097152)}),
            (std::vector<uint64_t>{0, 1, 1, 2}));
}

// Block mode without a given size: the largest of 32, 16, ..., 1 MiB whose prefix of the
// stream holds at most 2^18 three-byte contexts.
TEST(ZipBlockSize, FollowsTheContextsOfTheStreamsStart) {
  const auto text = [](uint64_t n) {  // 26^3 contexts at most, whatever the length
    std::vector<uint8_t> b(n);
    for (uint64_t i = 0; i < n; ++i) b[i] = uint8_t('a' + (i * i / 7 + i / 3) % 26);
    return b;
  };
  const auto noise = [](uint64_t n, uint32_t seed) {
    std::vector<uint8_t> b(n);
    std::mt19937 rng(seed);
    for (auto& x : b) x = uint8_t(rng());
    return b;
  };
  const auto join = [](std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  constexpr uint64_t kMiB = 1 << 20;
  // 2^18 contexts take some 300 KB of noise: 250 KB fit, 400 KB do not.
  const std::pair<std::vector<uint8_t>, uint32_t> cases[] = {
      {{}, 16},
      {noise(250'000, 1), 16},                                // a short stream within the bound
      {noise(400'000, 2), 1},                                 // beyond it before the first mark
      {join(text(2 * kMiB), noise(400'000, 3)), 2},           // within it at 2 MiB, beyond at 4
      {join(text(kMiB - 10), join(noise(200'000, 4), text(31 * kMiB))), 16},  // within at 32
      {join(text(8 * kMiB), noise(kMiB, 5)), 8},
      {join(text(16 * kMiB), noise(kMiB, 6)), 16},
  };
  for (const auto& [stream, want] : cases) {
    zip::ContextSample sizer;
    for (size_t at = 0; at < stream.size(); at += 70'000)  // pieces across the marks
      if (!sizer.add(stream.data() + at, std::min<size_t>(70'000, stream.size() - at))) break;
    EXPECT_EQ(sizer.blockMiB(), want) << stream.size() << " bytes";
  }
}

}  // namespace
}  // namespace qn::test
