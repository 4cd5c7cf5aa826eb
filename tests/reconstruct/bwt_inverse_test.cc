// Inverse block transform: round trips, short blocks, damaged start indexes and keys, empty index ring.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>

#include "quarnzip/bwt_forward.h"
#include "reconstruct/bwt_test_util.h"

namespace qn::rec::test {
namespace {

Bytes str(const char* s) { return Bytes(s, s + std::strlen(s)); }

Bytes roundTrip(const Bytes& in) {
  Bytes t(in.size());
  uint64_t start = zip::bwtForward(in.data(), t.data(), in.size());
  return invertInPlace(t, start);
}

TEST(BwtInverse, HandWorkedBlock) {
  setBlocks(1);
  // Worked by hand: B = "baaaaaaaa", F = "aaaaaaaab"; row 8 holds the triple (a,b,a), so the
  // walk from row 8 writes a, then runs down the (a,a,a) rows and ends on the b.
  EXPECT_EQ(invertInPlace(str("baaaaaaaa"), 8), str("aaaaaaaab"));
  EXPECT_EQ(rec::stHead, 1u);  // one start index taken
}

// Blocks up to iPackMax bytes are inverted with the compact walk, longer ones with the plain
// walk over h; the tests run both (kPlain forces the plain walk).
constexpr uint64_t kCompact = uint64_t(1) << 27, kPlain = 0;

TEST(BwtInverse, RoundTripsOfManyKindsAndSizes) {
  setBlocks(2);
  auto kinds = [](size_t n) {
    return std::vector<Bytes>{
        randomBytes(n, uint32_t(n)), randomBytes(n, 7, 2), textBytes(n, 3), Bytes(n, 0xA7), binaryBytes(n),
        periodicBytes(n, 5)};
  };
  for (uint64_t walk : {kCompact, kPlain}) {
    iPackMax = walk;
    for (size_t n : {9, 10, 11, 13, 31, 101, 1001, 4097, 65537, 1 << 20, (2 << 20) - 1, 2 << 20}) {
      auto inputs = kinds(n);
      if (n > 65537) inputs.erase(inputs.begin());  // full-range random bytes: once, at 32 MiB
      for (size_t i = 0; i < inputs.size(); ++i) {
        ASSERT_EQ(roundTrip(inputs[i]), inputs[i]) << "n = " << n << ", kind " << i << ", walk " << walk;
      }
    }
  }
  iPackMax = kCompact;
  EXPECT_EQ(rec::stHead, rec::stTail);  // exactly one start index per block
}

// Blocks that no forward transform made, from any start index: the two walks write the same
// bytes or both find the damage.
TEST(BwtInverse, CompactAndPlainWalksAgreeOnAnyBlock) {
  setBlocks(1);
  int damagedRuns = 0;
  for (uint32_t i = 0; i < 40; ++i) {
    Bytes b = randomBytes(9 + i * 7 % 40, 100 + i, i % 2 ? 3 : 256);
    uint64_t start = i * 13 % b.size();
    auto run = [&](uint64_t walk) {
      return runChild([&] {
        iPackMax = walk;
        Bytes out = invertInPlace(b, start);
        std::fwrite(out.data(), 1, out.size(), stdout);
      });
    };
    auto compact = run(kCompact), plain = run(kPlain);
    EXPECT_EQ(compact.status, plain.status) << i;
    EXPECT_EQ(compact.out, plain.out) << i;
    damagedRuns += compact.status == 1;
  }
  EXPECT_GT(damagedRuns, 0);  // both outcomes were met
  EXPECT_LT(damagedRuns, 40);
}

TEST(BwtInverse, RoundTripOf32MiBBlock) {
  setBlocks(32);
  Bytes in = textBytes(32 << 20, 11);
  Bytes noise = randomBytes(3 << 20, 5);
  std::copy(noise.begin(), noise.end(), in.begin() + (9 << 20));
  EXPECT_TRUE(roundTrip(in) == in);
}

TEST(BwtInverse, OneRepeatedByteInvertsToItselfFromAnyStart) {
  setBlocks(1);
  for (uint64_t walk : {kCompact, kPlain}) {
    iPackMax = walk;
    for (size_t n : {9, 10, 1000}) {
      Bytes same(n, 'z');
      for (uint64_t start = 0; start < n; ++start) {
        ASSERT_EQ(invertInPlace(same, start), same) << "n = " << n << ", start " << start;
      }
    }
  }
  iPackMax = kCompact;
}

TEST(BwtInverse, ShortBlocksPassUnchangedAndTakeNoStartIndex) {
  setBlocks(1);
  for (size_t n = 0; n <= 8; ++n) {
    Bytes in = randomBytes(n, uint32_t(n));
    std::copy(in.begin(), in.end(), bufBlk[1]);
    lenBwt[1] = int64_t(n);
    outBwtBlk(1);  // the st ring is empty: taking an index would stop the run
    EXPECT_EQ(Bytes(bufBlk[1], bufBlk[1] + n), in);
  }
  EXPECT_EQ(rec::stHead, 0u);
}

TEST(BwtInverse, ProgressMarks) {
  setBlocks(1);
  auto c = runChild([] {
    fe::sTime = std::time(nullptr);
    Bytes in = randomBytes(100, 1);
    std::copy(in.begin(), in.end(), bufBlk[0]);
    lenBwt[0] = 100;
    pushStart(3);
    outBwtBlk(0);
  });
  EXPECT_EQ(c.status, 0);
  // Five marks, each "\rBWT: P%  Ns  " with the seconds since sTime (0 or 1 here).
  std::string rest = c.out;
  for (int percent : {0, 20, 40, 60, 80}) {
    std::string head = "\rBWT: " + std::to_string(percent) + "%  ";
    ASSERT_EQ(rest.compare(0, head.size(), head), 0) << c.out;
    rest.erase(0, head.size());
    ASSERT_TRUE(rest.compare(0, 4, "0s  ") == 0 || rest.compare(0, 4, "1s  ") == 0) << c.out;
    rest.erase(0, 4);
  }
  EXPECT_EQ(rest, "");
}

TEST(BwtInverse, DamagedBlocksStopWithoutLeavingTheBlock) {
  setBlocks(1);
  std::strcpy(fe::sFileZip, "damaged.qn");
  const std::string damaged = damagedText("damaged.qn");
  Bytes text = textBytes(5000, 2);
  Bytes t(text.size());
  uint64_t start = zip::bwtForward(text.data(), t.data(), t.size());
  struct Case {
    Bytes data;
    uint64_t start;
  };
  const Case cases[] = {
      {t, t.size()},           // start index one past the block
      {t, uint64_t(1) << 40},  // far beyond the link array
      {t, ~uint64_t(0)},
      {str("aaaaaaaab"), 0},  // the b is never reached: (a,a,a) is wanted 9 times, held 8
  };
  for (const auto& k : cases) {
    for (uint64_t walk : {kCompact, kPlain}) {
      auto c = runChild([&] {
        iPackMax = walk;
        std::copy(k.data.begin(), k.data.end(), bufBlk[0]);
        lenBwt[0] = int64_t(k.data.size());
        pushStart(k.start);
        outBwtBlk(0);
      });
      EXPECT_EQ(c.status, 1) << k.start << ", walk " << walk;
      EXPECT_NE(c.out.find(damaged), std::string::npos) << c.out;
      EXPECT_NE(c.log.find(damaged), std::string::npos);
    }
  }
  // Sanity: the same block with its own start index inverts cleanly.
  EXPECT_EQ(invertInPlace(t, start), text);
}

TEST(BwtInverse, EmptyStartRingStops) {
  setBlocks(1);
  auto c = runChild([] {
    Bytes in = randomBytes(9, 4);
    std::copy(in.begin(), in.end(), bufBlk[2]);
    lenBwt[2] = 9;
    outBwtBlk(2);
  });
  EXPECT_EQ(c.status, 1);
  auto at = c.out.find("BWT block empty");
  ASSERT_NE(at, std::string::npos) << c.out;
  EXPECT_NE(c.out.compare(at, 16, "BWT block empty\n"), 0);     // no line feed of its own
  EXPECT_EQ(c.log.find("BWT block empty"), std::string::npos);  // not logged
}

TEST(BwtInit, AllocatesReleasesAndRefusesBlocksBeyondMemory) {
  setBlocks(3);
  for (auto* b : bufBlk) ASSERT_NE(b, nullptr);
  EXPECT_EQ(nLnkBlk, 3u);
  std::memset(bufBlk[2] - 8, 0x5A, (3u << 20) + 16);  // the whole allocation is ours to touch
  fe::iBWT = 0;
  initBwt();
  for (auto* b : bufBlk) EXPECT_EQ(b, nullptr);
  EXPECT_EQ(lnkBlk, nullptr);

  auto c = runChild([] {
    fe::param[fe::kBlock] = 1048576;  // 1 TiB blocks: 11 TiB of buffers
    fe::iBlock = uint64_t(1) << 40;
    fe::iBWT = 1;
    initBwt();
  });
  EXPECT_EQ(c.status, 1);
  EXPECT_NE(c.out.find("Not enough memory for BWT blocks of 1048576 MiB"), std::string::npos) << c.out;
}

}  // namespace
}  // namespace qn::rec::test
