// Block mode threads: the real collector and inverse transform between a feeder and an output stand-in.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "quarnzip/bwt_forward.h"
#include "container/container.h"
#include "driver/driver.h"
#include "index/index.h"
#include "reconstruct/bwt_test_util.h"

namespace qn::rec::test {
namespace {

constexpr int64_t kSlot = ctr::kSlot;

// The character ring and control words of one pass, reset as the stream reset leaves them.
struct Pass {
  Bytes ring;
  std::vector<uint32_t> stat, len;
  uint32_t words[7] = {};
  int64_t chrTail = 0;

  Pass(uint32_t blockMiB, int64_t ringMiB)
      : ring(size_t(ringMiB * kSlot)), stat(size_t(ringMiB)), len(size_t(ringMiB)) {
    setBlocks(blockMiB);
    fe::iMaxBuf = ringMiB * kSlot;
    fe::iMaxBuf_1 = fe::iMaxBuf - 1;
    ctr::bufChr = ring.data();
    ctr::statChr = stat.data();
    ctr::lenChr = len.data();
    ctr::msgCode = words;
    ctr::chrHead = 0;
  }
  ~Pass() { ctr::msgCode = nullptr; }

  // The interpreter's side: fills the next slot of the ring with one chunk.
  void feedChunk(const uint8_t* p, int64_t n) {
    int64_t c = chrTail / kSlot;
    {
      auto lk = ctr::lockSite(ctr::mutexChr, "test feed 1");
      while (ctr::statChr[c] != 0) ctr::waitSecond(ctr::lockChrW, lk);
      ctr::statChr[c] = 1;
    }
    std::memcpy(ctr::bufChr + chrTail, p, size_t(n));
    {
      auto lk = ctr::lockSite(ctr::mutexChr, "test feed 2");
      ctr::statChr[c] = 2;
      ctr::lenChr[c] = uint32_t(n);
      chrTail = (chrTail + kSlot) & fe::iMaxBuf_1;
    }
    ctr::lockChrR.notify_all();
  }

  // Polls like the drain. A thread that never answers fails the run after about two minutes
  // of polls rather than hanging it.
  template <class Pred>
  static void poll(std::mutex& m, Pred done) {
    for (int tries = 0; tries < 12000; ++tries) {
      {
        auto lk = ctr::lockSite(m, "test poll");
        if (done()) return;
      }
      ctr::pollSleep();
    }
    std::fputs("a block-mode thread never answered\n", stderr);
    std::abort();
  }

  // The drain's block-mode steps, then the stop.
  void drainAndStop() {
    poll(ctr::mutexChr,
         [&] { return std::all_of(stat.begin(), stat.end(), [](uint32_t s) { return s == 0; }); });
    {
      auto lk = ctr::lockSite(ctr::mutexChr, "test drain");
      words[4] = ctr::kEndInput;
    }
    ctr::lockChrR.notify_all();
    poll(ctr::mutexBwt, [] { return statBwt[0] + statBwt[1] + statBwt[2] == 0; });
    stop();
  }

