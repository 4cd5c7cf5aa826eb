// Rotation layout of the data stream against hand-worked examples and a byte-by-byte model.
#include <gtest/gtest.h>

#include <random>

#include "quarnzip/layout.h"

namespace qn::zip {
namespace {

constexpr uint64_t K = 1024;

IndexPlan plan(std::initializer_list<int64_t> items) {
  // Positive numbers are file sizes, negative ones column lines of -n.
  IndexPlan p{};
  for (int64_t v : items) {
    PlanItem i;
    if (v < 0) {
      i.column = true;
      i.count = static_cast<uint32_t>(-v);
    } else {
      i.size = static_cast<uint64_t>(v);
    }
    p.items.push_back(i);
  }
  return p;
}

std::vector<std::pair<size_t, uint64_t>> spread(const IndexPlan& p, uint64_t cluster,
                                                std::vector<uint64_t> pieces) {
  Rotation r(p, static_cast<uint32_t>(cluster));
  std::vector<std::pair<size_t, uint64_t>> out;
  for (uint64_t n : pieces) {
    std::vector<Segment> s;
    r.piece(n, s);
    for (const Segment& x : s) out.push_back({x.item, x.len});
  }
  return out;
}

// The worked example of the block writer: P 100 KiB, Q 2 MiB, R 10 KiB in one batch,
// 64 KiB turns, 1 MiB pieces.
TEST(Rotation, WorkedExampleThreeFiles) {
  IndexPlan p = plan({-3, 100 * K, 2048 * K, 10 * K});
  auto got = spread(p, 64 * K, {1024 * K, 1024 * K, 110 * K});
  std::vector<std::pair<size_t, uint64_t>> want = {{1, 64 * K}, {2, 64 * K}, {3, 10 * K}, {1, 36 * K}};
  for (int i = 0; i < 13; ++i) want.push_back({2, 64 * K});
  want.push_back({2, 18 * K});                               // the first piece ends: 1024 KiB
  for (int i = 0; i < 16; ++i) want.push_back({2, 64 * K});  // second piece: Q alone
  want.push_back({2, 64 * K});
  want.push_back({2, 46 * K});                               // Q's last 110 KiB
  EXPECT_EQ(got, want);
}

// Hand-worked: column 2, files A 5, B 3 | C 4, D 2 (second batch), turns of 2 bytes,
// pieces of 5 bytes. Every piece ends the turn; the second batch starts with its record 1.
TEST(Rotation, BatchesPiecesAndEmptyFiles) {
  IndexPlan p = plan({-2, 5, 0, 3, 4, 0, 2});
  auto got = spread(p, 2, {5, 5, 4});
  std::vector<std::pair<size_t, uint64_t>> want = {
      {1, 2}, {3, 2}, {1, 1},   // piece 1: A2 B2 A1 (the piece ends A's turn)
      {3, 1}, {1, 2},           // piece 2: B completes (1), A completes (2): batch done
      {6, 2},                   // ... rest of the piece goes to the new batch's record 1 (D)
      {4, 2}, {4, 2},           // piece 3: D is complete, C alone
  };
  EXPECT_EQ(got, want);
}

// A column line between records ends a started batch; its count applies afterwards.
TEST(Rotation, ColumnLineEndsBatch) {
  IndexPlan p = plan({-4, 3, -2, 3, 3, 3});
  auto got = spread(p, 2, {9, 3});
  std::vector<std::pair<size_t, uint64_t>> want = {
      {1, 2}, {1, 1},           // batch 1 holds only the first file
      {4, 2}, {3, 2}, {4, 1}, {3, 1},  // batch 2 = records 3, 4; first turn to its record 1
      {5, 2}, {5, 1},           // batch 3: the last file; piece 2 in two turns
  };
  EXPECT_EQ(got, want);
  // Bytes beyond the last file are dropped.
  EXPECT_EQ(spread(plan({-1, 4}), 8, {10}), (std::vector<std::pair<size_t, uint64_t>>{{1, 4}}));
}

// Byte-by-byte model of the decompressor's writer: each byte goes to the current file; a turn
// ends after `cluster` bytes, when its file completes, or at the end of a piece.
std::vector<size_t> byteModel(const IndexPlan& p, uint64_t cluster, const std::vector<uint64_t>& pieces) {
  std::vector<size_t> owner;
  std::vector<std::pair<size_t, uint64_t>> open;
  size_t next = 0;
  uint32_t column = 1;
  auto openBatch = [&] {
    while (next < p.items.size()) {
      const PlanItem& it = p.items[next++];
      if (it.column) {
        column = it.count;
        if (!open.empty()) return;
      } else if (it.size > 0) {
        open.push_back({next - 1, it.size});
        if (open.size() == column) return;
      }
    }
  };
  openBatch();
  size_t cur = 0;
  for (uint64_t n : pieces) {
    uint64_t used = 0;
    for (uint64_t b = 0; b < n; ++b) {
      if (open.empty()) break;
      owner.push_back(open[cur].first);
      ++used;
      if (--open[cur].second == 0) {
        open.erase(open.begin() + static_cast<long>(cur));
        used = 0;
        if (open.empty()) {
          openBatch();
          cur = open.empty() ? 0 : 1 % open.size();
        } else if (cur == open.size()) {
          cur = 0;
        }
      } else if (used == cluster) {
        cur = (cur + 1) % open.size();
        used = 0;
      }
    }
    if (used > 0 && !open.empty()) cur = (cur + 1) % open.size();
  }
  return owner;
}

TEST(Rotation, AgreesWithByteModelOnRandomPlans) {
  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    IndexPlan p{};
    int files = 1 + static_cast<int>(rng() % 12);
    for (int f = 0; f < files; ++f) {
      PlanItem i;
      if (rng() % 6 == 0) {
        i.column = true;
        i.count = 1 + rng() % 4;
      } else {
        i.size = rng() % 3 == 0 ? 0 : 1 + rng() % 40;
      }
      p.items.push_back(i);
    }
    uint64_t cluster = 1 + rng() % 6, total = p.totalSize();
    std::vector<uint64_t> pieces;
    for (uint64_t t = 0; t < total;) {
      uint64_t n = 1 + rng() % 17;
      pieces.push_back(n);
      t += n;
    }
    std::vector<size_t> got;
    for (auto& s : spread(p, cluster, pieces))
      for (uint64_t k = 0; k < s.second; ++k) got.push_back(s.first);
    ASSERT_EQ(got, byteModel(p, cluster, pieces)) << "round " << round;
  }
}

}  // namespace
}  // namespace qn::zip
