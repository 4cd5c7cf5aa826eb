// The block transform: the forward transform against a naive sorting model, the inverse
// against it (both walks) with its damage checks, and the block-mode threads between a
// feeder and an output stand-in.
#include <algorithm>
#include <thread>

#include "core/bwt.h"
#include "container/container.h"
#include "driver/driver.h"
#include "decoder/decoder.h"
#include "index/index.h"
#include "reconstruct/reconstruct.h"
#include "support.h"

namespace qn::test {
namespace {

constexpr int64_t kSlot = ctr::kSlot;
constexpr uint64_t kDense = core::kBwtDenseMax, kPlain = 0;  // iDenseMax: kPlain forces the plain walk

Bytes str(const char* s) { return Bytes(s, s + std::strlen(s)); }
Bytes binary(size_t n) {  // little-endian counters with a slowly changing high part
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t((uint32_t(i / 4) * 2654435761u >> (i % 7 == 0 ? 3 : 0)) >> (8 * (i % 4)));
  return b;
}

// Allocates the block buffers for blocks of mib MiB in block mode, as the driver does.
void setBlocks(uint32_t mib) {
  fe::param[fe::kBlock] = mib, fe::iBlock = uint64_t(mib) << 20, fe::iBWT = 1;
  ctr::fLen = fe::iBlock;  // a pass that can fill its blocks
  rec::initBwt();
  for (int k = 0; k < 3; ++k) rec::statBwt[k] = 0, rec::lenBwt[k] = 0;
  rec::pBwtW = rec::pBwtR = rec::bufBlk[0];
  rec::stHead = rec::stTail = 0;
}
void pushStart(uint64_t start) { rec::st[rec::stTail] = start, rec::stTail = (rec::stTail + 1) & 0xFFF; }

// Inverts data in block buffer k with the given start index (unless none is to be pushed);
// standard output (the progress marks) goes to the null device meanwhile when quiet.
Bytes invert(const Bytes& data, uint64_t start, int k = 0, bool quiet = true, bool push = true) {
  std::copy(data.begin(), data.end(), rec::bufBlk[k]);
  rec::lenBwt[k] = int64_t(data.size());
  if (push) pushStart(start);
  std::fflush(stdout);
  const int saved = dup(1), null = open("/dev/null", O_WRONLY);
  if (quiet) dup2(null, 1);
  close(null);
  rec::outBwtBlk(k);
  std::fflush(stdout);
  dup2(saved, 1), close(saved);
  return Bytes(rec::bufBlk[k], rec::bufBlk[k] + data.size());
}

using Bwt = Unit;

// Blocks no forward transform made, from any start index: the two walks write the same
// bytes or both find the damage; an empty start ring stops the run.
TEST_F(Bwt, InverseDamageChecks) {
  setBlocks(1);
  std::strcpy(fe::sFileZip, "damaged.qn");
  int damagedRuns = 0;
  for (uint32_t i = 0; i < 40; ++i) {
    const Bytes b = randomBytes(9 + i * 7 % 40, 100 + i, i % 2 ? 3 : 256);
    auto run = [&](uint64_t walk) {
      return runChild([&] {
        rec::iDenseMax = walk;
        const Bytes out = invert(b, i * 13 % b.size());
        std::fwrite(out.data(), 1, out.size(), stdout);
      });
    };
    const Child dense = run(kDense), plain = run(kPlain);
    EXPECT_EQ(dense.status, plain.status) << i;
    EXPECT_EQ(dense.out, plain.out) << i;
    damagedRuns += dense.status == 1;
  }
  EXPECT_GT(damagedRuns, 0);  // both outcomes were met
  EXPECT_LT(damagedRuns, 40);
  // An empty start ring stops with a message of no line feed of its own, not logged.
  std::filesystem::remove(fe::kLogName);
  const Child c = runChild([] { rec::lenBwt[2] = 9, rec::outBwtBlk(2); });
  EXPECT_EQ(c.status, 1);
  EXPECT_NE(c.out.find("BWT block empty"), std::string::npos);
  EXPECT_EQ(c.out.find("BWT block empty\n"), std::string::npos);
  EXPECT_FALSE(exists(fe::kLogName));
}

// The core inverse tells its faults apart (a block too long for the link array before
// any progress, a start outside the block, keys that do not match), and the next block
// inverts with the same work memory whatever the outcome (in a
// run, a start or keys fault stops it with the damage report: the damaged-archive table).
TEST_F(Bwt, InverseFaultsKeepTheWorkMemory) {
  using S = core::BwtStatus;
  setBlocks(1);
  const Bytes text = textBytes(5000, 2);
  Bytes t(text.size());
  const uint64_t start = core::bwtForward(text.data(), t.data(), t.size());
  const std::vector<int> all = {0, 20, 40, 60, 80};
  const struct {
    Bytes block;
    uint64_t start;
    S want;
    std::vector<int> marks;
  } cases[] = {
      {t, start, S::kOk, all},
      {t, t.size(), S::kBadStart, all},         // any start from the length on takes this branch
      {str("aaaaaaaab"), 0, S::kBadKeys, all},  // (a,a,a) wanted 9 times, held 8
      {Bytes((2 << 20) + 1, 'a'), 0, S::kTooLong, {}},  // the dense walk takes 2 bytes per entry
  };
  static std::vector<int> marks;
  for (uint64_t walk : {kDense, kPlain})
    for (const auto& k : cases) {
      const core::BwtWork w{rec::lnkBlk[0], rec::nLnkBlk << 20, rec::h, rec::h1, reinterpret_cast<uint32_t*>(rec::h), walk};
      Bytes b = k.block;
      marks.clear();
      EXPECT_EQ(core::bwtInverse(b.data(), b.size(), k.start, w, [](int p) { marks.push_back(p); }), k.want);
      EXPECT_EQ(marks, k.marks);
      b = t;
      EXPECT_EQ(core::bwtInverse(b.data(), b.size(), start, w), S::kOk);
      EXPECT_TRUE(b == text) << "after status " << int(k.want) << ", walk " << walk;
    }
}

// A de Bruijn sequence of 3-byte words over 256 letters: each of the 2^24 triples once.
Bytes everyTriple() {
  Bytes seq, a(4 * 256, 0);
  auto db = [&](auto&& self, int t, int p) -> void {
    if (t > 3) {
      if (3 % p == 0) seq.insert(seq.end(), a.begin() + 1, a.begin() + p + 1);
      return;
    }
    a[t] = a[t - p];
    self(self, t + 1, p);
    for (int j = a[t - p] + 1; j < 256; ++j) a[t] = uint8_t(j), self(self, t + 1, t);
  };
  db(db, 1, 1);
  return seq;
}

// The dense walk's largest count of triples: every one of the 2^24 in a 16 MiB block.
TEST_F(Bwt, EveryTripleInOneBlock) {
  const Bytes text = everyTriple();
  ASSERT_EQ(text.size(), size_t(1) << 24);
  setBlocks(16);
  Bytes t(text.size());
  const uint64_t start = core::bwtForward(text.data(), t.data(), t.size());
  const core::BwtWork w{rec::lnkBlk[0], rec::nLnkBlk << 20, rec::h, rec::h1, reinterpret_cast<uint32_t*>(rec::h)};
  EXPECT_EQ(core::bwtInverse(t.data(), t.size(), start, w), core::BwtStatus::kOk);
  EXPECT_TRUE(t == text);
}

TEST_F(Bwt, ProgressMarksAllocationAndRelease) {
  setBlocks(1);
  const Child c = runChild([] {
    fe::sTime = std::time(nullptr);
    std::copy_n(randomBytes(100, 1).begin(), 100, rec::bufBlk[0]);
    rec::lenBwt[0] = 100, pushStart(3), rec::outBwtBlk(0);
  });
  EXPECT_TRUE(testing::internal::RE::FullMatch(
      c.out, "\rBWT: 0%  [01]s  \rBWT: 20%  [01]s  \rBWT: 40%  [01]s  \rBWT: 60%  [01]s  \rBWT: 80%  [01]s  "))
      << c.out;
  setBlocks(3);
  for (auto* b : rec::bufBlk) ASSERT_NE(b, nullptr);
  EXPECT_EQ(rec::nLnkBlk, 3u);
  std::memset(rec::bufBlk[2] - 8, 0x5A, (3u << 20) + 16);  // the whole allocation is ours
  fe::iBWT = 0;
  rec::initBwt();
  for (auto* b : rec::bufBlk) EXPECT_EQ(b, nullptr);
  EXPECT_EQ(rec::lnkBlk, nullptr);
  // Blocks the pass can fill are refused when the memory is not there; a short pass asks
  // only for what it can fill.
  EXPECT_HALT((fe::param[fe::kBlock] = 1048576, fe::iBlock = ctr::fLen = 1ull << 40, fe::iBWT = 1, rec::initBwt()),
              "Not enough memory for BWT blocks of 1048576 MiB");
  fe::param[fe::kBlock] = 1048576, fe::iBlock = 1ull << 40, fe::iBWT = 1, ctr::fLen = 6;
  rec::initBwt();
  EXPECT_EQ(rec::nLnkBlk, 2u);
}

// ---- Block mode threads: the real collector and inverse transform ----

// The character ring and control words of one pass, as the stream reset leaves them.
struct Pass {
  Bytes ring = Bytes(8 * kSlot);
  std::vector<uint32_t> stat = std::vector<uint32_t>(8), len = std::vector<uint32_t>(8);
  uint32_t words[7] = {};
  int64_t chrTail = 0;

