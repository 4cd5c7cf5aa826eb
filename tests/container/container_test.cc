// The instruction interpreter against a byte-by-byte model, its rejected words and damage
// checks, and the opening-text check.
#include "container/container.h"
#include "driver/driver.h"
#include "decoder/decoder.h"
#include "reconstruct/reconstruct.h"
#include "support.h"

namespace qn::test {
namespace {

constexpr int64_t kMiB = 0x100000;
constexpr uint32_t M = 0x80000000u;  // match bit

// The instruction words executed one byte at a time, straight from their definition, into
// a ring of size ring.size(); returns the bytes appended.
int64_t reference(Bytes& ring, int64_t chr, const std::vector<uint32_t>& w) {
  const uint64_t mask = ring.size() - 1;
  const int64_t start = chr;
  for (size_t i = 0; i < w.size() && w[i] != 262;) {
    const uint32_t x = w[i++];
    if (x < 256) ring[size_t(chr++)] = uint8_t(x);
    if (x < M) continue;
    const uint32_t n = x & 0x7FFFFFFF;
    const uint64_t len = n <= 0x10000 ? n : uint64_t{1} << (16 + n - 0x10000);
    uint64_t dist = w[i++];
    if (len > 2 && (dist >> 31)) dist = ((dist & 0x7FFFFFFF) << 32) | w[i++];
    for (uint64_t k = 0, src = (uint64_t(chr) - dist) & mask; k < len; ++k, src = (src + 1) & mask)
      ring[size_t(chr++)] = ring[src];
  }
  return chr - start;
}

class Interp : public Unit {
 protected:
  void SetUp() override {
    Unit::SetUp();
    fe::iMaxBuf = 8 << 20, fe::iMaxBuf_1 = fe::iMaxBuf - 1, fe::iBWT = 0;
    drv::initBuf(fe::iMaxBuf);
    drv::initStreamUnzip(nullptr);
    ctr::fLen = uint64_t{1} << 40, ctr::fPos = 0;
    std::fill(std::begin(codes_), std::end(codes_), 0);
    ctr::msgCode = codes_;
    codes_[3] = ctr::kStop;  // an end of stream finds its stop request already posted
  }
  void TearDown() override {
    ctr::msgCode = nullptr;
    Unit::TearDown();
  }
  // Puts the words into instruction buffer 0 and runs the interpreter from ring offset at.
  static int32_t run(const std::vector<uint32_t>& w, int64_t at = 0) {
    std::memcpy(rec::bufCmd[0], w.data(), w.size() * 4);
    rec::lenCmd[0] = uint32_t(w.size()), rec::nCmdR = 0, rec::iChr = at;
    return rec::unzip();
  }
  static std::string bytes(int64_t at, size_t n) { return std::string(reinterpret_cast<char*>(ctr::bufChr + at), n); }
  uint32_t codes_[7];
};

TEST_F(Interp, RejectedAndDamagedWordsStopTheRun) {
  const char* damaged = "Compressed data is damaged";
  const std::pair<std::vector<uint32_t>, const char*> cases[] = {
      {{65, 256, 262}, "\nControl code error\n"},   {{65, 259, 262}, "Control code error"},
      {{65, 260, 262}, "Control code error"},       {{65, 264, 262}, "Control code error"},
      {{65, 0x7FFFFFFF, 262}, "Control code error"}, {{65, M, 1, 262}, "\nUnused instruct code\n"},
      {{65, M | 1, 1, 262}, "Unused instruct code"}, {{65, M | 0x10030, 1, 262}, "Unused instruct code"},
      {{65, M | 0x10031, 1, 262}, "\nReserved instruct code\n"}, {{65, 0xFFFFFFFF, 1, 262}, "Reserved instruct code"},
      {{'a', M | 0x10004, 1, 262}, damaged},  // past the chunk's 1 MiB
      {{'a', M | 0x1002F, 1, 262}, damaged},  // 2^63 bytes
      {{'a', 'b'}, damaged},                  // words run out without an end word,
      {{'a', M | 3}, damaged},                // also inside a match
      {{'a', M | 3, M | 1}, damaged},
  };
  for (const auto& k : cases) EXPECT_HALT(run(k.first), k.second);
  // Output more than 1 MiB past the length the pass expects.
  ctr::fLen = 10, ctr::fPos = kMiB;
  EXPECT_HALT(run({'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 262}), damaged);
  EXPECT_EQ(run({'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 262}), 10);
}

// Random instruction lists over twelve chunks (the ring wraps one and a half times):
// literals, overlapping and apart matches, sources behind the ring's start, three-word
// distances, exponent lengths, chunks that fill exactly or end early.
TEST_F(Interp, AgreesWithByteByByteModel) {
  std::mt19937_64 rng(20261206);
  const int64_t size = fe::iMaxBuf;
  Bytes model = randomBytes(size_t(size), 3);
  std::memcpy(ctr::bufChr, model.data(), size_t(size));
  auto pick = [&](uint64_t lo, uint64_t hi) { return lo + rng() % (hi - lo + 1); };
  for (int chunk = 0; chunk < 12; ++chunk) {
    const int64_t at = (chunk % 8) * kMiB, target = chunk % 3 == 1 ? kMiB : int64_t(pick(1000, 400000));
    std::vector<uint32_t> w;
    for (int64_t count = 0; count < target;) {
      const uint64_t left = uint64_t(target - count), kind = rng() % 100;
      if (left == 1 || kind < 40) {
        w.push_back(uint32_t(rng() % 256)), count += 1;
      } else if (kind < 45) {
        w.push_back(257 + uint32_t(rng() % 2));
      } else if (kind < 55) {
        w.insert(w.end(), {M | 2, uint32_t(pick(1, 256))}), count += 2;
      } else {
        uint64_t len = kind < 88 ? pick(3, 300) : kind < 97 ? pick(301, 65536) : left >= 131072 ? 131072 : 65536;
        len = std::max<uint64_t>(std::min(len, left), 3);
        const uint64_t dk = rng() % 4;
        const uint64_t dist = dk == 0 ? pick(1, 24) : dk == 1 ? pick(1, uint64_t(size)) : dk == 2 ? pick(len, 4 * len)
                                                                                            : pick(1ull << 31, 1ull << 40);
        w.push_back(M | (len == 131072 ? 0x10001u : uint32_t(len)));
        if (dist > 0x7FFFFFFF) w.insert(w.end(), {M | uint32_t(dist >> 32), uint32_t(dist)});
        else w.push_back(uint32_t(dist));
        count += int64_t(len);
      }
    }
    w.push_back(262);
    ASSERT_EQ(reference(model, at, w), target);
    ASSERT_EQ(run(w, at), target) << "chunk " << chunk;
    ASSERT_EQ(std::memcmp(ctr::bufChr, model.data(), size_t(size)), 0) << "chunk " << chunk;
  }
}

}  // namespace
}  // namespace qn::test
