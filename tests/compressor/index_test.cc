// Index document: walk order and skips, written text, hand-written index read like the decompressor.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "quarnzip/index_xml.h"
#include "quarnzip/tree.h"
#include "core/format.h"
#include "quarnzip/report.h"

namespace qn::zip {
namespace {

class TempTree : public ::testing::Test {
 protected:
  void SetUp() override {
    char d[] = "/tmp/qnzip_treeXXXXXX";
    ASSERT_NE(mkdtemp(d), nullptr);
    root_ = d;
    ASSERT_EQ(chdir(root_.c_str()), 0);  // messages log into the working directory
    zip::reportState().language = 2;
    zip::reportState().error = 0;
  }
  void TearDown() override { std::system(("rm -rf '" + root_ + "'").c_str()); }
  void file(const std::string& rel, const std::string& body, time_t mtime = 1700000000) {
    std::string p = root_ + "/" + rel;
    FILE* f = std::fopen(p.c_str(), "wb");
    ASSERT_NE(f, nullptr) << p;
    std::fwrite(body.data(), 1, body.size(), f);
    std::fclose(f);
    struct timeval tv[2] = {{mtime, 0}, {mtime, 0}};
    utimes(p.c_str(), tv);
  }
  void dir(const std::string& rel) { ASSERT_EQ(mkdir((root_ + "/" + rel).c_str(), 0755), 0); }
  std::string root_;
};

TEST_F(TempTree, WalkOrderAndSkips) {
  dir("t");
  dir("t/b");
  dir("t/a");
  dir("t/a/empty");
  file("t/z.txt", "zz");
  file("t/a/x", "x");
  file("t/b/y y", "yy");
  file("t/a/\xc3\xbc.txt", "u");
  file("t/bad<name", "1");
  file("t/bad\nline", "2");
  file("t/" + std::string(200, 'n'), "3");  // full name over 192 bytes
  symlink("z.txt", (root_ + "/t/link").c_str());
  mkfifo((root_ + "/t/fifo").c_str(), 0644);

  SourceTree t = walkPaths({root_ + "/t"});
  EXPECT_EQ(t.skipped, 5);
  EXPECT_EQ(zip::reportState().error, 1);  // every skip is reported
  EXPECT_EQ(t.dirs, (std::vector<std::string>{"", "t", "t/a", "t/a/empty", "t/b"}));
  std::vector<std::string> files;
  for (const SourceFile& f : t.files) files.push_back(f.dir + "|" + f.name);
  // Files of a directory first, in byte order, then its subdirectories.
  EXPECT_EQ(files, (std::vector<std::string>{"t|z.txt", "t/a|x", "t/a|\xc3\xbc.txt", "t/b|y y"}));
  EXPECT_EQ(t.files[0].size, 2u);
  EXPECT_EQ(t.files[0].mtime, 1700000000);
  // "." packs the contents at the root.
  ASSERT_EQ(chdir((root_ + "/t/a").c_str()), 0);
  SourceTree dot = walkPaths({"."});
  EXPECT_EQ(dot.dirs, (std::vector<std::string>{"", "empty"}));
  ASSERT_EQ(dot.files.size(), 2u);
  EXPECT_EQ(dot.files[0].dir, "");
  ASSERT_EQ(chdir(root_.c_str()), 0);
}

TEST_F(TempTree, WrittenIndexText) {
  dir("d");
  file("d/f", "abc", 0x6553f100);
  file("top", "", 0x10);
  SourceTree t = walkPaths({root_ + "/d", root_ + "/top"});
  uint32_t par[11] = {32, 0, 4, 64, 2, 63, 5, 4, 20, 6, 8};
  std::string x = writeIndex(t, par, 0x6955b900);
  EXPECT_EQ(x,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<index>\n"
            "  <zip>\n    <version>v4</version>\n    <files>2</files>\n    <size>3</size>\n"
            "    <time>6955b900</time>\n  </zip>\n"
            "  <parameter>\n    <block>32</block>\n    <bwt>0</bwt>\n    <cache>4</cache>\n"
            "    <cluster>64</cluster>\n    <esc>63</esc>\n    <flush>5</flush>\n"
            "    <sight>20</sight>\n    <volume>8</volume>\n  </parameter>\n"
            "  <column>2</column>\n"
            "  <directory>\n    <path></path>\n    <path>d</path>\n  </directory>\n"
            "  <file>\n    <name>f</name>\n    <size>3</size>\n    <time>6553f100</time>\n"
            "    <path>d</path>\n  </file>\n"
            "  <file>\n    <name>top</name>\n    <size>0</size>\n    <time>10</time>\n"
            "    <path></path>\n  </file>\n"
            "</index>\n");
  IndexPlan p = planFromTree(t, par);
  ASSERT_EQ(p.items.size(), 3u);
  EXPECT_TRUE(p.items[0].column);
  EXPECT_EQ(p.items[0].count, 2u);
  EXPECT_EQ(p.totalSize(), 3u);
}

TEST(IndexPlanReader, ReadsLikeTheDecompressor) {
  std::string x =
      "<?xml version=\"1.0\"?>\n<index>\n<zip>\n<files>9</files>\n<size>1</size>\n</zip>\n"
      "<parameter>\n<cluster>16</cluster>\n<bwt>1</bwt>\n<block>2</block>\n<pipes>9</pipes>\n"
      "</parameter>\n"
      "<!-- a comment <file> -->\n"
      "   <file>\n<name>a</name>\n<size>00012</size>\n<path>p</path>\n</file>\n"
      "<column>3</column>\n"
      "\t<file>\n"                                    // a tab: not a line the reader takes
      "<files>\n<size>5 </size>\n<name>b</name>\n<path></path>\n</files>\n"  // "files" is a record,
      "<file>\n<size>7</size><name>x</name>\n</file>\n"  // but "</files>" does not close it
      "</index>\n<file>\n<size>99</size>\n</file>\n";  // after the end: not read
  IndexPlan p = planFromIndex(x, "/src");
  EXPECT_EQ(p.param[core::kCluster], 16u);
  EXPECT_EQ(p.param[core::kBwt], 1u);
  EXPECT_EQ(p.param[core::kBlock], 2u);
  EXPECT_EQ(p.param[core::kPipes], 4u);  // not a parameter-block child: the default stays
  EXPECT_EQ(p.param[core::kColumn], 3u);
  ASSERT_EQ(p.items.size(), 3u);
  EXPECT_EQ(p.items[0].size, 12u);
  EXPECT_EQ(p.items[0].src, "/src/p/a");
  EXPECT_TRUE(p.items[1].column);
  EXPECT_EQ(p.items[1].count, 3u);
  EXPECT_EQ(p.items[2].size, 7u);  // the later size line of the same record wins
  EXPECT_EQ(p.items[2].src, "/src/b");
  EXPECT_EQ(p.totalSize(), 19u);
}

}  // namespace
}  // namespace qn::zip