  // Stop requests to words 4, 5 and 6; waits for the acknowledgements of the threads running.
  void stop(bool collector = true, bool transform = true, bool output = true) {
    {
      auto lk = ctr::lockSite(ctr::mutexChr, "test stop 4");
      words[4] = ctr::kStop;
    }
    ctr::lockBwtW.notify_all();
    {
      auto lk = ctr::lockSite(ctr::mutexBwt, "test stop 5");
      words[5] = ctr::kStop;
      words[6] = ctr::kStop;
    }
    ctr::lockBwtR0.notify_all();
    ctr::lockOut.notify_all();
    poll(ctr::mutexChr, [&] { return !collector || words[4] == 0; });
    poll(ctr::mutexBwt, [&] { return (!transform || words[5] == 0) && (!output || words[6] == 0); });
  }
};

// Stands in for the output thread in block mode; records every block it is given, empty ones too.
void outputStandIn(std::vector<Bytes>* blocks) {
  for (int k = 0;; k = (k + 1) % 3) {
    int64_t n = 0;
    {
      auto lk = ctr::lockSite(ctr::mutexBwt, "test out 1");
      while (statBwt[k] != 2) {
        if (ctr::msgCode[6] == ctr::kStop) {
          ctr::msgCode[6] = 0;
          return;
        }
        ctr::waitSecond(ctr::lockOut, lk);
      }
      statBwt[k] = 3;
      n = lenBwt[k];
    }
    blocks->emplace_back(bufBlk[k], bufBlk[k] + n);
    {
      auto lk = ctr::lockSite(ctr::mutexBwt, "test out 2");
      statBwt[k] = 0;
      lenBwt[k] = 0;
    }
    ctr::lockBwtW.notify_all();
  }
}

// Block lengths by the collector's rule: a block closes after the chunk that takes it above
// iBlock - 1 MiB, or at the end of the stream (possibly empty).
std::vector<int64_t> expectedBlocks(const std::vector<int64_t>& chunks, int64_t block) {
  std::vector<int64_t> out;
  int64_t filled = 0;
  for (int64_t c : chunks) {
    filled += c;
    if (filled > block - kSlot) out.push_back(std::exchange(filled, 0));
  }
  out.push_back(filled);
  return out;
}

// Runs data through the block threads in the given chunks; blocks are cut from the
// data as the collector will cut them and transformed with their start indexes queued.
std::vector<Bytes> runPass(const Bytes& data, const std::vector<int64_t>& chunks, uint32_t blockMiB) {
  Pass pass(blockMiB, 8);
  Bytes stream(data.size());
  size_t at = 0;
  for (int64_t len : expectedBlocks(chunks, int64_t(blockMiB) * kSlot)) {
    if (len > 8) {
      pushStart(zip::bwtForward(data.data() + at, stream.data() + at, uint64_t(len)));
    } else {
      std::copy_n(data.begin() + int64_t(at), len, stream.begin() + int64_t(at));
    }
    at += size_t(len);
  }
  std::vector<Bytes> blocks;
  {
    QuietStdout quiet;
    std::thread(outblock).detach();
    std::thread(outbwt).detach();
    std::thread out(outputStandIn, &blocks);
    at = 0;
    for (int64_t len : chunks) {
      pass.feedChunk(stream.data() + at, len);
      at += size_t(len);
    }
    pass.drainAndStop();
    out.join();
  }
  EXPECT_EQ(rec::stHead, rec::stTail);  // every start index used, none missing
  return blocks;
}

std::vector<int64_t> fullChunks(int64_t total) {
  std::vector<int64_t> c(size_t(total / kSlot), kSlot);
  if (total % kSlot != 0) c.push_back(total % kSlot);
  return c;
}

Bytes joined(const std::vector<Bytes>& blocks) {
  Bytes all;
  for (const auto& b : blocks) all.insert(all.end(), b.begin(), b.end());
  return all;
}

std::vector<size_t> lengths(const std::vector<Bytes>& blocks) {
  std::vector<size_t> l;
  for (const auto& b : blocks) l.push_back(b.size());
  return l;
}

// An empty block at the end passes through all three threads; the output thread does not write it.
TEST(BwtPipeline, FullBlocksAndPartialLastBlock) {
  // 2 MiB blocks: the third block closes with its second chunk (above 1 MiB), so the end of
  // the stream finds the collector with an empty block.
  Bytes data = textBytes((5 << 20) + 123457, 9);
  auto blocks = runPass(data, fullChunks(int64_t(data.size())), 2);
  EXPECT_EQ(lengths(blocks), (std::vector<size_t>{2 << 20, 2 << 20, (1 << 20) + 123457, 0}));
  EXPECT_TRUE(joined(blocks) == data);

  // Here the end of the stream meets a block of one chunk, below the limit: it is passed on.
  data = textBytes((4 << 20) + 999, 8);
  blocks = runPass(data, fullChunks(int64_t(data.size())), 2);
  EXPECT_EQ(lengths(blocks), (std::vector<size_t>{2 << 20, 2 << 20, 999}));
  EXPECT_TRUE(joined(blocks) == data);
}

TEST(BwtPipeline, StreamOfWholeBlocksEndsWithEmptyBlock) {
  Bytes data = randomBytes(4 << 20, 3, 16);
  auto blocks = runPass(data, fullChunks(int64_t(data.size())), 2);
  EXPECT_EQ(lengths(blocks), (std::vector<size_t>{2 << 20, 2 << 20, 0}));
  EXPECT_TRUE(joined(blocks) == data);
}

TEST(BwtPipeline, ThreeBlocksAndFiveBytes) {
  Bytes data = binaryBytes((3 << 20) + 5);
  auto blocks = runPass(data, fullChunks(int64_t(data.size())), 1);
  // With 1 MiB blocks every chunk closes a block; four blocks are written.
  ASSERT_EQ(lengths(blocks), (std::vector<size_t>{1 << 20, 1 << 20, 1 << 20, 5, 0}));
  EXPECT_TRUE(joined(blocks) == data);
  EXPECT_EQ(blocks[3], Bytes(data.end() - 5, data.end()));  // the last 5 bytes untransformed
}

TEST(BwtPipeline, ShortChunksCloseBlocksAboveTheLimit) {
  // Chunks of 700,000 bytes and blocks of 2 MiB: a block closes at 1,400,000 bytes, the first
  // total above 1 MiB; the last block takes the seventh chunk and a chunk of 9 bytes.
  std::vector<int64_t> chunks(7, 700000);
  chunks.push_back(9);
  Bytes data = textBytes(7 * 700000 + 9, 4);
  auto blocks = runPass(data, chunks, 2);
  EXPECT_EQ(lengths(blocks), (std::vector<size_t>{1400000, 1400000, 1400000, 700009}));
  EXPECT_TRUE(joined(blocks) == data);
}

TEST(BwtPipeline, StreamsOfNineAndEightBytes) {
  Bytes nine = textBytes(9, 6);
  auto blocks = runPass(nine, {9}, 1);  // transformed, one start index
  EXPECT_EQ(blocks, (std::vector<Bytes>{nine, {}}));
  Bytes eight = textBytes(8, 6);
  blocks = runPass(eight, {8}, 1);  // stored as it is
  EXPECT_EQ(blocks, (std::vector<Bytes>{eight, {}}));
}

// A stop request reaches the collector while every block buffer is taken, and while it waits
// for chunks in the middle of a block; the transform thread stops while it waits for a block.
TEST(BwtPipeline, StopRequestsEndWaitingThreads) {
  {
    Pass pass(1, 8);
    for (auto& s : statBwt) s = 2;  // three blocks waiting for an output thread that never comes
    std::thread(outblock).detach();
    pass.stop(true, false, false);
  }
  {
    Pass pass(2, 8);
    Bytes chunk = textBytes(1000, 1);
    std::thread(outblock).detach();
    std::thread(outbwt).detach();
    pass.feedChunk(chunk.data(), 1000);  // the block stays open: 1000 bytes are below 1 MiB
    Pass::poll(ctr::mutexChr, [] { return ctr::statChr[0] == 0; });
    pass.stop(true, true, false);
    EXPECT_EQ(statBwt[0], 1u);  // still being filled: nothing was passed on
    EXPECT_EQ(ctr::chrHead, kSlot);
  }
}

}  // namespace
}  // namespace qn::rec::test
