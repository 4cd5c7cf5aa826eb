// The threaded hand-overs of the pipeline: the input ring and its drain against a stand-in
// decoder, the timed wait, and the frame's stop of every thread.
#include <thread>

#include "container/container.h"
#include "driver/driver.h"
#include "decoder/decoder.h"
#include "reconstruct/reconstruct.h"
#include "support.h"

namespace qn::test {
namespace {

using ctr::lockSite;
constexpr uint32_t kEndMark = 0xE0D0C0B0;  // a chunk that begins with it carries the end code

// The decoder's side of the input ring reduced to its hand-overs: it releases the buffer it
// has read, waits for the next full one (or the end-of-input code) and keeps the bytes.
struct FakeDecoder {
  Bytes got;
  int chunks = 0;
  bool endOfInput = false;
  std::thread thread;

  void start() { thread = std::thread([this] { run(); }); }
  void stop() {  // the stop request, as threadStop posts it for word 2
    lockSite(ctr::mutexZip, "test"), ctr::msgCode[2] = ctr::kStop;
    ctr::lockZip.notify_all();
    thread.join();
  }
  void run() {
    for (int cur = 1;; ) {  // the reset leaves buffer 1 current and used up
      lockSite(ctr::mutexZip, "test"), ctr::statZip[cur] = ctr::lenZip[cur] = 0;
      ctr::lockIn.notify_all();
      auto lk = lockSite(ctr::mutexZip, "test take");
      while (ctr::statZip[1 - cur] != 2) {
        if (ctr::msgCode[2] == ctr::kEndInput) {
          endOfInput = true, ctr::inzipWaiting = false;
          return close(lk);
        }
        ctr::inzipWaiting = true;
        ctr::waitSecond(ctr::lockZip, lk);
      }
      cur = 1 - cur;
      ctr::inzipWaiting = false, ctr::statZip[cur] = 3;
      const uint32_t len = ctr::lenZip[cur];
      lk.unlock();
      ++chunks;
      uint32_t first = 0;
      if (len >= 4) std::memcpy(&first, ctr::bufZip[cur], 4);
      if (first == kEndMark) return lk.lock(), close(lk);
      got.insert(got.end(), ctr::bufZip[cur], ctr::bufZip[cur] + len);
    }
  }
  // Both buffers free, the end noted, then the stop request is awaited and acknowledged.
  static void close(std::unique_lock<std::mutex>& lk) {
    ctr::statZip[0] = ctr::statZip[1] = 0;
    ctr::inzipDone = true;
    while (ctr::msgCode[2] != ctr::kStop) ctr::waitSecond(ctr::lockZip, lk);
    ctr::msgCode[2] = 0;
  }
};

class Ring : public Unit {
 protected:
  void SetUp() override {
    Unit::SetUp();
    fe::iMaxBuf = 8 << 20, fe::iMaxBuf_1 = fe::iMaxBuf - 1, fe::iBWT = 0;
    drv::initBuf(fe::iMaxBuf);
    drv::initStreamUnzip(nullptr);
    std::strcpy(fe::sFileZip, "a.qn");
    std::fill(std::begin(codes_), std::end(codes_), 0);
    ctr::msgCode = codes_;
  }
  void TearDown() override {
    ctr::msgCode = nullptr, fe::iBWT = 0;
    Unit::TearDown();
  }
  static std::pair<uint32_t, uint32_t> states() {
    auto lk = lockSite(ctr::mutexZip, "test");
    return {ctr::statZip[0], ctr::statZip[1]};
  }
  // Reads a chunk "from the archive" into the fill buffer and hands it over.
  static void handOver(const Bytes& bytes) {
    if (!bytes.empty()) std::memcpy(ctr::bufInStream, bytes.data(), bytes.size());
    drv::inStreamUnzip(ctr::bufInStream, int32_t(bytes.size()));
  }
  uint32_t codes_[7];
};

TEST_F(Ring, ResetFirstHandOverAndLimit) {
  EXPECT_EQ(states(), std::make_pair(0u, 3u));
  EXPECT_EQ(dec::bufBin, ctr::bufZip[1]);
  EXPECT_EQ(ctr::bufInStream, ctr::bufZip[0]);
  // The driver hands buffer 0 over and waits: {2, 3} until the decoder releases buffer 1.
  std::thread driver([] { handOver(Bytes(16, 7)); });
  while (states().first != 2) ctr::pollSleep();
  EXPECT_EQ(states(), std::make_pair(2u, 3u));
  {  // the decoder's first refill: release buffer 1, take buffer 0
    auto lk = lockSite(ctr::mutexZip, "test");
    ctr::statZip[1] = 0, ctr::statZip[0] = 3;
    EXPECT_EQ(ctr::lenZip[0], 16u);
  }
  ctr::lockIn.notify_all();
  driver.join();
  EXPECT_EQ(states(), std::make_pair(3u, 1u));
  EXPECT_EQ(ctr::bufInStream, ctr::bufZip[1]);
  EXPECT_EQ(ctr::lenInStream, 0);
  // A whole chunk's payload is the most one hand-over takes.
  ctr::statZip[0] = 0;
  drv::inStreamUnzip(ctr::bufZip[1], 0x200000);
  EXPECT_EQ(states(), std::make_pair(1u, 2u));
  ctr::statZip[1] = 0;
  EXPECT_HALT(drv::inStreamUnzip(ctr::bufZip[0], 0x200001), "\nError: inStreamUnzip 200001 > 200000\n");
  EXPECT_HALT(drv::inStreamUnzip(ctr::bufZip[0], -8), "inStreamUnzip fffffff8 > 200000");
}

TEST_F(Ring, ChunksInOrderEndCodesAndTheDrain) {
  std::mt19937 rng(7);
  FakeDecoder decoder;
  decoder.start();
  Bytes sent;
  for (int k = 0; k < 40; ++k) {
    // An empty payload is passed on; chunk 9 is a full one.
    const Bytes c = randomBytes(k == 5 ? 0 : k == 9 ? ctr::kChunk - 8 : 4 * (rng() % 2000), uint32_t(k));
    sent.insert(sent.end(), c.begin(), c.end());
    handOver(c);
  }
  Bytes end(64, 0);
  std::memcpy(end.data(), &kEndMark, 4);
  handOver(end);
  for (int k = 0; k < 5; ++k) handOver(Bytes(4000, 9));  // read after the end code, ignored
  ctr::lenInStream = 8;  // a partly filled buffer, handed over by the drain
  drv::flushStreamUnzip(263);
  decoder.stop();
  EXPECT_FALSE(decoder.endOfInput);
  EXPECT_EQ(decoder.chunks, 41);
  EXPECT_TRUE(decoder.got == sent);
  EXPECT_TRUE(ctr::inzipDone);

  // Nothing pending: the decoder gets the end-of-input code; in plain mode the block
  // collector's word is never touched, in block mode it receives the code too.
  for (uint32_t bwt : {0u, 1u}) {
    fe::iBWT = bwt;
    drv::initStreamUnzip(nullptr);
    codes_[4] = 77;
    FakeDecoder idle;
    idle.start();
    drv::flushStreamUnzip(263);
    EXPECT_EQ(states(), std::make_pair(0u, 0u));
    idle.stop();
    EXPECT_TRUE(idle.endOfInput);
    EXPECT_EQ(idle.chunks, 0);
    EXPECT_EQ(codes_[4], bwt ? 263u : 77u);
    EXPECT_EQ(codes_[2], 0u);  // acknowledged
  }
  // The drain hands over the partly filled buffer that carries the end code.
  drv::initStreamUnzip(nullptr);
  FakeDecoder last;
  last.start();
  std::memcpy(ctr::bufInStream, &kEndMark, 4);
  ctr::lenInStream = 8;
  drv::flushStreamUnzip(263);
  last.stop();
  EXPECT_EQ(last.chunks, 1);
  EXPECT_FALSE(last.endOfInput);
  // A stream that runs out before its end code is reported.
  drv::initStreamUnzip(nullptr);
  EXPECT_HALT(({
                (new FakeDecoder)->start();  // left running: the process ends in the drain
                handOver(Bytes(400, 1)), handOver(Bytes(40, 2));
                drv::flushStreamUnzip(263);
              }),
              "\nCompressed stream ends without its end code, zip file a.qn is damaged\n");
}

// A thread waiting with the timed wait notices its control word even without a signal.
TEST_F(Ring, TimedWaitSurvivesALostSignal) {
  bool waiting = false;
  std::thread waiter([&waiting] {
    auto lk = lockSite(ctr::mutexCmd, "test");
    for (; ctr::msgCode[3] != ctr::kStop; waiting = true) ctr::waitSecond(ctr::lockCmdR, lk);
    ctr::msgCode[3] = 0;
  });
  for (bool posted = false; !posted;) {  // once the flag is seen, the waiter sits in its wait
    auto lk = lockSite(ctr::mutexCmd, "test");
    if (waiting) ctr::msgCode[3] = ctr::kStop, posted = true;  // and no signal follows
  }
  waiter.join();
  EXPECT_EQ(codes_[3], 0u);
}

// Plain mode stops three threads (words 2, 3, 6), block mode five (2 to 6), each on its
// mutex and condition; a stop that waited for a word without a thread would never end.
TEST_F(Ring, FrameStopsEveryThreadOfTheMode) {
  struct Stopper {
    std::mutex* m;
    std::condition_variable* cv;
    uint32_t word;
  };
  const std::vector<Stopper> modes[2] = {
      {{&ctr::mutexZip, &ctr::lockZip, 2}, {&ctr::mutexCmd, &ctr::lockCmdR, 3}, {&ctr::mutexChr, &ctr::lockOut, 6}},
      {{&ctr::mutexZip, &ctr::lockZip, 2}, {&ctr::mutexCmd, &ctr::lockCmdR, 3}, {&ctr::mutexChr, &ctr::lockBwtW, 4},
       {&ctr::mutexBwt, &ctr::lockBwtR0, 5}, {&ctr::mutexBwt, &ctr::lockOut, 6}}};
  for (int bwt = 0; bwt < 2; ++bwt) {
    fe::iBWT = bwt;
    ctr::msgCode = static_cast<uint32_t*>(std::calloc(7, 4));  // threadStop frees it
    std::vector<std::thread> threads;
    std::vector<int> stopped(modes[bwt].size(), 0);
    for (size_t i = 0; i < modes[bwt].size(); ++i)
      threads.emplace_back([s = modes[bwt][i], &done = stopped[i]] {
        auto lk = lockSite(*s.m, "test");
        while (ctr::msgCode[s.word] != ctr::kStop) ctr::waitSecond(*s.cv, lk);
        done = s.word == 6 && !fe::iBWT && ctr::msgCode[4] != 0 ? 2 : 1;  // word 4 unused in plain mode
        ctr::msgCode[s.word] = 0;
      });
    drv::threadStop();
    for (auto& t : threads) t.join();
    EXPECT_EQ(stopped, std::vector<int>(modes[bwt].size(), 1)) << "block mode " << bwt;
    EXPECT_EQ(ctr::msgCode, nullptr);
  }
}

}  // namespace
}  // namespace qn::test
