// The index: line reader, value parsers and the archive block; the block writer's rotation
// of turns against an independent model, its writes and failures; the output thread's
// hand-back in plain and block mode.
#include <algorithm>
#include <deque>
#include <sstream>
#include <thread>

#include "container/container.h"
#include "driver/driver.h"
#include "index/index.h"
#include "reconstruct/reconstruct.h"
#include "support.h"

namespace qn::test {
namespace {

struct Rec {
  std::string name;
  uint64_t size, time;
  std::string path;
};

// A well-formed index: archive block, parameters, column line, directory list, records.
std::string indexXml(const std::vector<Rec>& recs, int column, const std::vector<std::string>& dirs = {""}) {
  uint64_t total = 0;
  for (const Rec& r : recs) total += r.size;
  std::ostringstream x;
  x << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<index>\n  <zip>\n    <version>v4</version>\n    <files>"
    << recs.size() << "</files>\n    <size>" << total << "</size>\n  </zip>\n  <parameter>\n    <cluster>64</cluster>\n"
    << "  </parameter>\n  <column>" << column << "</column>\n";
  if (!dirs.empty()) {
    x << "  <directory>\n";
    for (const std::string& d : dirs) x << "    <path>" << d << "</path>\n";
    x << "  </directory>\n";
  }
  for (const Rec& r : recs)
    x << "  <file>\n    <name>" << r.name << "</name>\n    <size>" << r.size << "</size>\n    <time>" << std::hex
      << r.time << std::dec << "</time>\n    <path>" << r.path << "</path>\n  </file>\n";
  return x.str() + "</index>\n";
}

std::string invalid(const std::string& text, int line) {
  return "Invalid data '" + text + "' near line " + std::to_string(line) + " of XML index file idx.xml";
}

class Index : public Unit {
 protected:
  void SetUp() override {
    Unit::SetUp();
    fe::initPar(), fe::loadPar();
    fe::iTagGet = 0, fe::iTotalSize = 0;
    std::strcpy(fe::sFileXml, "idx.xml");
    std::strcpy(fe::sBaseDir, "out/");
    idx::iCol = idx::iXmlLine = idx::iFileCur = idx::iFiles = 0;
  }
  void TearDown() override {
    completeAll();
    if (idx::fpXml) std::fclose(idx::fpXml);
    idx::fpXml = nullptr;
    Unit::TearDown();
  }
  // Writes the index file and opens it for the parser, as the driver does before pass two.
  static void openIndex(const std::string& text) {
    writeFile("idx.xml", text);
    if (idx::fpXml) std::fclose(idx::fpXml);
    idx::fpXml = std::fopen("idx.xml", "rb");
    ctr::fLenXml = text.size(), idx::iXmlLine = 0;
  }
  static std::string nextLine() {
    char buf[520];
    idx::getXmlLine(buf);
    return buf;
  }
  static void completeAll() {  // the writer has finished every open file
    for (int i = 0; i < idx::iCol; ++i) idx::closeRecord(idx::arrFile[i]);
    idx::iCol = 0;
  }
};

TEST_F(Index, LineReader) {
  // Blank lines and leading blanks are skipped; a line with no "<" after them is reported.
  openIndex("\n\r\n   <a>\n\t<b>\ntext only\n  <c attr=\"1\">\n");
  EXPECT_EQ(nextLine(), "<a>");
  EXPECT_EQ(idx::iXmlLine, 1);
  EXPECT_EQ(nextLine(), "<c attr=\"1\">");
  EXPECT_EQ(idx::iXmlLine, 4);
  EXPECT_EQ(nextLine(), "");  // end of the index
  EXPECT_EQ(reports(), (std::vector<std::string>{invalid("\t<b>", 2), invalid("text only", 3)}));
  EXPECT_EQ(fe::iError, 1);
  // 512 bytes are read whole; a longer line is cut, byte 513 lost, the rest a line of its own.
  std::filesystem::remove(fe::kLogName);
  const std::string exact = "<" + std::string(511, 'x'), long600 = "<" + std::string(599, 'y');
  openIndex(exact + "\n" + long600 + "\n<end>\n");
  EXPECT_EQ(nextLine(), exact);
  EXPECT_EQ(nextLine(), long600.substr(0, 512));
  EXPECT_EQ(nextLine(), "<end>");
  EXPECT_EQ(reports(), (std::vector<std::string>{invalid(std::string(87, 'y'), 3)}));
  // Fewer than three bytes left end the index; a file shorter than announced ends early.
  const std::tuple<std::string, int, std::string> shortEnds[] = {{"<a>\n<b", 0, ""}, {"<a>\n<bc", 0, "<bc"}, {"<a>\n  \n", 100, ""}};
  for (const auto& [text, extra, second] : shortEnds) {
    openIndex(text);
    ctr::fLenXml += extra;
    EXPECT_EQ(nextLine(), "<a>");
    EXPECT_EQ(nextLine(), second);
  }
  // The Chinese report names the file before the line.
  std::filesystem::remove(fe::kLogName);
  fe::iLanguage = 1, idx::iXmlLine = 5;
  idx::errXml("bad");
  EXPECT_EQ(reports(), (std::vector<std::string>{gbk("无效数据'bad'在索引XML文件idx.xml第5行")}));
}

TEST_F(Index, Values) {
  idx::iXmlLine = 9;
  const std::tuple<std::string, char, uint64_t, bool> cases[] = {
      {"<size>00012</size>", 'd', 12, false},  {"<size></size>", 'd', 0, false},
      {"<size attr=\"x\">345</size>", 'd', 345, false}, {"<size>12 </size>", 'd', 12, true},
      {"<time>6553f1A0</time>", 'x', 0x6553F1A0, false}, {"<time>fffffffffffffffff1</time>", 'x', 0xFFFFFFFFFFFFFFF1, false},
  };  // a missing ">", a sign, a wrap past 2^64 and a bad hex digit: the damaged-archive table
  for (const auto& [line, kind, want, reported] : cases) {
    std::filesystem::remove(fe::kLogName);
    std::string s = line;
    EXPECT_EQ(kind == 'd' ? idx::getXmlInt(s.data()) : idx::getXmlHex(s.data()), want) << line;
    EXPECT_EQ(reports(), reported ? std::vector<std::string>{invalid(line, 9)} : std::vector<std::string>{});
  }
  const std::tuple<std::string, std::string, bool> texts[] = {
      {"<name>a &amp; b </name>", "a &amp; b ", false},  // unchanged, trailing blank kept
      {"<name>x>y</name>", "x>y", false}, {"<path></path>", "", false},
      {"<name runs", "", true}};
  for (const auto& [line, want, reported] : texts) {
    std::filesystem::remove(fe::kLogName);
    std::string s = line;
    EXPECT_STREQ(idx::getXmlStr(s.data()), want.c_str());
    EXPECT_EQ(reports(), reported ? std::vector<std::string>{invalid(line, 9)} : std::vector<std::string>{});
  }
}

TEST_F(Index, ArchiveBlockParametersAndVersion) {
  fe::param[fe::kPipes] = 4, fe::param[fe::kTails] = 6;
  openIndex("<?xml version=\"1.0\"?>\n<index>\n<zip>\n<version>v4</version>\n<comment>hi</comment>\n<files>3</files>\n"
            "<size>200</size>\n</zip>\n<parameter>\n<block>7</block>\n<bwt>1</bwt>\n<cache>16</cache>\n<pipes>9</pipes>\n"
            "<cluster>128</cluster>\n<esc>20</esc>\n<flush>3</flush>\n<sight>30</sight>\n<volume>8</volume>\n"
            "</parameter>\n<column>5</column>\n<directory>\n<path></path>\n</directory>\n<file>\n<name>f</name>\n"
            "<size>200</size>\n</file>\n</index>\n");
  EXPECT_EQ(idx::getWriteFile(), 1);
  EXPECT_EQ(idx::iFiles, 3);
  EXPECT_EQ(ctr::fLen, 200u);
  EXPECT_DOUBLE_EQ(ctr::d, 0.5);
  EXPECT_EQ(std::vector<uint32_t>(fe::param, fe::param + 11), (std::vector<uint32_t>{7, 1, 16, 128, 5, 20, 3, 4, 30, 6, 8}));
  EXPECT_EQ(fe::iColumn, 5);
  // Unknown children are reported and their block stays open.
  EXPECT_EQ(reports(), (std::vector<std::string>{invalid("<comment>hi</comment>", 5), invalid("<pipes>9</pipes>", 13)}));
  completeAll();
  // Versions v4, v4.x are ours; others (first four bytes kept) warn.
  for (const std::string v : {"v4", "v4.0.1", "4", "v5", ""}) {
    std::filesystem::remove(fe::kLogName);
    openIndex("<zip>\n<version>" + v + "</version>\n</zip>\n</index>\n");
    EXPECT_EQ(idx::getWriteFile(), 0);
    EXPECT_EQ(std::string(idx::zipVer), v.substr(0, 4));
    const bool ours = v == "v4" || v.rfind("v4.", 0) == 0;
    EXPECT_EQ(reports(), ours ? std::vector<std::string>{}
                              : std::vector<std::string>{"Warning: zip version " + v.substr(0, 4) +
                                                         " may be incompatible with v4, please upgrade the software"});
  }
}

// ---- The rotation of turns ----

// Model of the rotation as a queue: the front file has the turn, which gives at most the
// turn size, the file's remainder and the piece's remainder. An incomplete file goes to
// the back, a complete one leaves. When the queue runs empty the next batch enters and
// its first file waits one turn. Pieces arriving with no file left are dropped.
std::vector<std::string> modelFiles(const std::vector<int64_t>& sizes, size_t column, int64_t cluster,
                                    const std::vector<int64_t>& pieces, const std::string& stream) {
  std::vector<int64_t> left = sizes;
  std::vector<std::string> files(sizes.size());
  std::deque<size_t> queue;
  size_t next = 0;
  auto openBatch = [&] {
    while (queue.size() < column && next < sizes.size()) queue.push_back(next++);
  };
  openBatch();
  int64_t pos = 0;
  for (int64_t rest : pieces) {
    while (rest > 0 && !queue.empty()) {
      const size_t f = queue.front();
      const int64_t give = std::min({left[f], cluster, rest});
      files[f] += stream.substr(size_t(pos), size_t(give));
      pos += give, rest -= give, left[f] -= give;
      queue.pop_front();
      if (left[f] > 0) {
        queue.push_back(f);
      } else if (queue.empty()) {
        openBatch();
        if (!queue.empty()) queue.push_back(queue.front()), queue.pop_front();
      }
    }
    pos += rest;
  }
  return files;
}

TEST_F(Index, RotationOfTurnsAgreesWithTheModel) {
  constexpr int64_t K = 1024;
  const struct {
    std::vector<int64_t> sizes;
    int column;
    int64_t cluster;
    bool empties;  // an empty file before each
    std::vector<int64_t> pieces;
  } cases[] = {
      {{100 * K, 2048 * K, 10 * K}, 3, 64 * K, false, {1024 * K, 1024 * K, 110 * K}},
      {{1000}, 1, 64, false, {300, 300, 400}},          // one file takes every piece
      {{5, 7, 3}, 1, 4, false, {6, 9, 4}},              // one after another
      {{100, 300, 200}, 3, 64, false, {228, 500}},      // completes on a piece boundary
      {{300, 300, 70}, 3, 64, false, {1000}},           // the last record completes mid-piece
      {{20, 20, 20, 20, 30, 30, 30, 30}, 4, 64, true, {500, 100}},  // the next batch starts at record 1
      {{37, 5, 200, 64, 1, 90, 17, 300, 16, 45, 3, 128}, 3, 16, true, {50, 16, 1, 333, 64, 7, 100, 129, 250, 30, 100}},
  };
  // The model spells the example as the turns P 64, Q 64, R 10, P 36, then Q alone.
  const Bytes data = randomBytes(5 << 20, 1);
  const std::string abc(data.begin(), data.end());
  const auto example = modelFiles(cases[0].sizes, 3, 64 * K, cases[0].pieces, abc);
  const std::pair<size_t, std::vector<int64_t>> spelled[] = {
      {0, {0, 64 * K, 138 * K, 36 * K}}, {1, {64 * K, 64 * K, 174 * K, 1984 * K}}, {2, {128 * K, 10 * K}}};
  for (const auto& [file, parts] : spelled) {
    std::string want;
    for (size_t i = 0; i < parts.size(); i += 2) want.append(abc, size_t(parts[i]), size_t(parts[i + 1]));
    EXPECT_TRUE(example[file] == want) << "file " << file;
  }
  for (const auto& k : cases) {
    std::vector<Rec> recs;
    for (size_t i = 0; i < k.sizes.size(); ++i) {
      if (k.empties) recs.push_back({std::string("e").append(std::to_string(i)), 0, 7, ""});
      recs.push_back({std::string("f").append(std::to_string(i)), uint64_t(k.sizes[i]), 0x60000000 + i, ""});
    }
    openIndex(indexXml(recs, k.column));
    ASSERT_EQ(idx::getWriteFile(), 1);
    idx::iFileCur = 0, fe::iTotalSize = 0, fe::iCluster = int32_t(k.cluster);
    int64_t pos = 0;
    for (int64_t p : k.pieces) idx::writeBlk(reinterpret_cast<const uint8_t*>(abc.data()) + pos, p), pos += p;
    const auto want = modelFiles(k.sizes, size_t(k.column), k.cluster, k.pieces, abc);
    uint64_t sum = 0;
    for (size_t i = 0; i < want.size(); ++i) {
      const std::string name = std::string("out/f").append(std::to_string(i));
      EXPECT_EQ(readFile(name), want[i]) << name << " of " << k.sizes.size();
      EXPECT_EQ(timesOf(name), std::make_pair(int64_t(0x60000000 + i), int64_t(0x60000000 + i)));
      sum += want[i].size();
    }
    EXPECT_EQ(fe::iTotalSize, sum);
    EXPECT_EQ(idx::iCol, 0);
  }
}

TEST_F(Index, WritingMarkAndShortWrites) {
  // A piece of 64 MiB shows the writing mark, one byte less does not.
  std::strcpy(fe::sBaseDir, "missing/");
  openIndex(indexXml({{"big", 0x8000000, 1, ""}}, 1, {}));
  ASSERT_EQ(idx::getWriteFile(), 1);
  const Bytes piece(0x4000000);
  testing::internal::CaptureStdout();
  idx::writeBlk(piece.data(), 0x3FFFFFF);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  testing::internal::CaptureStdout();
  idx::writeBlk(piece.data(), 0x4000000);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\rwriting ... ");
  // A full device stops the run, for the index file and for a data file.
  std::filesystem::remove(fe::kLogName);
  EXPECT_HALT((idx::fpXml = nullptr, idx::fpOut = std::fopen("/dev/full", "wb"), idx::writeBlk(piece.data(), 1 << 20)), "");
  EXPECT_EQ(reports(), std::vector<std::string>{"Fail writing XML file"});
  std::filesystem::remove(fe::kLogName);
  std::strcpy(fe::sBaseDir, "out/");
  completeAll();
  openIndex(indexXml({{"a", 1 << 20, 1, ""}}, 1));
  ASSERT_EQ(idx::getWriteFile(), 1);
  EXPECT_HALT((std::fclose(idx::arrFile[0].fp), idx::arrFile[0].fp = std::fopen("/dev/full", "wb"),
               idx::writeBlk(piece.data(), 1 << 20)),
              "");
  EXPECT_EQ(reports(), std::vector<std::string>{"Fail writing data file"});
  idx::fpOut = nullptr;
}

// ---- The output thread: slots (plain) or blocks (block mode) handed back in order ----

using OutputThread = Index;

TEST_F(OutputThread, HandsBackSlotsAndBlocksInOrder) {
  uint32_t codes[7] = {};
  ctr::msgCode = codes;
  for (int bwt = 0; bwt < 2; ++bwt) {
    Bytes ring(2 * ctr::kSlot + 24), blocks[3] = {Bytes(1000), Bytes(1000), Bytes(1000)};
    uint32_t stat[2] = {0, 0}, len[2] = {0, 0};
    ctr::bufChr = ring.data() + 8, ctr::statChr = stat, ctr::lenChr = len;
    fe::iBWT = bwt, fe::iMaxBuf = 2 * ctr::kSlot, fe::iMaxBuf_1 = fe::iMaxBuf - 1;
    for (int k = 0; k < 3; ++k) rec::bufBlk[k] = blocks[k].data(), rec::statBwt[k] = 0, rec::lenBwt[k] = 0;
    ctr::chrHead = 0, idx::bufOutStream = rec::bufBlk[0], idx::fpXml = nullptr;
    idx::fpOut = std::fopen("pass1.xml", "wb");
    std::mutex& m = bwt ? ctr::mutexBwt : ctr::mutexChr;
    auto state = [&](int i) -> uint32_t& { return bwt ? rec::statBwt[i % 3] : stat[i % 2]; };
    std::thread t(idx::outstream);
    const int64_t lens[2][5] = {{ctr::kSlot, 5, 0, ctr::kSlot, 77}, {1000, 0, 333, 1000, 1}};
    std::string expect;
    for (int i = 0; i < 5; ++i) {
      std::unique_lock lk(m);
      (bwt ? ctr::lockBwtW : ctr::lockChrW).wait(lk, [&] { return state(i) == 0; });
      uint8_t* p = bwt ? rec::bufBlk[i % 3] : ctr::bufChr + (i % 2) * ctr::kSlot;
      for (int64_t j = 0; j < lens[bwt][i]; ++j) p[j] = uint8_t(i * 37 + j * 11);
      expect.append(reinterpret_cast<char*>(p), size_t(lens[bwt][i]));
      if (bwt) rec::lenBwt[i % 3] = lens[bwt][i];
      else len[i % 2] = uint32_t(lens[bwt][i]);
      state(i) = 2;
      lk.unlock();
      ctr::lockOut.notify_all();
    }
    {
      std::unique_lock lk(m);
      (bwt ? ctr::lockBwtW : ctr::lockChrW).wait(lk, [&] { return state(0) + state(1) + state(2) + state(3) == 0; });
      codes[6] = ctr::kStop;
    }
    ctr::lockOut.notify_all();
    t.join();
    EXPECT_EQ(codes[6], 0u);  // acknowledged
    std::fclose(idx::fpOut);
    idx::fpOut = nullptr;
    EXPECT_EQ(readFile("pass1.xml"), expect) << "block mode " << bwt;
    if (bwt) {
      EXPECT_EQ(idx::bufOutStream, rec::bufBlk[2]);  // five blocks over three buffers
    } else {
      EXPECT_EQ(ctr::chrHead, int64_t(ctr::kSlot));  // five slots in a ring of two
      EXPECT_EQ(len[0] + len[1], 0u);
    }
  }
  fe::iBWT = 0, ctr::msgCode = nullptr, ctr::bufChr = nullptr, ctr::statChr = ctr::lenChr = nullptr;
  for (auto& b : rec::bufBlk) b = nullptr;
}

}  // namespace
}  // namespace qn::test
