// Tests of the archive container: header checks, chunk sums, the chunk reader and volume files.
#include <cstring>

#include "support.h"

namespace qn {
namespace {

void putLe(std::vector<uint8_t>& v, uint64_t x, int bytes) {
  for (int b = 0; b < bytes; ++b) v.push_back(uint8_t(x >> (8 * b)));
}

// A chunk: the payload words, then their sum as written by hand in each test.
std::vector<uint8_t> chunk(const std::vector<uint64_t>& words, uint64_t check) {
  std::vector<uint8_t> v;
  for (uint64_t w : words) putLe(v, w, 8);
  putLe(v, check, 8);
  return v;
}

std::vector<uint8_t> header(uint8_t magic, uint8_t version, uint8_t flags, uint32_t indexLen, uint64_t dataPos) {
  std::vector<uint8_t> v = {magic, version, flags, 0};
  putLe(v, indexLen, 4);
  putLe(v, dataPos, 8);
  return v;
}

class Archive : public ::testing::Test {
 protected:
  void SetUp() override {
    test::enterScratch();
    test::makeRing();
    std::strcpy(fe::sFileZip, "a.qn");
    fe::iVolume = 0;
    ctr::iVolNum = 0;
    ctr::iVolCnt = 0;
  }
  void TearDown() override {
    if (ctr::fpIn != nullptr) std::fclose(ctr::fpIn);
    ctr::fpIn = nullptr;
  }
  // Writes a.qn from the pieces and opens it for reading at the start.
  void openWith(const std::vector<std::vector<uint8_t>>& pieces, const char* name = "a.qn") {
    std::vector<uint8_t> all;
    for (const auto& p : pieces) all.insert(all.end(), p.begin(), p.end());
    test::writeFile(name, all);
    ctr::fpIn = std::fopen(name, "rb");
    ASSERT_NE(ctr::fpIn, nullptr);
  }
  uint8_t* buf() { return ctr::bufZip[0]; }
};

TEST(ChunkSum, WordsAddModulo64Bits) {
  std::vector<uint8_t> v;
  putLe(v, 0xFFFFFFFFFFFFFFFFull, 8);
  putLe(v, 2, 8);
  EXPECT_EQ(core::chunkSum(v.data(), 16), 1u);  // wrapped
  v = {1, 2, 3, 4, 5, 6, 7, 8, 0x10, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(core::chunkSum(v.data(), 16), 0x0807060504030211ull);  // little-endian words
  EXPECT_EQ(core::chunkSum(v.data(), 0), 0u);
}

TEST_F(Archive, ChunksAreReadAndChecked) {
  // One full chunk of 0x200000 bytes: 0x3FFFF words of i + 1, then their sum, then a
  // chunk of 8 bytes: an empty payload with the check 0.
  const uint64_t words = (ctr::kChunk - 8) / 8;
  std::vector<uint64_t> w(words);
  for (uint64_t i = 0; i < words; ++i) w[i] = i + 1;
  openWith({chunk(w, words * (words + 1) / 2), chunk({}, 0)});
  ctr::zipFileRead(buf(), ctr::kChunk - 8);
  EXPECT_EQ(ctr::iVolCnt, 2u);
  uint64_t last;
  std::memcpy(&last, buf() + ctr::kChunk - 16, 8);
  EXPECT_EQ(last, words);
  ctr::zipFileRead(buf(), 0);
  EXPECT_EQ(ctr::iVolCnt, 4u);

  // A wrapped sum is stored wrapped.
  TearDown();
  openWith({chunk({0x8000000000000000ull, 0x8000000000000001ull, 7}, 8)});
  ctr::zipFileRead(buf(), 24);
  EXPECT_EQ(ctr::iVolCnt, 6u);
}

TEST_F(Archive, BadChunksStopTheRun) {
  fe::iLanguage = 0;  // both texts: the Chinese one carries the two values
  // One flipped bit in the payload: stored 6, computed 0x1000000000000006.
  openWith({chunk({1, 2 | (1ull << 60), 3}, 6)});
  EXPECT_HALT(ctr::zipFileRead(buf(), 24),
              "Checksum error, zip file a\\.qn may be incorrect \\(.*\\(6,1000000000000006\\).*a\\.qn");
  TearDown();
  // A flipped bit in the check.
  openWith({chunk({1, 2, 3}, 6 ^ 0x100)});
  EXPECT_HALT(ctr::zipFileRead(buf(), 24), "\\(106,6\\)");
  TearDown();
  // Nothing left to read, or a cut that is not a multiple of 8.
  openWith({});
  EXPECT_HALT(ctr::zipFileRead(buf(), 24), "\nError reading zip file a\\.qn \\(");
  TearDown();
  std::vector<uint8_t> cut = chunk({1, 2, 3}, 6);
  cut.resize(29);
  openWith({cut});
  EXPECT_HALT(ctr::zipFileRead(buf(), 24), "Error reading zip file a\\.qn");
  TearDown();
  // A cut on a multiple of 8 is checked as a shorter chunk: its last 8 bytes are the check.
  openWith({chunk({5}, 5)});
  ctr::zipFileRead(buf(), 100);
  EXPECT_EQ(ctr::iVolCnt, 2u);
}

TEST_F(Archive, VolumeFilesFollowTheCount) {
  fe::iVolume = 4;  // two chunks per file
  test::writeFile("a.qn.1", [] {
    auto v = chunk({30}, 30);
    auto w = chunk({40}, 40);
    v.insert(v.end(), w.begin(), w.end());
    return v;
  }());
  test::writeFile("a.qn.2", chunk({50, 1}, 50));  // the check is wrong in this one
  openWith({chunk({10}, 10), chunk({20}, 20)});
  uint64_t seen[4];
  for (uint64_t& s : seen) {
    ctr::zipFileRead(buf(), 8);
    std::memcpy(&s, buf(), 8);
  }
  EXPECT_EQ(seen[0], 10u);
  EXPECT_EQ(seen[1], 20u);
  EXPECT_EQ(seen[2], 30u);  // the third chunk would make the count exceed 4 MiB: file .1
  EXPECT_EQ(seen[3], 40u);
  EXPECT_EQ(ctr::iVolNum, 1);
  EXPECT_EQ(ctr::iVolCnt, 4u);
  EXPECT_HALT(ctr::zipFileRead(buf(), 16), "\nChecksum error, zip file a\\.qn\\.2 may be incorrect\n");
  std::remove("a.qn.2");
  EXPECT_HALT(ctr::zipFileRead(buf(), 16), "\nFail opening zip file a\\.qn\\.2\n");
  test::writeFile("a.qn.2", {1, 2, 3});
  EXPECT_HALT(ctr::zipFileRead(buf(), 16), "\nError reading zip file a\\.qn\\.2\n");
  fe::iLanguage = 0;
  test::writeFile("a.qn.2", chunk({50, 1}, 50));
  EXPECT_HALT(ctr::zipFileRead(buf(), 16), "\\(32,33\\).*a\\.qn\\.2");
}

TEST_F(Archive, HeaderChecks) {
  // A good header: flags, lengths and positions; the file stays at offset 16.
  auto good = header(0xA5, 4, 1, 200, 40);
  openWith({good, std::vector<uint8_t>(40, 0)});
  std::fclose(ctr::fpIn);
  ctr::fpIn = nullptr;
  EXPECT_EQ(ctr::checkHeader(), 1);
  EXPECT_EQ(ctr::fLenXml, 200u);
  EXPECT_EQ(ctr::fLen, 200u);
  EXPECT_DOUBLE_EQ(ctr::d, 0.5);
  EXPECT_EQ(ctr::fDataPos, 40u);
  EXPECT_EQ(ctr::fZipSize, 56u);
  EXPECT_EQ(ftello(ctr::fpIn), 16);
  EXPECT_EQ(fe::iError, 0);
  TearDown();

  std::strcpy(fe::sFileZip, "missing.qn");
  EXPECT_HALT(ctr::checkHeader(), "\nFail opening zip file missing\\.qn\n");
  std::strcpy(fe::sFileZip, "a.qn");
  test::writeFile("a.qn", std::vector<uint8_t>(good.begin(), good.begin() + 15));
  EXPECT_HALT(ctr::checkHeader(), "\nFail reading zip file a\\.qn\n");
  test::writeFile("a.qn", header(0xA4, 4, 0, 10, 16));
  EXPECT_HALT(ctr::checkHeader(), "\nInvalid format of zip file a\\.qn\n");
  // Our stream-position rule: an offset below 16 or beyond the file.
  test::writeFile("a.qn", header(0xA5, 4, 0, 10, 8));
  EXPECT_HALT(ctr::checkHeader(), "\nInvalid stream positions in zip file a\\.qn\n");
  test::writeFile("a.qn", header(0xA5, 4, 0, 10, 17));
  EXPECT_HALT(ctr::checkHeader(), "Invalid stream positions");

  // Another version is a warning: the check goes on and the error flag is set.
  test::writeFile("a.qn", header(0xA5, 5, 0, 10, 16));
  testing::internal::CaptureStdout();
  EXPECT_EQ(ctr::checkHeader(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "\nWarning: Zip file version v5 doesn't match the decompressor v4, please upgrade the software\n");
  EXPECT_EQ(fe::iError, 1);
}

TEST_F(Archive, DataStreamEndField) {
  // End field 0: the archive's size.
  auto h = header(0xA5, 4, 0, 10, 24);
  openWith({h, std::vector<uint8_t>(8, 0), std::vector<uint8_t>(16, 0)});
  ctr::fDataPos = 24;
  ctr::fZipSize = 48;
  EXPECT_EQ(ctr::readDataEnd(), 48u);
  TearDown();
  std::vector<uint8_t> end;
  putLe(end, 4096, 8);  // beyond the first file: volumes hold the rest
  openWith({h, end});
  ctr::fDataPos = 16;
  EXPECT_EQ(ctr::readDataEnd(), 4096u);
  end.clear();
  putLe(end, 23, 8);  // below the offset + 8
  TearDown();
  openWith({h, end});
  EXPECT_HALT(ctr::readDataEnd(), "\nInvalid stream positions in zip file a\\.qn\n");
  ctr::fDataPos = 20;  // fewer than 8 bytes left
  EXPECT_HALT(ctr::readDataEnd(), "\nFail reading datastream position\n");
}

}  // namespace
}  // namespace qn
