// Tests of the input ring and the drain against a stand-in for the decoder's side of the ring.
#include <cstring>
#include <random>
#include <thread>

#include "support.h"

namespace qn {
namespace {

using ctr::lockSite;
constexpr uint32_t kEndMark = 0xE0D0C0B0;  // a chunk that begins with it carries the end code

// The decoder's side of the input ring reduced to its hand-overs: it releases the buffer it
// has read, waits for the next full one (or the end-of-input code in its control word) and
// keeps the bytes. A chunk that begins with kEndMark stands for a stream's end code.
class FakeDecoder {
 public:
  std::vector<uint8_t> got;
  int chunks = 0;
  bool endOfInput = false;

  void start() { thread_ = std::thread([this] { run(); }); }
  // Posts the stop request (as threadStop does for word 2) and waits for the thread.
  void stop() {
    {
      auto lk = lockSite(ctr::mutexZip, "test");
      ctr::msgCode[2] = ctr::kStop;
    }
    ctr::lockZip.notify_all();
    thread_.join();
  }

 private:
  void run() {
    int cur = 1;  // the reset leaves buffer 1 current and used up
    for (;;) {
      {
        auto lk = lockSite(ctr::mutexZip, "test release");
        ctr::statZip[cur] = ctr::lenZip[cur] = 0;
      }
      ctr::lockIn.notify_all();
      const int other = 1 - cur;
      uint32_t len = 0;
      {
        auto lk = lockSite(ctr::mutexZip, "test take");
        while (ctr::statZip[other] != 2) {
          if (ctr::msgCode[2] == ctr::kEndInput) {
            endOfInput = true;
            ctr::inzipWaiting = false;
            return close(lk);
          }
          ctr::inzipWaiting = true;
          ctr::waitSecond(ctr::lockZip, lk);
        }
        ctr::inzipWaiting = false;
        ctr::statZip[other] = 3;
        len = ctr::lenZip[other];
      }
      cur = other;
      ++chunks;
      const uint8_t* b = ctr::bufZip[cur];
      uint32_t first = 0;
      if (len >= 4) std::memcpy(&first, b, 4);
      if (first == kEndMark) {
        auto lk = lockSite(ctr::mutexZip, "test end");
        return close(lk);
      }
      got.insert(got.end(), b, b + len);
    }
  }
  // Both buffers free, the end noted, then the stop request is awaited and acknowledged.
  void close(std::unique_lock<std::mutex>& lk) {
    ctr::statZip[0] = ctr::statZip[1] = 0;
    ctr::inzipDone = true;
    while (ctr::msgCode[2] != ctr::kStop) ctr::waitSecond(ctr::lockZip, lk);
    ctr::msgCode[2] = 0;
  }
  std::thread thread_;
};

class Ring : public ::testing::Test {
 protected:
  void SetUp() override {
    test::enterScratch();
    test::makeRing();
    std::strcpy(fe::sFileZip, "a.qn");
    std::fill(std::begin(codes_), std::end(codes_), 0);
    ctr::msgCode = codes_;
  }
  void TearDown() override { ctr::msgCode = nullptr; }
  static std::pair<uint32_t, uint32_t> states() {
    auto lk = lockSite(ctr::mutexZip, "test");
    return {ctr::statZip[0], ctr::statZip[1]};
  }
  // Reads a chunk "from the archive" straight into the fill buffer and hands it over.
  static void handOver(const std::vector<uint8_t>& bytes) {
    if (!bytes.empty()) std::memcpy(ctr::bufInStream, bytes.data(), bytes.size());
    drv::inStreamUnzip(ctr::bufInStream, int32_t(bytes.size()));
  }
  uint32_t codes_[7];
};

TEST_F(Ring, ResetAndFirstHandOver) {
  EXPECT_EQ(states(), std::make_pair(0u, 3u));
  EXPECT_EQ(dec::bufBin, ctr::bufZip[1]);
  EXPECT_EQ(ctr::bufInStream, ctr::bufZip[0]);
  // The driver hands buffer 0 over and waits: {2, 3} until the decoder releases buffer 1.
  std::thread driver([] { handOver(std::vector<uint8_t>(16, 7)); });
  while (states().first != 2) ctr::pollSleep();
  EXPECT_EQ(states(), std::make_pair(2u, 3u));
  {  // the decoder's first refill: release buffer 1, take buffer 0
    auto lk = lockSite(ctr::mutexZip, "test");
    ctr::statZip[1] = 0;
    ctr::statZip[0] = 3;
    EXPECT_EQ(ctr::lenZip[0], 16u);
  }
  ctr::lockIn.notify_all();
  driver.join();
  EXPECT_EQ(states(), std::make_pair(3u, 1u));
  EXPECT_EQ(ctr::bufInStream, ctr::bufZip[1]);
  EXPECT_EQ(ctr::lenInStream, 0);
}

TEST_F(Ring, HandOverLimit) {
  ctr::statZip[1] = 0;  // the other buffer is free: the hand-over returns at once
  drv::inStreamUnzip(ctr::bufZip[0], 0x200000);
  EXPECT_EQ(ctr::lenZip[0], 0x200000u);
  EXPECT_EQ(states(), std::make_pair(2u, 1u));
  ctr::statZip[0] = 0;
  EXPECT_HALT(drv::inStreamUnzip(ctr::bufZip[1], 0x200001),
              "\nError: inStreamUnzip 200001 > 200000\n.*please see the log file");
  EXPECT_HALT(drv::inStreamUnzip(ctr::bufZip[1], -8), "inStreamUnzip fffffff8 > 200000");
}

TEST_F(Ring, DrainWithNothingPending) {
  codes_[4] = 77;  // plain mode: the block collector's word is never touched
  FakeDecoder decoder;
  decoder.start();
  drv::flushStreamUnzip(263);
  EXPECT_EQ(states(), std::make_pair(0u, 0u));
  decoder.stop();
  EXPECT_TRUE(decoder.endOfInput);
  EXPECT_EQ(decoder.chunks, 0);
  EXPECT_EQ(codes_[4], 77u);
  EXPECT_EQ(codes_[2], 0u);  // acknowledged

  // Block mode: the collector's word receives the end-of-input code.
  fe::iBWT = 1;
  drv::initStreamUnzip(nullptr);
  FakeDecoder decoder2;
  decoder2.start();
  drv::flushStreamUnzip(263);
  decoder2.stop();
  EXPECT_EQ(codes_[4], 263u);
  fe::iBWT = 0;
}

TEST_F(Ring, ChunksArriveInOrderAndTheEndCodeEndsTheStream) {
  std::mt19937 rng(7);
  FakeDecoder decoder;
  decoder.start();
  std::vector<uint8_t> sent;
  for (int k = 0; k < 40; ++k) {
    uint32_t len = 4 * (rng() % 2000);
    if (k == 5) len = 0;                 // an empty payload is passed on
    if (k == 9) len = ctr::kChunk - 8;   // a full chunk
    std::vector<uint8_t> c(len);
    for (auto& b : c) b = uint8_t(rng());
    sent.insert(sent.end(), c.begin(), c.end());
    handOver(c);
  }
  std::vector<uint8_t> end(64, 0);
  std::memcpy(end.data(), &kEndMark, 4);
  handOver(end);
  // Chunks after the end code are read but ignored.
  for (int k = 0; k < 5; ++k) handOver(std::vector<uint8_t>(4000, 9));
  // A partly filled buffer is handed over by the drain; here it also comes after the end.
  ctr::lenInStream = 8;
  drv::flushStreamUnzip(263);
  decoder.stop();
  EXPECT_FALSE(decoder.endOfInput);
  EXPECT_EQ(decoder.chunks, 41);
  EXPECT_EQ(decoder.got, sent);
  EXPECT_TRUE(ctr::inzipDone);
}

TEST_F(Ring, DrainHandsOverThePartlyFilledBuffer) {
  FakeDecoder decoder;
  decoder.start();
  std::memcpy(ctr::bufInStream, &kEndMark, 4);
  ctr::lenInStream = 8;
  drv::flushStreamUnzip(263);
  decoder.stop();
  EXPECT_EQ(decoder.chunks, 1);
  EXPECT_FALSE(decoder.endOfInput);
}

TEST_F(Ring, StreamWithoutEndCodeIsReported) {
  auto run = [] {
    FakeDecoder* decoder = new FakeDecoder;  // left running: the process ends in the drain
    decoder->start();
    handOver(std::vector<uint8_t>(400, 1));
    handOver(std::vector<uint8_t>(40, 2));
    drv::flushStreamUnzip(263);
  };
  EXPECT_HALT(run(), "\nCompressed stream ends without its end code, zip file a\\.qn is damaged\n");
}

// A thread waiting with the timed wait notices its control word even without a signal.
TEST_F(Ring, TimedWaitSurvivesALostSignal) {
  bool waiting = false;
  std::thread waiter([&waiting] {
    auto lk = lockSite(ctr::mutexCmd, "test");
    while (ctr::msgCode[3] != ctr::kStop) {
      waiting = true;
      ctr::waitSecond(ctr::lockCmdR, lk);
    }
    ctr::msgCode[3] = 0;
  });
  for (;;) {  // once the flag is seen under the mutex, the waiter sits in its wait
    auto lk = lockSite(ctr::mutexCmd, "test");
    if (waiting) {
      ctr::msgCode[3] = ctr::kStop;  // and no signal follows
      break;
    }
  }
  waiter.join();
  EXPECT_EQ(codes_[3], 0u);
}

}  // namespace
}  // namespace qn