  explicit Pass(uint32_t blockMiB) {
    setBlocks(blockMiB);
    fe::iMaxBuf = 8 * kSlot, fe::iMaxBuf_1 = fe::iMaxBuf - 1;
    ctr::bufChr = ring.data(), ctr::statChr = stat.data(), ctr::lenChr = len.data(), ctr::msgCode = words;
    ctr::chrHead = 0;
  }
  ~Pass() { ctr::msgCode = nullptr, ctr::bufChr = nullptr, ctr::statChr = ctr::lenChr = nullptr; }

  void feedChunk(const uint8_t* p, int64_t n) {  // the interpreter's side
    const int64_t c = chrTail / kSlot;
    {
      auto lk = ctr::lockSite(ctr::mutexChr, "test feed");
      while (ctr::statChr[c] != 0) ctr::waitSecond(ctr::lockChrW, lk);
      ctr::statChr[c] = 1;
    }
    std::memcpy(ctr::bufChr + chrTail, p, size_t(n));
    ctr::lockSite(ctr::mutexChr, "test feed"), ctr::statChr[c] = 2, ctr::lenChr[c] = uint32_t(n);
    chrTail = (chrTail + kSlot) & fe::iMaxBuf_1;
    ctr::lockChrR.notify_all();
  }
  template <class Pred>
  static void poll(std::mutex& m, Pred done) {  // like the drain
    while (!(ctr::lockSite(m, "test poll"), done())) ctr::pollSleep();
  }
  // Stop requests to words 4, 5 and 6, then the acknowledgements of the threads running.
  void stop(bool collector, bool transform, bool output) {
    ctr::lockSite(ctr::mutexChr, "test"), words[4] = ctr::kStop;
    ctr::lockBwtW.notify_all();
    ctr::lockSite(ctr::mutexBwt, "test"), words[5] = words[6] = ctr::kStop;
    ctr::lockBwtR0.notify_all(), ctr::lockOut.notify_all();
    poll(ctr::mutexChr, [&] { return !collector || words[4] == 0; });
    poll(ctr::mutexBwt, [&] { return (!transform || words[5] == 0) && (!output || words[6] == 0); });
  }
};

// Stands in for the output thread in block mode; records every block, empty ones too.
void outputStandIn(std::vector<Bytes>* blocks) {
  for (int k = 0;; k = (k + 1) % 3) {
    auto lk = ctr::lockSite(ctr::mutexBwt, "test out");
    while (rec::statBwt[k] != 2) {
      if (ctr::msgCode[6] == ctr::kStop) return void(ctr::msgCode[6] = 0);
      ctr::waitSecond(ctr::lockOut, lk);
    }
    blocks->emplace_back(rec::bufBlk[k], rec::bufBlk[k] + rec::lenBwt[k]);
    rec::statBwt[k] = 0, rec::lenBwt[k] = 0;
    lk.unlock();
    ctr::lockBwtW.notify_all();
  }
}

// Runs data through the block threads in the given chunks: blocks close after the chunk
// that takes them above iBlock - 1 MiB, or at the end (possibly empty); blocks over 8
// bytes are transformed with their start indexes queued. Returns the output's block lengths.
std::vector<size_t> runPass(const Bytes& data, const std::vector<int64_t>& chunks, uint32_t blockMiB) {
  Pass pass(blockMiB);
  Bytes stream(data.size());
  std::vector<int64_t> cut;
  int64_t filled = 0;
  for (int64_t c : chunks)
    if ((filled += c) > int64_t(blockMiB) * kSlot - kSlot) cut.push_back(std::exchange(filled, 0));
  cut.push_back(filled);
  size_t at = 0;
  for (int64_t len : cut) {
    if (uint64_t(len) > core::kBwtStoredMax) pushStart(core::bwtForward(data.data() + at, stream.data() + at, uint64_t(len)));
    else std::copy_n(data.begin() + int64_t(at), len, stream.begin() + int64_t(at));
    at += size_t(len);
  }
  std::vector<Bytes> blocks;
  testing::internal::CaptureStdout();  // the transform's progress marks
  std::thread(rec::outblock).detach();
  std::thread(rec::outbwt).detach();
  std::thread out(outputStandIn, &blocks);
  at = 0;
  for (int64_t len : chunks) pass.feedChunk(stream.data() + at, len), at += size_t(len);
  Pass::poll(ctr::mutexChr, [&] { return std::all_of(pass.stat.begin(), pass.stat.end(), [](uint32_t s) { return s == 0; }); });
  ctr::lockSite(ctr::mutexChr, "test drain"), pass.words[4] = ctr::kEndInput;
  ctr::lockChrR.notify_all();
  Pass::poll(ctr::mutexChr, [&] { return pass.words[4] != ctr::kEndInput; });  // as the drain does
  Pass::poll(ctr::mutexBwt, [] { return rec::statBwt[0] + rec::statBwt[1] + rec::statBwt[2] == 0; });
  pass.stop(true, true, true);
  out.join();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(rec::stHead, rec::stTail);  // every start index used, none missing
  Bytes joined;
  std::vector<size_t> lengths;
  for (const auto& b : blocks) joined.insert(joined.end(), b.begin(), b.end()), lengths.push_back(b.size());
  EXPECT_TRUE(joined == data);
  return lengths;
}

std::vector<int64_t> fullChunks(int64_t total) {
  std::vector<int64_t> c(size_t(total / kSlot), kSlot);
  if (total % kSlot != 0) c.push_back(total % kSlot);
  return c;
}

using BlockThreads = Unit;

TEST_F(BlockThreads, BlocksCloseByTheCollectorsRule) {
  const struct {
    Bytes data;
    std::vector<int64_t> chunks;  // empty: whole 1 MiB chunks
    uint32_t blockMiB;
    std::vector<size_t> want;
  } cases[] = {
      // 2 MiB blocks: the third closes with its second chunk, the end meets an empty block.
      {textBytes((5 << 20) + 123457, 9), {}, 2, {2 << 20, 2 << 20, (1 << 20) + 123457, 0}},
      {textBytes((4 << 20) + 999, 8), {}, 2, {2 << 20, 2 << 20, 999}},  // one chunk below the limit
      {randomBytes(4 << 20, 3, 16), {}, 2, {2 << 20, 2 << 20, 0}},
      {binary((3 << 20) + 5), {}, 1, {1 << 20, 1 << 20, 1 << 20, 5, 0}},  // 5 bytes untransformed
      // 700,000-byte chunks: blocks close at 1,400,000, the first total above 1 MiB.
      {textBytes(7 * 700000 + 9, 4), {700000, 700000, 700000, 700000, 700000, 700000, 700000, 9}, 2,
       {1400000, 1400000, 1400000, 700009}},
      {textBytes(9, 6), {9}, 1, {9, 0}},  // transformed, one start index
      {textBytes(8, 6), {8}, 1, {8, 0}},  // stored as it is
  };
  for (const auto& k : cases) {
    const auto chunks = k.chunks.empty() ? fullChunks(int64_t(k.data.size())) : k.chunks;
    EXPECT_EQ(runPass(k.data, chunks, k.blockMiB), k.want) << k.data.size();
  }
}

// A stop request reaches the collector while every block buffer is taken, and while it
// waits for chunks in the middle of a block; the transform stops while it waits for one.
TEST_F(BlockThreads, StopRequestsEndWaitingThreads) {
  {
    Pass pass(1);
    for (auto& s : rec::statBwt) s = 2;  // three blocks waiting for an output thread that never comes
    std::thread(rec::outblock).detach();
    pass.stop(true, false, false);
  }
  Pass pass(2);
  const Bytes chunk = textBytes(1000, 1);
  std::thread(rec::outblock).detach();
  std::thread(rec::outbwt).detach();
  pass.feedChunk(chunk.data(), 1000);  // the block stays open: 1000 bytes are below 1 MiB
  Pass::poll(ctr::mutexChr, [] { return ctr::statChr[0] == 0; });
  pass.stop(true, true, false);
  EXPECT_EQ(rec::statBwt[0], 1u);  // still being filled: nothing was passed on
  EXPECT_EQ(ctr::chrHead, kSlot);
}

}  // namespace
}  // namespace qn::test
