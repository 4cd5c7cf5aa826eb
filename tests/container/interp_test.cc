// Tests of the instruction interpreter: words, copies, chunk limits, rejected words, the opening-text check.
#include <cstring>
#include <random>

#include "support.h"

namespace qn {
namespace {

constexpr int64_t kMiB = 0x100000;
constexpr uint32_t M = 0x80000000u;  // match bit
using test::reference;

class Interp : public ::testing::Test {
 protected:
  void SetUp() override {
    test::enterScratch();
    test::makeRing();
    ctr::fLen = uint64_t{1} << 40;
    ctr::fPos = 0;
    ctr::msgCode = codes_;
    std::fill(std::begin(codes_), std::end(codes_), 0);
    codes_[3] = ctr::kStop;  // an end of stream finds its stop request already posted
  }
  void TearDown() override { ctr::msgCode = nullptr; }

  // Puts the words into instruction buffer 0 and runs the interpreter from ring offset `at`.
  int32_t run(const std::vector<uint32_t>& w, int64_t at = 0) {
    std::memcpy(rec::bufCmd[0], w.data(), w.size() * 4);
    rec::lenCmd[0] = uint32_t(w.size());
    rec::nCmdR = 0;
    rec::iChr = at;
    return rec::unzip();
  }
  std::string bytes(int64_t at, size_t n) { return std::string(reinterpret_cast<char*>(ctr::bufChr + at), n); }

