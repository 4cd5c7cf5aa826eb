// Archive writer: volume split counting, chunk sums, header and file sizes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "quarnzip/archive.h"
#include "core/checksum.h"

namespace qn::zip {
namespace {

// The reader counts 2 MiB per chunk, index chunks included, and switches only before a data
// chunk once the count has reached the volume size; every later file then holds volume/2.
TEST(Volumes, ChunkFilesFollowTheReadersCount) {
  // One index chunk (count 2), volume 4: first file one data chunk, then 2 per file.
  EXPECT_EQ(dataChunkFiles(1, 4, 4), (std::vector<uint32_t>{0, 1, 1, 2}));
  EXPECT_EQ(dataChunkFiles(3, 10, 8), (std::vector<uint32_t>{0, 1, 1, 1, 1, 2, 2, 2, 2, 3}));
  // An index of five chunks already counts 10 >= 8: the first data chunk opens file 1.
  EXPECT_EQ(dataChunkFiles(5, 5, 8), (std::vector<uint32_t>{1, 1, 1, 1, 2}));
  // Volume 0: everything in the archive file.
  EXPECT_EQ(dataChunkFiles(2, 3, 0), (std::vector<uint32_t>{0, 0, 0}));
  EXPECT_EQ(chunkCount(0), 0u);
  EXPECT_EQ(chunkCount(8), 1u);
  EXPECT_EQ(chunkCount(2097144), 1u);
  EXPECT_EQ(chunkCount(2097152), 2u);
}

std::string slurp(const std::string& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

uint64_t le64(const std::string& s, size_t at) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(s[at + i]);
  return v;
}

TEST(Volumes, WritesHeaderChunksAndVolumeFiles) {
  char dir[] = "/tmp/qnzip_archXXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string a = std::string(dir) + "/x.qn";
  std::vector<uint8_t> index(40, 7), data(3 * 2097144 + 16);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31);
  ArchiveWriter w(a, 4);
  w.begin(1234, true, index);
  for (size_t at = 0; at < data.size(); at += 777777)  // the data arrives in odd pieces
    w.data(data.data() + at, std::min<size_t>(777777, data.size() - at));
  uint64_t total = w.finish();

  std::string f0 = slurp(a), f1 = slurp(a + ".1"), f2 = slurp(a + ".2");
  // File 0: header, index chunk (40 + 8), end field, one data chunk (count 2 + 2 = 4).
  ASSERT_EQ(f0.size(), 16u + 48 + 8 + 2097152);
  EXPECT_EQ(static_cast<uint8_t>(f0[0]), 0xA5);
  EXPECT_EQ(f0[1], 4);
  EXPECT_EQ(f0[2], 1);  // password flag
  EXPECT_EQ(le64(f0, 4) & 0xFFFFFFFF, 1234u);
  EXPECT_EQ(le64(f0, 8), 64u);  // data section offset
  EXPECT_EQ(le64(f0, 16 + 40), 5 * 0x0707070707070707ull);  // the sum of five words of 07s
  // The end field is the true end: offset + 8 + all data chunks with their sums.
  EXPECT_EQ(le64(f0, 64), 64u + 8 + data.size() + 4 * 8);
  EXPECT_EQ(f1.size(), 2u * 2097152);  // volume 4: two chunks per later file
  EXPECT_EQ(f2.size(), 24u);           // the last chunk: 16 bytes and its sum
  EXPECT_EQ(le64(f2, 16), core::chunkSum(data.data() + 3 * 2097144, 16));
  EXPECT_EQ(f1.substr(0, 64), std::string(data.begin() + 2097144, data.begin() + 2097144 + 64));
  EXPECT_EQ(total, f0.size() + f1.size() + f2.size());
  struct stat st;
  EXPECT_NE(stat((a + ".3").c_str(), &st), 0);
  for (const char* s : {"", ".1", ".2"}) std::remove((a + s).c_str());
  rmdir(dir);
}

}  // namespace
}  // namespace qn::zip
