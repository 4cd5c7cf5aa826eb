// Tests of the index parser: document rules, parameters, batches, directories, names, safety.
#include <utime.h>

#include <algorithm>

#include "index/index_fixture.h"

namespace qn::test {
namespace {

std::string invalid(const std::string& text, int line) {
  return "Invalid data '" + text + "' near line " + std::to_string(line) +
         " of XML index file idx.xml";
}

std::string failCreate(const std::string& name) { return "Fail creating file " + name; }

std::string unsafe(const std::string& name) {
  return "Unsafe path " + name + " skipped: it leads outside the destination";
}

// The file the writer has finished: closed and stamped, its slot freed.
void completeAll() {
  for (int i = 0; i < idx::iCol; ++i) idx::closeRecord(idx::arrFile[i]);
  idx::iCol = 0;
}

std::vector<std::string> openNames() {
  std::vector<std::string> v;
  for (int i = 0; i < idx::iCol; ++i) v.push_back(idx::arrFile[i].sName);
  return v;
}

std::vector<std::string> listing(const std::string& dir) {
  std::vector<std::string> v;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
    v.push_back(e.path().lexically_relative(dir).string());
  std::sort(v.begin(), v.end());
  return v;
}

TEST_F(IndexTest, ArchiveBlockAndParameters) {
  fe::param[fe::kPipes] = 4;
  fe::param[fe::kTails] = 6;
  openIndex(
      "<?xml version=\"1.0\"?>\n<index>\n<zip>\n<version>v4</version>\n<comment>hi</comment>\n"
      "<files>3</files>\n<size>200</size>\n<time>6955b900</time>\n</zip>\n<parameter>\n"
      "<block>7</block>\n<bwt>1</bwt>\n<cache>16</cache>\n<pipes>9</pipes>\n"
      "<cluster>128</cluster>\n<esc>20</esc>\n<flush>3</flush>\n<sight>30</sight>\n"
      "<volume>8</volume>\n</parameter>\n<column>5</column>\n<directory>\n<path></path>\n"
      "</directory>\n<file>\n<name>f</name>\n<size>200</size>\n<time>0</time>\n<path></path>\n"
      "</file>\n</index>\n");
  EXPECT_EQ(idx::getWriteFile(), 1);
  EXPECT_EQ(idx::iFiles, 3);
  EXPECT_EQ(ctr::fLen, 200u);
  EXPECT_DOUBLE_EQ(ctr::d, 0.5);
  const uint32_t want[11] = {7, 1, 16, 128, 5, 20, 3, 4, 30, 6, 8};
  for (int i = 0; i < 11; ++i) EXPECT_EQ(fe::param[i], want[i]) << "entry " << i;
  EXPECT_EQ(fe::iColumn, 5);
  EXPECT_EQ(idx::iCol, 1);
  // Unknown children are reported and their block stays open.
  EXPECT_EQ(reports(), (std::vector<std::string>{invalid("<comment>hi</comment>", 5),
                                                 invalid("<pipes>9</pipes>", 14)}));
}

TEST_F(IndexTest, VersionWarning) {
  const std::pair<std::string, bool> cases[] = {
      {"v4", false}, {"v4.0", false}, {"v4.0.1", false}, {"4", true}, {"v5", true}, {"", true}};
  for (const auto& [version, warns] : cases) {
    std::filesystem::remove("qn_error.log");
    openIndex("<zip>\n<version>" + version + "</version>\n</zip>\n</index>\n");
    EXPECT_EQ(idx::getWriteFile(), 0);
    EXPECT_EQ(std::string(idx::zipVer), version.substr(0, 4));
    std::vector<std::string> want;
    if (warns)
      want.push_back("Warning: zip version " + version.substr(0, 4) +
                     " may be incompatible with v4, please upgrade the software");
    EXPECT_EQ(reports(), want) << version;
  }
}

TEST_F(IndexTest, DocumentStructureRules) {
  std::filesystem::create_directory("out");
  openIndex(
      "<?xml version=\"1.0\"?>\n<index>\n<!-- a comment\nover two lines -->\n<foo/>\n"
      "<files>2</files>\n<name>a.txt</name>\n<size>0</size>\n<time>10</time>\n<path></path>\n"
      "</file>\n<file>\n<!-- inside -->\n<name>b.txt</name>\n<time>1f</time>\n</file>\n"
      "</index>\n<file>\n<name>late</name>\n</file>\n");
  EXPECT_EQ(idx::getWriteFile(), 0);   // the root closes with no file in use
  EXPECT_EQ(fe::iTagGet, 2);
  EXPECT_EQ(mtimeOf("out/a.txt"), 16);   // a top-level "files" line started a record
  EXPECT_EQ(atimeOf("out/a.txt"), 16);
  EXPECT_EQ(mtimeOf("out/b.txt"), 31);   // no size: empty
  EXPECT_FALSE(exists("out/late"));      // nothing after the root's closing line is read
  EXPECT_EQ(reports(), (std::vector<std::string>{invalid("over two lines -->", 4),
                                                 invalid("<foo/>", 5),
                                                 invalid("<!-- inside -->", 13)}));
}

TEST_F(IndexTest, IndexEndingInsideBlockOrRecordFails) {
  std::filesystem::create_directory("out");
  const std::string cases[] = {"<index>\n<zip>\n<files>1</files>\n",
                               "<index>\n<parameter>\n<block>2</block>\n",
                               "<index>\n<directory>\n<path>d</path>\n",
                               "<index>\n<file>\n<name>cut</name>\n<size>5</size>\n",
                               "<index>\n<file>\n<name>a</name>\n<size>5</size>\n</file>\n"};
  fe::iColumn = 4;   // the last document ends before its batch is full
  for (const std::string& doc : cases) {
    idx::iCol = 0;
    openIndex(doc);
    EXPECT_EQ(idx::getWriteFile(), 0) << doc;
  }
  EXPECT_FALSE(exists("out/cut"));
  EXPECT_TRUE(exists("out/d"));                       // created before the end came
  EXPECT_EQ(openNames(), std::vector<std::string>{"out//a"});   // left open, result 0 all the same
}

TEST_F(IndexTest, SizeBeyondSignedRangeNeverCompletes) {
  openIndex(indexXml({{"huge", 18446744073709551615u, 1, ""}}, 1));
  EXPECT_EQ(idx::getWriteFile(), 1);
  EXPECT_EQ(idx::arrFile[0].lenLeft, INT64_MAX);
  const uint8_t bytes[3] = {7, 8, 9};
  idx::writeBlk(bytes, 3);
  EXPECT_EQ(idx::iCol, 1);
  EXPECT_EQ(idx::arrFile[0].lenLeft, INT64_MAX - 3);
  EXPECT_EQ(fe::iTotalSize, 3u);
}

TEST_F(IndexTest, IndexWithoutNonEmptyFile) {
  openIndex(indexXml({{"e1", 0, 0x100, ""}, {"e2", 0, 0x200, ""}}, 1));
  EXPECT_EQ(idx::getWriteFile(), 0);
  EXPECT_EQ(fe::iTagGet, 2);
  EXPECT_EQ(readFile("out/e1"), "");
  EXPECT_EQ(mtimeOf("out/e1"), 0x100);
  EXPECT_EQ(mtimeOf("out/e2"), 0x200);
}

TEST_F(IndexTest, BatchesFollowTheColumnCount) {
  // Column 1: one file per call, in index order.
  openIndex(indexXml({{"a", 3, 1, ""}, {"b", 4, 2, ""}, {"c", 5, 3, ""}}, 1));
  const char* names[] = {"out//a", "out//b", "out//c"};
  const char* later[] = {"out/b", "out/c", nullptr};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(idx::getWriteFile(), 1);
    EXPECT_EQ(openNames(), std::vector<std::string>{names[i]});
    if (later[i]) {
      EXPECT_FALSE(exists(later[i]));   // not created before its batch
    }
    completeAll();
  }
  EXPECT_EQ(idx::getWriteFile(), 0);
  EXPECT_EQ(fe::iTagGet, 3);

