// Tests of the pipeline frame's stop order and of the instruction thread's hand-overs.
#include <cstring>
#include <thread>

#include "support.h"

namespace qn {
namespace {

using ctr::lockSite;
constexpr int64_t kMiB = 0x100000;

// A stand-in thread that waits for the stop request in one control word and answers it.
struct Stopper {
  Stopper(std::mutex* mutex, std::condition_variable* cond, int w) : m(mutex), cv(cond), word(w) {}
  std::mutex* m;
  std::condition_variable* cv;
  int word;
  bool stopped = false;
  uint32_t blockWordSeen = 99;  // word 4 as seen when the request arrived (same mutex in plain mode)
  std::thread t;

  void start() {
    t = std::thread([this] {
      auto lk = lockSite(*m, "test");
      while (ctr::msgCode[word] != ctr::kStop) ctr::waitSecond(*cv, lk);
      stopped = true;
      if (m == &ctr::mutexChr) blockWordSeen = ctr::msgCode[4];
      ctr::msgCode[word] = 0;
    });
  }
};

class Frame : public ::testing::Test {
 protected:
  void SetUp() override {
    test::enterScratch();
    test::makeRing();
  }
  void TearDown() override { fe::iBWT = 0; }
};

TEST_F(Frame, PlainModeStopsThreeThreads) {
  ctr::msgCode = static_cast<uint32_t*>(std::calloc(7, 4));  // threadStop frees it
  Stopper s2(&ctr::mutexZip, &ctr::lockZip, 2), s3(&ctr::mutexCmd, &ctr::lockCmdR, 3),
      s6(&ctr::mutexChr, &ctr::lockOut, 6);
  for (Stopper* s : {&s2, &s3, &s6}) s->start();
  drv::threadStop();  // would wait for ever if it waited for a word without a thread
  for (Stopper* s : {&s2, &s3, &s6}) {
    s->t.join();
    EXPECT_TRUE(s->stopped) << s->word;
  }
  EXPECT_EQ(s6.blockWordSeen, 0u);  // word 4 never set in plain mode
  EXPECT_EQ(ctr::msgCode, nullptr);
}

TEST_F(Frame, BlockModeStopsFiveThreads) {
  fe::iBWT = 1;
  ctr::msgCode = static_cast<uint32_t*>(std::calloc(7, 4));
  Stopper s[] = {Stopper(&ctr::mutexZip, &ctr::lockZip, 2), Stopper(&ctr::mutexCmd, &ctr::lockCmdR, 3),
                 Stopper(&ctr::mutexChr, &ctr::lockBwtW, 4), Stopper(&ctr::mutexBwt, &ctr::lockBwtR0, 5),
                 Stopper(&ctr::mutexBwt, &ctr::lockOut, 6)};
  for (auto& x : s) x.start();
  drv::threadStop();
  for (auto& x : s) {
    x.t.join();
    EXPECT_TRUE(x.stopped) << x.word;
  }
}

TEST_F(Frame, SecondPassReallocatesTheRingOnly) {
  uint8_t* zip0 = ctr::bufZip[0];
  dec::model.aIdx8[5][1] = 12345;  // stands for tables trained by the first pass
  test::makeRing(16 << 20);
  EXPECT_EQ(ctr::bufZip[0], zip0);
  EXPECT_EQ(dec::model.aIdx8[5][1], 12345);
  ctr::bufChr[(16 << 20) - 1] = 1;  // the whole ring is addressable
  EXPECT_EQ(ctr::bufChr, ctr::bufChrAlloc + 8);
  for (int c = 0; c < 16; ++c) EXPECT_EQ(ctr::statChr[c], 0u);
  test::makeRing();
}

TEST_F(Frame, AllocationFailuresStop) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizers' allocators end the process on an impossible allocation";
#endif
  // 2^50 bytes of ring cannot be had: the first allocation fails with its own message.
  EXPECT_HALT(drv::initBuf(int64_t{1} << 50), "\nFail allocating the character buffer memory\n");
}

class Incmd : public ::testing::Test {
 protected:
  void SetUp() override {
    test::enterScratch();
    test::makeRing();
    std::fill(std::begin(codes_), std::end(codes_), 0);
    ctr::msgCode = codes_;
    ctr::fLen = 6;
    ctr::d = 100.0 / 6;
    fe::sTime = std::time(nullptr);
    std::memset(ctr::bufChr, 0xEE, 3 * kMiB);
  }
  void TearDown() override { ctr::msgCode = nullptr; }
  static void load(int k, const std::vector<uint32_t>& w) {
    std::memcpy(rec::bufCmd[k], w.data(), w.size() * 4);
    rec::lenCmd[k] = uint32_t(w.size());
  }
  static void postStop() {
    {
      auto lk = lockSite(ctr::mutexCmd, "test");
      ctr::msgCode[3] = ctr::kStop;
    }
    ctr::lockCmdR.notify_all();
  }
  static uint32_t slotState(int c) {
    auto lk = lockSite(ctr::mutexChr, "test");
    return ctr::statChr[c];
  }
  uint32_t codes_[7];
};

TEST_F(Incmd, ExecutesBuffersIntoChunks) {
  load(0, {65, 66, 0x80000003, 2, 262});
  load(1, {'x', 263});
  rec::statCmd[0] = rec::statCmd[1] = 2;
  testing::internal::CaptureStdout();
  std::thread t(rec::incmd);
  while (slotState(1) != 2) ctr::pollSleep();
  postStop();
  t.join();
  const std::string out = testing::internal::GetCapturedStdout();
  // The first chunk: five bytes, padded with zeros to 1 MiB.
  EXPECT_EQ(ctr::lenChr[0], 5u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(ctr::bufChr), 5), "ABABA");
  for (int64_t k = 5; k < kMiB; ++k) ASSERT_EQ(ctr::bufChr[k], 0) << k;
  // The last chunk, ended by 263.
  EXPECT_EQ(ctr::statChr[1], 2u);
  EXPECT_EQ(ctr::lenChr[1], 1u);
  EXPECT_EQ(ctr::bufChr[kMiB], 'x');
  for (int64_t k = kMiB + 1; k < 2 * kMiB; ++k) ASSERT_EQ(ctr::bufChr[k], 0) << k;
  EXPECT_EQ(ctr::bufChr[2 * kMiB], 0xEE);
  EXPECT_EQ(ctr::fPos, 6);
  EXPECT_EQ(rec::chrTail, 2 * kMiB);
  EXPECT_EQ(rec::statCmd[0] + rec::statCmd[1], 0u);
  EXPECT_EQ(codes_[3], 0u);
  // One progress line, for the first chunk only: 5 bytes of 6.
  EXPECT_TRUE(testing::internal::RE::FullMatch(out, "\r5            83\\.33%            time: [01]s")) << out;
}

TEST_F(Incmd, StopRequestWithoutABuffer) {
  rec::chrTail = 2 * kMiB;
  std::thread t(rec::incmd);
  postStop();
  t.join();
  EXPECT_EQ(ctr::statChr[2], 2u);
  EXPECT_EQ(ctr::lenChr[2], 0u);
  for (int64_t k = 2 * kMiB; k < 3 * kMiB; ++k) ASSERT_EQ(ctr::bufChr[k], 0) << k;
  EXPECT_EQ(rec::chrTail, 3 * kMiB);
  EXPECT_EQ(codes_[3], 0u);
  EXPECT_EQ(ctr::fPos, 0);
}

}  // namespace
}  // namespace qn
