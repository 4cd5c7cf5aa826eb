// The block writer's writing mark and write failures, and the output thread's hand-back in
// plain and block mode.
#include <algorithm>
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