  // Column 2: empty files between non-empty ones are created while the batch is opened.
  fe::iTagGet = 0;
  openIndex(indexXml({{"A", 5, 1, ""}, {"E1", 0, 0x11, ""}, {"E2", 0, 0x12, ""},
                      {"E3", 0, 0x13, ""}, {"B", 7, 2, ""}, {"C", 3, 3, ""}},
                     2));
  EXPECT_EQ(idx::getWriteFile(), 1);
  EXPECT_EQ(openNames(), (std::vector<std::string>{"out//A", "out//B"}));
  EXPECT_EQ(idx::arrFile[0].lenLeft, 5);
  EXPECT_EQ(idx::arrFile[1].lenLeft, 7);
  EXPECT_EQ(mtimeOf("out/E1"), 0x11);
  EXPECT_EQ(mtimeOf("out/E3"), 0x13);
  EXPECT_FALSE(exists("out/C"));
  EXPECT_EQ(fe::iTagGet, 5);
  completeAll();
}

TEST_F(IndexTest, ColumnLineEndsTheBatchEarly) {
  std::string doc = indexXml({{"A", 5, 1, ""}, {"B", 6, 2, ""}, {"C", 7, 3, ""}, {"D", 8, 4, ""}}, 4);
  const size_t second = doc.find("<file>", doc.find("<file>") + 1);
  doc.insert(second, "<column>3</column>\n");
  openIndex(doc);
  EXPECT_EQ(idx::getWriteFile(), 1);
  EXPECT_EQ(openNames(), std::vector<std::string>{"out//A"});
  EXPECT_EQ(fe::iColumn, 3);
  EXPECT_EQ(fe::param[fe::kColumn], 3u);
  completeAll();
  EXPECT_EQ(idx::getWriteFile(), 1);
  EXPECT_EQ(openNames(), (std::vector<std::string>{"out//B", "out//C", "out//D"}));
  completeAll();
}

TEST_F(IndexTest, ColumnAbove128NeverOverfillsTheTable) {
  std::vector<Rec> recs;
  for (int i = 0; i < 140; ++i) recs.push_back({"f" + std::to_string(i), 1, 0, ""});
  openIndex(indexXml(recs, 129));
  EXPECT_EQ(idx::getWriteFile(), 1);
  EXPECT_EQ(idx::iCol, 128);
  EXPECT_EQ(fe::param[fe::kColumn], 129u);   // left for the parameter check to report
  EXPECT_FALSE(exists("out/f128"));
  completeAll();
}

TEST_F(IndexTest, DestinationLevels) {
  // Relative: the first component is taken to exist; deeper levels are created.
  std::filesystem::create_directory("x");
  std::strcpy(fe::sBaseDir, "x/a/b/");
  openIndex("<directory>\n</directory>\n</index>\n");
  EXPECT_EQ(idx::getWriteFile(), 0);
  EXPECT_TRUE(std::filesystem::is_directory("x/a/b"));
  // A missing first component is not created, nor anything below it.
  std::strcpy(fe::sBaseDir, "y/a/");
  openIndex("<directory>\n<path>sub</path>\n</directory>\n</index>\n");
  EXPECT_EQ(idx::getWriteFile(), 0);
  EXPECT_FALSE(exists("y"));
  // Absolute: every level.
  const std::string abs = dir_ + "/abs/p/q/";
  std::strcpy(fe::sBaseDir, abs.c_str());
  openIndex("<directory>\n<path>r</path>\n</directory>\n</index>\n");
  EXPECT_EQ(idx::getWriteFile(), 0);
  EXPECT_TRUE(std::filesystem::is_directory(dir_ + "/abs/p/q/r"));
  EXPECT_EQ(reports().size(), 0u);
}

TEST_F(IndexTest, NoDirectoryListCreatesNothing) {
  std::strcpy(fe::sBaseDir, "out/deep/");
  openIndex(indexXml({{"a", 4, 1, ""}}, 1, {}));
  EXPECT_EQ(idx::getWriteFile(), 1);
  EXPECT_EQ(reports(), std::vector<std::string>{failCreate("out/deep//a")});
  const uint8_t bytes[4] = {1, 2, 3, 4};
  idx::writeBlk(bytes, 4);   // the bytes flow into the null device
  EXPECT_EQ(fe::iTotalSize, 4u);
  EXPECT_EQ(idx::iCol, 0);
  EXPECT_EQ(listing("."), (std::vector<std::string>{"idx.xml", "qn_error.log"}));
}

TEST_F(IndexTest, MissingDestinationNeedsTheEmptyPath) {
  std::vector<Rec> recs = {{"a", 3, 1, ""}, {"b", 2, 2, "d"}};
  openIndex(indexXml(recs, 2, {"d"}));
  EXPECT_EQ(idx::getWriteFile(), 1);
  EXPECT_EQ(reports(), (std::vector<std::string>{failCreate("out//a"), failCreate("out/d/b")}));
  const uint8_t bytes[5] = {1, 2, 3, 4, 5};
  idx::writeBlk(bytes, 5);
  EXPECT_EQ(fe::iTotalSize, 5u);
  EXPECT_FALSE(exists("out"));

  std::filesystem::remove("qn_error.log");
  fe::iTotalSize = 0;
  openIndex(indexXml(recs, 2, {"", "d"}));
  EXPECT_EQ(idx::getWriteFile(), 1);
  idx::writeBlk(bytes, 5);   // cluster 64 KiB: a takes 3 bytes, b the last 2
  EXPECT_EQ(readFile("out/a"), std::string("\1\2\3"));
  EXPECT_EQ(readFile("out/d/b"), std::string("\4\5"));
  EXPECT_EQ(reports().size(), 0u);
}

TEST_F(IndexTest, FullNameForming) {
  std::filesystem::create_directory("out");
  const std::string name300(300, 'n');
  const std::string path260(260, 'p');
  openIndex(indexXml({{"plain", 0, 1, ""}, {"a&amp;b.txt", 0, 1, ""}, {name300, 0, 1, ""},
                      {"lost", 1, 1, path260}},
                     4));
  EXPECT_EQ(idx::getWriteFile(), 1);
  EXPECT_TRUE(exists("out/plain"));          // out//plain
  EXPECT_TRUE(exists("out/a&amp;b.txt"));    // entity text unchanged
  const std::string cut = ("out//" + name300).substr(0, 256);
  EXPECT_EQ(cut.size(), 256u);
  EXPECT_TRUE(exists(cut));
  // The path fills 256 bytes: its last byte gives way to the "/", the name finds no room.
  const std::string full = "out/" + path260.substr(0, 251) + "/";
  EXPECT_EQ(openNames(), std::vector<std::string>{full});
  EXPECT_EQ(reports(), std::vector<std::string>{failCreate(full)});
  // Without a destination and a path, the name stands alone.
  completeAll();
  fe::sBaseDir[0] = '\0';
  openIndex(indexXml({{"bare", 0, 1, ""}}, 1, {}));
  EXPECT_EQ(idx::getWriteFile(), 0);
  EXPECT_TRUE(exists("bare"));
}

TEST_F(IndexTest, UnsafeRecordsAreNotCreated) {
  std::filesystem::create_directory("outside");
  writeFile("outside/sentinel.txt", "keep");
  const utimbuf old{1000, 1000};
  utime("outside/sentinel.txt", &old);
  std::strcpy(fe::sBaseDir, "dest/");
  std::filesystem::create_directories("dest/d");
  std::filesystem::create_directory_symlink(dir_ + "/outside", "dest/link");
  std::filesystem::create_symlink(dir_ + "/outside/sentinel.txt", "dest/victim");
  const std::string absName = dir_ + "/outside/abs.txt";
  const std::vector<Rec> recs = {{"before.txt", 4, 0x5000, ""},    {"../escape.txt", 3, 1, ""},
                                 {"p.txt", 2, 1, "../outside"},    {"e/../../../x.txt", 2, 1, "d"},
                                 {absName, 2, 1, ""},               {"q.txt", 2, 1, absName},
                                 {"via.txt", 2, 1, "link"},         {"victim", 3, 1, ""},
                                 {"after.txt", 5, 0x6000, "d"}};
  openIndex(indexXml(recs, 1, {"", "d", "../evil", dir_ + "/outside/evildir", "link/sub"}));
  ASSERT_EQ(idx::getWriteFile(), 1);
  std::string stream;
  for (int i = 0; i < 25; ++i) stream += static_cast<char>('A' + i);
  for (size_t off = 0; off < stream.size(); off += 7)   // pieces of 7 bytes
    idx::writeBlk(reinterpret_cast<const uint8_t*>(stream.data()) + off,
                  std::min<int64_t>(7, static_cast<int64_t>(stream.size() - off)));

  EXPECT_EQ(readFile("dest/before.txt"), "ABCD");
  EXPECT_EQ(readFile("dest/d/after.txt"), "UVWXY");
  EXPECT_EQ(mtimeOf("dest/d/after.txt"), 0x6000);
  EXPECT_EQ(fe::iTagGet, 9);
  EXPECT_EQ(fe::iTotalSize, 25u);
  EXPECT_EQ(listing("outside"), std::vector<std::string>{"sentinel.txt"});
  EXPECT_EQ(readFile("outside/sentinel.txt"), "keep");
  EXPECT_EQ(mtimeOf("outside/sentinel.txt"), 1000);
  EXPECT_FALSE(exists("escape.txt"));
  EXPECT_FALSE(exists("x.txt"));
  EXPECT_FALSE(exists("evil"));
  EXPECT_EQ(reports(), (std::vector<std::string>{
                           unsafe("dest/../evil"), unsafe("dest/" + dir_ + "/outside/evildir"),
                           unsafe("dest/link/sub"), unsafe("dest//../escape.txt"),
                           unsafe("dest/../outside/p.txt"), unsafe("dest/d/e/../../../x.txt"),
                           unsafe("dest//" + absName), unsafe("dest/" + absName + "/q.txt"),
                           unsafe("dest/link/via.txt"), unsafe("dest//victim")}));
}

}  // namespace
}  // namespace qn::test
