// Tests of the block writer's rotation of turns (against an independent model), its pass-one
// writes and failures, and the output thread's hand-back in plain and block mode.
#include <algorithm>
#include <chrono>
#include <deque>
#include <thread>

#include "index/index_fixture.h"
#include "reconstruct/reconstruct.h"

namespace qn::test {
namespace {

constexpr int64_t K = 1024;

struct Turn {
  int file;
  int64_t offset;
  int64_t len;
  bool operator==(const Turn&) const = default;
};

// Model of the rotation, written as a queue: the front file has the turn. A turn gives at most
// the turn size, the file's remainder and the piece's remainder. A file still incomplete goes
// to the back; a complete one leaves. When the queue runs empty the next batch enters, and its
// first file waits one turn. Pieces arriving with no file left are dropped.
std::vector<Turn> modelTurns(const std::vector<int64_t>& sizes, size_t column, int64_t cluster,
                             const std::vector<int64_t>& pieces) {
  std::vector<int64_t> left = sizes;
  std::deque<int> queue;
  size_t next = 0;
  auto openBatch = [&] {
    while (queue.size() < column && next < sizes.size()) queue.push_back(static_cast<int>(next++));
  };
  openBatch();
  std::vector<Turn> turns;
  int64_t pos = 0;
  for (int64_t piece : pieces) {
    int64_t rest = piece;
    while (rest > 0 && !queue.empty()) {
      const int f = queue.front();
      const int64_t give = std::min({left[f], cluster, rest});
      turns.push_back({f, pos, give});
      pos += give;
      rest -= give;
      left[f] -= give;
      queue.pop_front();
      if (left[f] > 0) {
        queue.push_back(f);
      } else if (queue.empty()) {
        openBatch();
        if (!queue.empty()) {
          queue.push_back(queue.front());
          queue.pop_front();
        }
      }
    }
    pos += rest;
  }
  return turns;
}

std::string makeStream(int64_t n) {
  std::string s(static_cast<size_t>(n), '\0');
  uint32_t x = 12345;
  for (char& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

std::string fileName(int i) { return "out/f" + std::to_string(i); }
int64_t fileTime(int i) { return 0x60000000 + i; }

class RotationTest : public IndexTest {
 protected:
  // Opens the index of the given non-empty sizes (with an empty file before each when asked),
  // its first batch and the turn size, as the driver leaves them before the data pass.
  void start(const std::vector<int64_t>& sizes, int column, int64_t cluster,
             bool emptiesBetween = false) {
    std::vector<Rec> recs;
    for (size_t i = 0; i < sizes.size(); ++i) {
      if (emptiesBetween) recs.push_back({"e" + std::to_string(i), 0, 7, ""});
      recs.push_back({"f" + std::to_string(i), static_cast<uint64_t>(sizes[i]),
                      static_cast<uint64_t>(fileTime(static_cast<int>(i))), ""});
    }
    openIndex(indexXml(recs, column));
    ASSERT_EQ(idx::getWriteFile(), 1);
    idx::iFileCur = 0;
    fe::iTotalSize = 0;
    fe::iCluster = static_cast<int32_t>(cluster);
    stream_ = makeStream(std::max<int64_t>(1, total(sizes) * 2));
    pos_ = 0;
  }

  void write(const std::vector<int64_t>& pieces) {
    for (int64_t p : pieces) {
      idx::writeBlk(reinterpret_cast<const uint8_t*>(stream_.data()) + pos_, p);
      pos_ += p;
    }
  }

  std::string part(int64_t off, int64_t len) const { return stream_.substr(off, len); }

  // Every file holds the bytes the model gives it, in order, and has its time.
  void expectModel(const std::vector<int64_t>& sizes, int column, int64_t cluster,
                   const std::vector<int64_t>& pieces) {
    std::vector<std::string> want(sizes.size());
    uint64_t sum = 0;
    for (const Turn& t : modelTurns(sizes, column, cluster, pieces)) {
      want[t.file] += part(t.offset, t.len);
      sum += static_cast<uint64_t>(t.len);
    }
    for (size_t i = 0; i < sizes.size(); ++i) {
      EXPECT_EQ(readFile(fileName(static_cast<int>(i))), want[i]) << "file " << i;
      EXPECT_EQ(mtimeOf(fileName(static_cast<int>(i))), fileTime(static_cast<int>(i)));
      EXPECT_EQ(atimeOf(fileName(static_cast<int>(i))), fileTime(static_cast<int>(i)));
    }
    EXPECT_EQ(fe::iTotalSize, sum);
    EXPECT_EQ(idx::iCol, 0);
  }

  static int64_t total(const std::vector<int64_t>& v) {
    int64_t s = 0;
    for (int64_t x : v) s += x;
    return s;
  }

  std::string stream_;
  int64_t pos_ = 0;
};

TEST_F(RotationTest, ExampleOfThreeFiles) {
  const std::vector<int64_t> sizes = {100 * K, 2048 * K, 10 * K};   // P, Q, R
  const std::vector<int64_t> pieces = {1024 * K, 1024 * K, 110 * K};
  // The model spells the first slot as P 64, Q 64, R 10, P 36, thirteen Q turns of 64, Q 18.
  const auto turns = modelTurns(sizes, 3, 64 * K, pieces);
  std::vector<std::pair<int, int64_t>> first;
  for (const Turn& t : turns)
    if (t.offset < 1024 * K) first.push_back({t.file, t.len / K});
  std::vector<std::pair<int, int64_t>> spelled = {{0, 64}, {1, 64}, {2, 10}, {0, 36}};
  for (int i = 0; i < 13; ++i) spelled.push_back({1, 64});
  spelled.push_back({1, 18});
  EXPECT_EQ(first, spelled);

  start(sizes, 3, 64 * K);
  write({pieces[0]});
  EXPECT_EQ(readFile("out/f0"), part(0, 64 * K) + part(138 * K, 36 * K));
  EXPECT_EQ(readFile("out/f2"), part(128 * K, 10 * K));
  EXPECT_EQ(mtimeOf("out/f0"), fileTime(0));   // P and R are complete and stamped
  EXPECT_EQ(mtimeOf("out/f2"), fileTime(2));
  EXPECT_NE(mtimeOf("out/f1"), fileTime(1));   // Q is not
  write({pieces[1], pieces[2]});
  EXPECT_EQ(readFile("out/f1"), part(64 * K, 64 * K) + part(174 * K, 1984 * K));
  expectModel(sizes, 3, 64 * K, pieces);
}

TEST_F(RotationTest, OneFileAtATime) {
  // A single file takes every piece whole, in turns.
  start({1000}, 1, 64);
  write({300, 300, 400});
  EXPECT_EQ(readFile("out/f0"), part(0, 1000));
  expectModel({1000}, 1, 64, {300, 300, 400});
  // Column 1: the files are filled one after another in index order.
  start({5, 7, 3}, 1, 4);
  write({6, 9, 4});
  EXPECT_EQ(readFile("out/f0"), part(0, 5));
  EXPECT_EQ(readFile("out/f1"), part(5, 7));
  EXPECT_EQ(readFile("out/f2"), part(12, 3));
  EXPECT_EQ(fe::iTotalSize, 15u);
  expectModel({5, 7, 3}, 1, 4, {6, 9, 4});
}

TEST_F(RotationTest, FileCompletingOnAPieceBoundary) {
  // A completes with the last byte of the first piece; the second piece begins with B.
  start({100, 300, 200}, 3, 64);
  write({228});
  EXPECT_EQ(readFile("out/f0"), part(0, 64) + part(192, 36));
  write({500});
  EXPECT_EQ(readFile("out/f1"),
            part(64, 64) + part(228, 64) + part(356, 64) + part(484, 64) + part(556, 44));
  EXPECT_EQ(readFile("out/f2"), part(128, 64) + part(292, 64) + part(420, 64) + part(548, 8));
  EXPECT_EQ(fe::iTotalSize, 600u);   // the last 128 bytes belong to no file
  expectModel({100, 300, 200}, 3, 64, {228, 500});
}

TEST_F(RotationTest, LastRecordCompletingMidPiece) {
  // C, the last record, completes in mid-piece: the rotation wraps to A.
  start({300, 300, 70}, 3, 64);
  write({1000});
  EXPECT_EQ(readFile("out/f2"), part(128, 64) + part(320, 6));
  EXPECT_EQ(readFile("out/f0"),
            part(0, 64) + part(192, 64) + part(326, 64) + part(454, 64) + part(582, 44));
  EXPECT_EQ(readFile("out/f1"),
            part(64, 64) + part(256, 64) + part(390, 64) + part(518, 64) + part(626, 44));
  expectModel({300, 300, 70}, 3, 64, {1000});
}

TEST_F(RotationTest, NewBatchStartsAtRecordOne) {
  // The first batch completes in mid-piece; the next batch of four takes the rest beginning
  // with its record 1. The index then ends: the rest and later pieces are dropped.
  const std::vector<int64_t> sizes = {20, 20, 20, 20, 30, 30, 30, 30};
  start(sizes, 4, 64, true);
  write({500, 100});
  EXPECT_EQ(readFile("out/f3"), part(60, 20));
  EXPECT_EQ(readFile("out/f5"), part(80, 30));
  EXPECT_EQ(readFile("out/f6"), part(110, 30));
  EXPECT_EQ(readFile("out/f7"), part(140, 30));
  EXPECT_EQ(readFile("out/f4"), part(170, 30));
  EXPECT_EQ(fe::iTotalSize, 200u);
  EXPECT_EQ(mtimeOf("out/e5"), 7);   // empty files between them were created on the way
  expectModel(sizes, 4, 64, {500, 100});
}

TEST_F(RotationTest, MixedBatchesAgainstTheModel) {
  const std::vector<int64_t> sizes = {37, 5, 200, 64, 1, 90, 17, 300, 16, 45, 3, 128};
  const std::vector<int64_t> pieces = {50, 16, 1, 333, 64, 7, 100, 129, 250, 30, 100};
  start(sizes, 3, 16, true);
  write(pieces);
  expectModel(sizes, 3, 16, pieces);
}

TEST_F(IndexTest, PassOneWritesTheIndexFile) {
  idx::fpXml = nullptr;
  idx::fpOut = std::fopen("pass1.xml", "wb");
  ASSERT_NE(idx::fpOut, nullptr);
  idx::writeBlk(reinterpret_cast<const uint8_t*>("<?xml "), 6);
  idx::writeBlk(reinterpret_cast<const uint8_t*>("version="), 8);
  std::fclose(idx::fpOut);
  idx::fpOut = nullptr;
  EXPECT_EQ(readFile("pass1.xml"), "<?xml version=");
}

TEST_F(IndexTest, LargePiecesShowTheWritingMark) {
  std::strcpy(fe::sBaseDir, "missing/");   // the file goes to the null device
  openIndex(indexXml({{"big", 0x8000000, 1, ""}}, 1, {}));
  ASSERT_EQ(idx::getWriteFile(), 1);
  std::vector<uint8_t> piece(0x4000000);
  testing::internal::CaptureStdout();
  idx::writeBlk(piece.data(), 0x3FFFFFF);
  const std::string quiet = testing::internal::GetCapturedStdout();
  testing::internal::CaptureStdout();
  idx::writeBlk(piece.data(), 0x4000000);
  const std::string marked = testing::internal::GetCapturedStdout();
  EXPECT_EQ(quiet, "");
  EXPECT_EQ(marked, "\rwriting ... ");
  EXPECT_EQ(fe::iTotalSize, 0x7FFFFFFu);
}

using IndexDeathTest = IndexTest;

TEST_F(IndexDeathTest, ShortWritesHalt) {
  std::vector<uint8_t> piece(1 << 20);
  EXPECT_EXIT(
      {
        idx::fpXml = nullptr;
        idx::fpOut = std::fopen("/dev/full", "wb");
        idx::writeBlk(piece.data(), static_cast<int64_t>(piece.size()));
      },
      testing::ExitedWithCode(1), "");
  EXPECT_EQ(reports(), std::vector<std::string>{"Fail writing XML file"});

  std::filesystem::remove("qn_error.log");
  openIndex(indexXml({{"a", 1 << 20, 1, ""}}, 1));
  ASSERT_EQ(idx::getWriteFile(), 1);
  EXPECT_EXIT(
      {
        std::fclose(idx::arrFile[0].fp);
        idx::arrFile[0].fp = std::fopen("/dev/full", "wb");
        idx::writeBlk(piece.data(), static_cast<int64_t>(piece.size()));
      },
      testing::ExitedWithCode(1), "");
  EXPECT_EQ(reports(), std::vector<std::string>{"Fail writing data file"});
}

// Waits for a slot state the output thread sets; the limit only keeps a broken build from
// hanging the test run.
template <class Pred>
bool awaitState(std::mutex& m, std::condition_variable& cv, Pred pred) {
  std::unique_lock lk(m);
  return cv.wait_for(lk, std::chrono::seconds(30), pred);
}

void stopOutput(std::mutex& m, std::thread& t) {
  {
    std::lock_guard lk(m);
    ctr::msgCode[6] = ctr::kStop;
  }
  ctr::lockOut.notify_all();
  t.join();
}

TEST_F(IndexTest, OutputThreadPlainMode) {
  std::vector<uint8_t> ring(2 * ctr::kSlot + 24);
  uint32_t stat[2] = {0, 0}, len[2] = {0, 0}, codes[7] = {};
  ctr::bufChr = ring.data() + 8;
  ctr::statChr = stat;
  ctr::lenChr = len;
  ctr::msgCode = codes;
  fe::iBWT = 0;
  fe::iMaxBuf = 2 * ctr::kSlot;
  fe::iMaxBuf_1 = fe::iMaxBuf - 1;
  ctr::chrHead = 0;
  idx::fpXml = nullptr;
  idx::fpOut = std::fopen("pass1.xml", "wb");
  std::thread t(idx::outstream);
  const uint32_t lens[] = {ctr::kSlot, 5, 0, ctr::kSlot, 77};
  std::string expect;
  for (int i = 0; i < 5; ++i) {
    const int s = i % 2;
    EXPECT_TRUE(awaitState(ctr::mutexChr, ctr::lockChrW, [&] { return stat[s] == 0; }));
    uint8_t* slot = ctr::bufChr + s * ctr::kSlot;
    for (uint32_t j = 0; j < lens[i]; ++j) slot[j] = static_cast<uint8_t>(i * 37 + j * 11);
    expect.append(reinterpret_cast<char*>(slot), lens[i]);
    {
      std::lock_guard lk(ctr::mutexChr);
      len[s] = lens[i];
      stat[s] = 2;
    }
    ctr::lockOut.notify_all();
  }
  EXPECT_TRUE(awaitState(ctr::mutexChr, ctr::lockChrW, [&] { return stat[0] == 0 && stat[1] == 0; }));
  stopOutput(ctr::mutexChr, t);
  EXPECT_EQ(codes[6], 0u);   // acknowledged
  EXPECT_EQ(ctr::chrHead, static_cast<int64_t>(ctr::kSlot));   // five slots in a ring of two
  EXPECT_EQ(len[0] + len[1], 0u);
  std::fclose(idx::fpOut);
  idx::fpOut = nullptr;
  EXPECT_EQ(readFile("pass1.xml"), expect);
  ctr::bufChr = nullptr;
  ctr::statChr = ctr::lenChr = ctr::msgCode = nullptr;
}

TEST_F(IndexTest, OutputThreadBlockMode) {
  std::vector<uint8_t> blocks[3] = {std::vector<uint8_t>(1000), std::vector<uint8_t>(1000),
                                    std::vector<uint8_t>(1000)};
  uint32_t codes[7] = {};
  for (int k = 0; k < 3; ++k) {
    rec::bufBlk[k] = blocks[k].data();
    rec::statBwt[k] = 0;
    rec::lenBwt[k] = 0;
  }
  ctr::msgCode = codes;
  fe::iBWT = 1;
  idx::bufOutStream = rec::bufBlk[0];
  idx::fpXml = nullptr;
  idx::fpOut = std::fopen("pass1.xml", "wb");
  std::thread t(idx::outstream);
  const int64_t lens[] = {1000, 0, 333, 1000, 1};
  std::string expect;
  for (int i = 0; i < 5; ++i) {
    const int k = i % 3;
    EXPECT_TRUE(awaitState(ctr::mutexBwt, ctr::lockBwtW, [&] { return rec::statBwt[k] == 0; }));
    for (int64_t j = 0; j < lens[i]; ++j) blocks[k][j] = static_cast<uint8_t>(i * 53 + j * 7);
    expect.append(reinterpret_cast<char*>(blocks[k].data()), lens[i]);
    {
      std::lock_guard lk(ctr::mutexBwt);
      rec::lenBwt[k] = lens[i];
      rec::statBwt[k] = 2;
    }
    ctr::lockOut.notify_all();
  }
  EXPECT_TRUE(awaitState(ctr::mutexBwt, ctr::lockBwtW, [] {
    return rec::statBwt[0] + rec::statBwt[1] + rec::statBwt[2] == 0;
  }));
  stopOutput(ctr::mutexBwt, t);
  EXPECT_EQ(codes[6], 0u);
  EXPECT_EQ(idx::bufOutStream, rec::bufBlk[2]);   // five blocks over three buffers
  std::fclose(idx::fpOut);
  idx::fpOut = nullptr;
  EXPECT_EQ(readFile("pass1.xml"), expect);
  fe::iBWT = 0;
  ctr::msgCode = nullptr;
  for (auto& b : rec::bufBlk) b = nullptr;
}

}  // namespace
}  // namespace qn::test
