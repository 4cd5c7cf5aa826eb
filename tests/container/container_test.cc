// The instruction interpreter against hand-worked words and a byte-by-byte model, its
// rejected words and damage checks, and the archive header's fields.
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

TEST_F(Interp, HandWorkedWords) {
  std::memcpy(ctr::bufChr + (8 << 20) - 2, "xy", 2);
  std::memcpy(ctr::bufChr, "abc", 3);
  std::memcpy(ctr::bufChr + kMiB, "hello", 5);
  std::memcpy(ctr::bufChr + 2 * kMiB, "0123456789", 10);
  const struct {
    std::vector<uint32_t> words;
    int64_t at;
    int32_t ret;
    int64_t from;  // the ring from here holds want afterwards
    std::string want;
  } cases[] = {
      {{M | 4, 5, 262}, 3, 4, 0, "abcxyab"},                      // D = 5 wraps from the ring's end
      {{65, 66, M | 3, 2, 262}, 0, 5, 0, "ABABA"},                // a copy reads what it has just written
      {{'x', 'y', 'z', M | 2, 3, M | 2, 1, 262}, 100, 7, 100, "xyzxyyy"},  // length 2; distance 1
      {{257, 'q', 258, 262}, 200, 1, 200, "q"},                   // block markers produce nothing
      {{262}, 300, 0, 300, ""},
      {{M | 3, M | 1, 5, 262}, kMiB + 5, 3, kMiB, "hellohel"},    // (1 << 32) + 5 is 5 in the ring
      {{M | 3, M, M, 262}, 2 * kMiB + 4, 3, 2 * kMiB, "0123456789"},     // 0x80000000: onto itself
      {{M | 3, 0x7FFFFFFF, 262}, 2 * kMiB + 2, 3, 2 * kMiB, "0134556789"},  // 8 MiB - 1: one ahead
  };
  for (const auto& k : cases) {
    EXPECT_EQ(run(k.words, k.at), k.ret) << k.want;
    EXPECT_EQ(bytes(k.from, k.want.size()), k.want);
    EXPECT_EQ(rec::iChr, k.at + k.ret);
  }
  // 0x80010000 is 65536 bytes, 0x80010001 131072; exactly 1 MiB returns before the next
  // word, which would be rejected; 2^20 in one word fills a chunk too.
  EXPECT_EQ(run({'a', M | 0x10000, 1, M | 0x10001, 65537, 262}, 0), 1 + 65536 + 131072);
  EXPECT_EQ(bytes(0, 1 + 65536 + 131072), std::string(1 + 65536 + 131072, 'a'));
  std::vector<uint32_t> w = {'z', M | 0xFFFF, 1};
  for (int k = 1; k < 16; ++k) w.insert(w.end(), {M | 0x10000, 0x10000});
  w.push_back(256);
  EXPECT_EQ(run(w, 3 * kMiB), kMiB);
  EXPECT_EQ(run({M | 0x10004, 1, 256}, 5 * kMiB), kMiB);
}

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

TEST_F(Interp, OpeningTextCheck) {
  auto words = [](const std::string& s) { return std::vector<uint32_t>(s.begin(), s.end()); };
  std::vector<uint32_t> w = words("<?xml version=\"1.0\"?>");
  w.push_back(262);
  drv::initStreamUnzip("<?xml version=");
  EXPECT_EQ(run(w), 21);
  EXPECT_EQ(ctr::bufCheckStr[0], 0);  // passed and cleared
  w[13] = '-';                        // the fourteenth byte differs
  EXPECT_HALT((drv::initStreamUnzip("<?xml version="), run(w)), "\nInvalid password or zip packet\n");
  // A match may carry the count past the text's length in one instruction.
  drv::initStreamUnzip("abcabcabc");
  EXPECT_EQ(run({'a', 'b', 'c', M | 20, 3, 262}), 23);
  EXPECT_EQ(ctr::bufCheckStr[0], 0);
  EXPECT_HALT((drv::initStreamUnzip("abcabcabd"), run({'a', 'b', 'c', M | 20, 3, 262})), "Invalid password");
  drv::initStreamUnzip(std::string(80, 'q').c_str());  // cut to 63 characters
  EXPECT_EQ(std::strlen(ctr::bufCheckStr), 63u);
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
        const uint64_t dist = dk == 0 ? pick(1, 9) : dk == 1 ? pick(1, uint64_t(size)) : dk == 2 ? pick(len, 4 * len)
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

// ---- The archive header's fields (its refusals are rows of the damage table) ----

Bytes header(uint8_t magic, uint8_t version, uint8_t flags, uint64_t indexLen, uint64_t dataPos, size_t pad = 0) {
  Bytes v = {magic, version, flags, 0};
  for (int b = 0; b < 4; ++b) v.push_back(uint8_t(indexLen >> (8 * b)));
  for (int b = 0; b < 8; ++b) v.push_back(uint8_t(dataPos >> (8 * b)));
  v.resize(v.size() + pad);
  return v;
}

using Archive = Unit;

TEST_F(Archive, HeaderChecks) {
  std::strcpy(fe::sFileZip, "a.qn");
  writeFile("a.qn", header(0xA5, 4, 1, 200, 40, 40));
  const int flags = ctr::checkHeader();  // flags, index length (also the pass's), data position, size, read position
  EXPECT_EQ((std::vector<int64_t>{flags, int64_t(ctr::fLenXml), int64_t(ctr::fLen), int64_t(ctr::fDataPos),
                                  int64_t(ctr::fZipSize), ftello(ctr::fpIn), fe::iError}),
            (std::vector<int64_t>{1, 200, 200, 40, 56, 16, 0}));
  EXPECT_DOUBLE_EQ(ctr::d, 0.5);
  std::fclose(ctr::fpIn);
  ctr::fpIn = nullptr;
}

}  // namespace
}  // namespace qn::test