  uint32_t codes_[7];
};

TEST_F(Interp, LiteralsAndShortMatches) {
  // A, B, then three bytes from two back: the copy reads what it has just written.
  EXPECT_EQ(run({65, 66, M | 3, 2, 262}), 5);
  EXPECT_EQ(bytes(0, 5), "ABABA");
  EXPECT_EQ(rec::iChr, 5);

  // Length 2 copies two bytes one at a time; distance 1 repeats one byte.
  EXPECT_EQ(run({'x', 'y', 'z', M | 2, 3, M | 2, 1, 262}, 100), 7);
  EXPECT_EQ(bytes(100, 7), "xyzxyyy");

  // Block-index markers produce nothing; a buffer of only 262 produces nothing.
  EXPECT_EQ(run({257, 'q', 258, 262}, 200), 1);
  EXPECT_EQ(bytes(200, 1), "q");
  EXPECT_EQ(run({262}, 300), 0);
  EXPECT_EQ(rec::iChr, 300);
}

TEST_F(Interp, SourcesWrapAroundTheRing) {
  const int64_t size = fe::iMaxBuf;
  std::memcpy(ctr::bufChr + size - 2, "xy", 2);
  std::memcpy(ctr::bufChr, "abc", 3);
  // iChr = 3, D = 5: the copy starts at iMaxBuf - 2 and wraps to offset 0.
  EXPECT_EQ(run({M | 4, 5, 262}, 3), 4);
  EXPECT_EQ(bytes(0, 7), "abcxyab");

  // Three-word distance: (1 << 32) + 5 is 5 modulo the ring.
  std::memcpy(ctr::bufChr + kMiB, "hello", 5);
  EXPECT_EQ(run({M | 3, M | 1, 5, 262}, kMiB + 5), 3);
  EXPECT_EQ(bytes(kMiB, 8), "hellohel");

  // Distance 0x80000000 (three words: high part 0 with bit 31, then the low half) is a
  // multiple of the ring: each byte is copied onto itself and stays as it was.
  std::memcpy(ctr::bufChr + 2 * kMiB, "0123456789", 10);
  EXPECT_EQ(run({M | 3, M, M, 262}, 2 * kMiB + 4), 3);
  EXPECT_EQ(bytes(2 * kMiB, 10), "0123456789");
  // Distance 0x7FFFFFFF takes two words: it is 8 MiB - 1 modulo the ring, one byte ahead.
  EXPECT_EQ(run({M | 3, 0x7FFFFFFF, 262}, 2 * kMiB + 2), 3);
  EXPECT_EQ(bytes(2 * kMiB, 10), "0134556789");
}

TEST_F(Interp, ExponentLengthsAndTheFullChunk) {
  // 0x80010000 is 65536 bytes, 0x80010001 is 131072.
  EXPECT_EQ(run({'a', M | 0x10000, 1, M | 0x10001, 65537, 262}), 1 + 65536 + 131072);
  for (int64_t k = 0; k < 1 + 65536 + 131072; ++k) ASSERT_EQ(ctr::bufChr[k], 'a') << k;

  // Exactly 0x100000 bytes: the interpreter returns before the next word, which would be
  // rejected if it were executed.
  std::vector<uint32_t> w = {'z', M | 0xFFFF, 1};
  for (int k = 1; k < 16; ++k) w.insert(w.end(), {M | 0x10000, 0x10000});
  w.push_back(256);
  EXPECT_EQ(run(w, 3 * kMiB), kMiB);
  EXPECT_EQ(ctr::bufChr[4 * kMiB - 1], 'z');

  // 2^20 in one word fills a chunk too.
  EXPECT_EQ(run({M | 0x10004, 1, 256}, 5 * kMiB), kMiB);
}

TEST_F(Interp, EndOfStreamClosesTheChunk) {
  // The end word after a length-3 match is taken as its distance (263 back); the second
  // end word then ends the stream.
  std::vector<uint32_t> w;
  for (int k = 0; k < 300; ++k) w.push_back(uint32_t(k % 251));
  w.insert(w.end(), {M | 3, 263, 263});
  std::memset(ctr::bufChr, 0xEE, kMiB);
  rec::statCmd[0] = 3;
  run(w);
  EXPECT_EQ(bytes(300, 3), bytes(37, 3));
  EXPECT_EQ(ctr::statChr[0], 2u);
  EXPECT_EQ(ctr::lenChr[0], 303u);
  EXPECT_EQ(ctr::fPos, 303);
  EXPECT_EQ(rec::chrTail, kMiB);
  EXPECT_EQ(rec::statCmd[0], 0u);
  EXPECT_EQ(codes_[3], 0u);  // the stop request was acknowledged
  for (int64_t k = 303; k < kMiB; ++k) ASSERT_EQ(ctr::bufChr[k], 0) << k;

  // 261 ends the data stream the same way; the chunk before it is untouched.
  codes_[3] = ctr::kStop;
  rec::chrTail = kMiB;
  run({'e', 261, 'f'}, kMiB);
  EXPECT_EQ(ctr::lenChr[1], 1u);
  EXPECT_EQ(ctr::fPos, 304);
  EXPECT_EQ(ctr::lenChr[0], 303u);
}

TEST_F(Interp, RejectedWordsStopTheRun) {
  for (uint32_t w : {256u, 259u, 260u, 264u, 0x7FFFFFFFu})
    EXPECT_HALT(run({65, w, 262}), "\nControl code error\n.*please see the log file 'qn_error.log'") << w;
  for (uint32_t w : {M, M | 1, M | 0x10030})
    EXPECT_HALT(run({65, w, 1, 262}), "\nUnused instruct code\n") << w;
  for (uint32_t w : {M | 0x10031, 0xFFFFFFFFu})
    EXPECT_HALT(run({65, w, 1, 262}), "\nReserved instruct code\n") << w;
}

TEST_F(Interp, DamagedBuffersStopWithoutWritingOutside) {
  const char* damaged = "\nCompressed data is damaged, zip file .* may be incorrect\n";
  // A match that would carry the chunk past 1 MiB.
  EXPECT_HALT(run({'a', M | 0x10004, 1, 262}), damaged);
  EXPECT_HALT(run({'a', M | 0x1002F, 1, 262}), damaged);  // 2^63 bytes
  // Words that run out without an end word, also inside a match.
  EXPECT_HALT(run({'a', 'b'}), damaged);
  EXPECT_HALT(run({'a', M | 3}), damaged);
  EXPECT_HALT(run({'a', M | 3, M | 1}), damaged);
  // Output more than 1 MiB past the length the pass expects.
  ctr::fLen = 10;
  ctr::fPos = kMiB;
  EXPECT_HALT(run({'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 262}), damaged);
  EXPECT_EQ(run({'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 262}), 10);
}

TEST_F(Interp, OpeningTextCheck) {
  const std::string head = "<?xml version=\"1.0\"?>";
  std::vector<uint32_t> w(head.begin(), head.end());
  w.push_back(262);
  drv::initStreamUnzip("<?xml version=");
  EXPECT_EQ(run(w), int32_t(head.size()));
  EXPECT_EQ(ctr::bufCheckStr[0], 0);  // passed and cleared

  // Fourteen bytes that differ in the last one are refused.
  drv::initStreamUnzip("<?xml version=");
  std::vector<uint32_t> bad(w);
  bad[13] = '-';
  EXPECT_HALT(run(bad), "\nInvalid password or zip packet\n");

  // A match may carry the count past the text's length in one instruction.
  drv::initStreamUnzip("abcabcabc");
  EXPECT_EQ(run({'a', 'b', 'c', M | 20, 3, 262}), 23);
  EXPECT_EQ(ctr::bufCheckStr[0], 0);
  drv::initStreamUnzip("abcabcabd");
  EXPECT_HALT(run({'a', 'b', 'c', M | 20, 3, 262}), "Invalid password or zip packet");

  // A text longer than 63 characters is cut to 63.
  drv::initStreamUnzip(std::string(80, 'q').c_str());
  EXPECT_EQ(std::strlen(ctr::bufCheckStr), 63u);
}

// Random instruction lists over twelve chunks (the ring wraps one and a half times) against
// the byte-by-byte model: literals, overlapping and apart matches, sources behind the ring's
// start, three-word distances, exponent lengths, chunks that fill exactly or end early.
TEST_F(Interp, AgreesWithByteByByteModel) {
  std::mt19937_64 rng(20261206);
  const int64_t size = fe::iMaxBuf;
  std::vector<uint8_t> model(size);
  for (auto& b : model) b = uint8_t(rng());
  std::memcpy(ctr::bufChr, model.data(), size);
  auto pick = [&](uint64_t lo, uint64_t hi) { return lo + rng() % (hi - lo + 1); };
  for (int chunk = 0; chunk < 12; ++chunk) {
    const int64_t at = (chunk % 8) * kMiB;
    const bool fill = chunk % 3 == 1;
    const int64_t target = fill ? kMiB : int64_t(pick(1000, 400000));
    std::vector<uint32_t> w;
    int64_t count = 0;
    while (count < target) {
      const int64_t left = target - count;
      const unsigned kind = unsigned(rng() % 100);
      uint64_t len;
      if (left == 1 || kind < 40) {
        w.push_back(uint32_t(rng() % 256));
        count += 1;
        continue;
      }
      if (kind < 45) {
        w.push_back(257 + uint32_t(rng() % 2));
        continue;
      }
      if (kind < 55) {
        w.insert(w.end(), {M | 2, uint32_t(pick(1, 256))});
        count += 2;
        continue;
      }
      if (kind < 88) len = pick(3, 300);
      else if (kind < 97) len = pick(301, 65536);
      else len = left >= 131072 ? 131072 : 65536;
      len = std::min<uint64_t>(len, uint64_t(left));
      if (len < 3) len = 3 > left ? 2 : 3;
      uint64_t dist;
      const unsigned dk = unsigned(rng() % 4);
      if (dk == 0) dist = pick(1, 9);                       // short, overlapping
      else if (dk == 1) dist = pick(1, uint64_t(size));     // anywhere in the ring
      else if (dk == 2) dist = pick(len, 4 * len);          // near, apart
      else dist = pick(uint64_t(1) << 31, uint64_t(1) << 40);  // three words
      if (len == 2) dist = pick(1, 256);
      w.push_back(M | (len == 131072 ? 0x10001u : uint32_t(len)));
      if (len > 2 && dist > 0x7FFFFFFF) w.insert(w.end(), {M | uint32_t(dist >> 32), uint32_t(dist)});
      else w.push_back(uint32_t(dist));
      count += int64_t(len);
    }
    w.push_back(262);
    const int64_t expect = reference(model, at, w);
    ASSERT_EQ(expect, target);
    ASSERT_EQ(run(w, at), target) << "chunk " << chunk;
    ASSERT_EQ(std::memcmp(ctr::bufChr, model.data(), size), 0) << "chunk " << chunk;
  }
}

}  // namespace
}  // namespace qn
