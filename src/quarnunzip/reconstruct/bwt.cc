// Block (BWT) path: the block buffers, the collector thread and the inverse-transform thread.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <system_error>
#include <thread>

#include "container/container.h"
#include "core/huge.h"
#include "frontend/frontend.h"
#include "reconstruct/reconstruct.h"

namespace qn::rec {
namespace {

constexpr uint64_t kSub = core::kBwtLinkSub;  // link entries per sub-array (8 MiB)
constexpr uint64_t kKeys = core::kBwtKeys;    // entries of h
constexpr uint64_t kPairs = core::kBwtPairs;  // entries of h1
constexpr int64_t kSlot = ctr::kSlot;

// The block buffer p is: 0 for bufBlk[0], 1 for bufBlk[1], otherwise 2.
int blkIndex(const uint8_t* p) { return p == bufBlk[0] ? 0 : p == bufBlk[1] ? 1 : 2; }

[[noreturn]] void damaged() {
  fe::errf(txt::kDamagedStream, fe::sFileZip);
  fe::halt();
}

[[noreturn]] void failAlloc(const fe::Text& t) {
  fe::err(t.cn, t.en);
  fe::halt();
}

// ---- Memory ----

// Reads the first number after key in a text file such as /proc/meminfo; -1 if absent.
int64_t readNumber(const char* path, const char* key) {
  FILE* fp = std::fopen(path, "r");
  if (fp == nullptr) return -1;
  char line[256];
  int64_t value = -1;
  size_t keyLen = std::strlen(key);
  while (std::fgets(line, sizeof line, fp) != nullptr) {
    if (std::strncmp(line, key, keyLen) != 0) continue;
    char* end = nullptr;
    long long v = std::strtoll(line + keyLen, &end, 10);
    if (end != line + keyLen) value = v;
    break;
  }
  std::fclose(fp);
  return value;
}

// Bytes the system can still give us without the out-of-memory killer stepping in:
// available memory, further bounded by the control group's limit when there is one.
uint64_t memoryAvailable() {
  int64_t kib = readNumber("/proc/meminfo", "MemAvailable:");
  uint64_t avail =
      kib >= 0 ? uint64_t(kib) * 1024 : uint64_t(sysconf(_SC_AVPHYS_PAGES)) * uint64_t(sysconf(_SC_PAGESIZE));
  int64_t limit = readNumber("/sys/fs/cgroup/memory.max", "");  // "max" reads as absent
  int64_t used = readNumber("/sys/fs/cgroup/memory.current", "");
  if (limit > 0 && used >= 0) {
    uint64_t room = limit > used ? uint64_t(limit - used) : 0;
    if (room < avail) avail = room;
  }
  return avail;
}

// The most a block of this pass can hold: the block size, or the pass's length and one
// chunk more (the interpreter's limit), in whole MiB. A large block size on little data
// neither asks for nor reserves memory the data cannot use.
uint64_t roomForBlocks() {
  if (ctr::fLen >= fe::iBlock) return fe::iBlock;
  return std::min<uint64_t>((ctr::fLen / kSlot + 2) * kSlot, fe::iBlock);
}

// Refuses, before any decoding, blocks whose buffers the system cannot hold.
void checkMemory(uint64_t subs) {
  uint64_t need = subs * kSub * 8 + 3 * (blockRoom + 16) + subs * sizeof(uint64_t*);
  if (h == nullptr) need += (kKeys + kPairs) * sizeof(uint64_t);
  if (need > memoryAvailable()) {
    fe::errf(txt::kBlockMemory, fe::param[fe::kBlock]);
    fe::halt();
  }
}

void releaseBwt() {
  for (auto& b : bufBlk) {
    if (b != nullptr) std::free(b - 8);
    b = nullptr;
  }
  if (lnkBlk != nullptr) {
    std::free(lnkBlk[0]);  // the sub-arrays share one allocation
    std::free(lnkBlk);
  }
  lnkBlk = nullptr;
  nLnkBlk = 0;
}

// The walk of the inverse transform jumps at random through h and the link array, so
// these ask for huge pages. The link array is one piece: the dense walk addresses it as one
// array of 32-bit rows.
using core::allocHuge;

// h and the pair counts live for the process. h comes zeroed from the system, page by page
// as it is first touched; the dense walk keeps its counters there (the helper's in the upper half).
void allocKeyTables() {
  if (h == nullptr) h = static_cast<uint64_t*>(core::allocZeroedHuge(kKeys * sizeof(uint64_t)));
  if (h1 == nullptr) h1 = static_cast<uint64_t*>(std::calloc(kPairs, sizeof(uint64_t)));
  if (h1Second == nullptr) h1Second = static_cast<uint64_t*>(std::calloc(kPairs, sizeof(uint64_t)));
  if (h == nullptr || h1 == nullptr || h1Second == nullptr) {
    fe::errf(txt::kBlockMemory, fe::param[fe::kBlock]);
    fe::halt();
  }
}

// ---- Collector ----

// Stop request in control word 4 (under mutexChr): acknowledges it and returns true.
bool collectorStopped(const char* site) {
  auto lk = ctr::lockSite(ctr::mutexChr, site);
  if (ctr::msgCode[4] != ctr::kStop) return false;
  ctr::msgCode[4] = 0;
  return true;
}

// Step 1 of the collector: claims the block buffer pBwtW; -1 on a stop request.
// The wait also watches control word 4, so the collector can be stopped
// while all three block buffers are in use.
int claimBlock() {
  for (;;) {
    if (collectorStopped("switch_outblock1")) return -1;
    auto lk = ctr::lockSite(ctr::mutexBwt, "switch_outblock1");
    int k = blkIndex(pBwtW);
    if (statBwt[k] == 0) {
      statBwt[k] = 1;
      return k;
    }
    ctr::waitSecond(ctr::lockBwtW, lk);
    if (statBwt[k] == 0) {
      statBwt[k] = 1;
      return k;
    }
  }
}

// Hands the block in pBwtW, of len bytes, to the inverse transform.
void passBlock(int64_t len) {
  {
    auto lk = ctr::lockSite(ctr::mutexBwt, "switch_outblock2");
    int k = blkIndex(pBwtW);
    statBwt[k] = 4;
    lenBwt[k] = len;
    pBwtW = bufBlk[(k + 1) % 3];
  }
  ctr::lockBwtR0.notify_all();
}

// End of input: passes the partial block on, then waits for the stop request. The stop
// signals lockBwtW, not the lockChrR of this wait, so the word is polled every 10 ms like
// the stop's own acknowledgements: a timed wait alone would hold every pass up to a second.
void endCollector(int64_t filled) {
  passBlock(filled);
  for (;;) {
    {
      auto lk = ctr::lockSite(ctr::mutexChr, "switch_outBlk000");
      if (ctr::msgCode[4] == ctr::kStop) {
        ctr::msgCode[4] = 0;
        return;
      }
    }
    ctr::pollSleep();
  }
}

// ---- Inverse transform ----

void progress(int percent) {
  if (!fe::bProgress) return;
  auto secs = int32_t(uint32_t(std::time(nullptr)) - uint32_t(fe::sTime));
  std::printf("%cBWT: %d%%  %ds  ", 13, percent, secs);
  std::fflush(stdout);
}

// Work memory of inverter w. Both halves serve one inverter; with two, each dense block
// needs n / 2 link entries and min(n, 2^24) counters, so the helper takes the upper half
// of the link memory and of h.
core::BwtWork workOf(int w) {
  auto* counters = reinterpret_cast<uint32_t*>(h);
  if (w == 0) return {lnkBlk[0], nLnkBlk * kSub, h, h1, counters, iDenseMax};
  const uint64_t half = nLnkBlk * kSub / 2;
  return {lnkBlk[0] + half, half, nullptr, h1Second, counters + kKeys, iDenseMax};
}

// A fault of block `ticket`: reported once every earlier block has been inverted, as a single
// inverter would have found an earlier fault first.
[[noreturn]] void blockFault(uint64_t ticket, int w, bool empty) {
  {
    auto lk = ctr::lockSite(ctr::mutexBwt, "outBwtBlk");
    while (bwtBusy[1 - w] < ticket) ctr::waitSecond(ctr::lockBwtR0, lk);
  }
  if (!empty) damaged();
  std::fputs("BWT block empty", stdout);
  fe::halt();
}

// Waits for the turn of `ticket`, then takes the next start index from the st ring (unless
// the block is stored as it is) and passes the turn on. An empty ring stops the run.
uint64_t takeStart(uint64_t ticket, int w, bool stored) {
  uint64_t idx = 0;
  {
    auto lk = ctr::lockSite(ctr::mutexBwt, "outBwtBlk");
    while (bwtStarted != ticket) ctr::waitSecond(ctr::lockBwtR0, lk);
    if (!stored) {
      if (stHead == stTail) {
        lk.unlock();
        blockFault(ticket, w, true);
      }
      idx = st[stHead];
      stHead = (stHead + 1) & core::kStMask;
    }
    ++bwtStarted;
  }
  ctr::lockBwtR0.notify_all();
  return idx;
}

// Inverts block buffer k in place with the work memory of inverter w.
void invert(int k, int w, uint64_t ticket) {
  uint8_t* b = bufBlk[k];
  int64_t len = lenBwt[k];
  if (len <= int64_t(core::kBwtStoredMax)) {  // stored as it is, with no start index
    takeStart(ticket, w, true);
    return;
  }
  uint64_t n = uint64_t(len);
  const core::BwtWork work = workOf(w);
  if (core::bwtInverseSort(b, n, work, progress) != core::BwtStatus::kOk) blockFault(ticket, w, false);
  if (core::bwtInverseWalk(b, n, takeStart(ticket, w, false), work) != core::BwtStatus::kOk)
    blockFault(ticket, w, false);
}

// Claims the next collected block for inverter w (mutexBwt held): its index, or -1 when the
// inverter is to stop (outbwt: the stop request in control word 5, left for outbwt to answer).
int claimCollected(int w, std::unique_lock<std::mutex>& lk) {
  for (;;) {
    const int k = blkIndex(pBwtR);
    if (statBwt[k] == 4) {
      statBwt[k] = 5;
      pBwtR = bufBlk[(k + 1) % 3];
      bwtBusy[w] = bwtTickets++;
      return k;
    }
    if (w == 0 ? ctr::msgCode[5] == ctr::kStop : helperStop) return -1;
    ctr::waitSecond(ctr::lockBwtR0, lk);
  }
}

// Has the system back the link memory inverter w will write, while the first blocks are
// still being collected: the pages' first touch (cleared by the kernel, and slow on a
// virtual machine) would otherwise fall inside the inverse of the first block.
void readyWork(int w) {
  const core::BwtWork work = workOf(w);
  const uint64_t entries = std::min(work.linkEntries, core::bwtLinkEntries(blockRoom, work));
  madvise(work.link, entries * sizeof(uint64_t), MADV_POPULATE_WRITE);  // a hint: failure changes nothing
}

// The loop of inverter w, until its stop.
void inverter(int w) {
  readyWork(w);
  for (;;) {
    int k = 0;
    {
      auto lk = ctr::lockSite(ctr::mutexBwt, "switch_outbwt1");
      k = claimCollected(w, lk);
      if (k < 0) return;
    }
    invert(k, w, bwtBusy[w]);
    {
      auto lk = ctr::lockSite(ctr::mutexBwt, "switch_outbwt2");
      statBwt[k] = 2;
      bwtBusy[w] = kIdle;
    }
    ctr::lockOut.notify_all();
    ctr::lockBwtR0.notify_all();
  }
}

// Starts the helper inverter; without it (one core, blocks too long for the dense walk, no
// thread to be had) outbwt inverts alone.
void startHelper() {
  {
    auto lk = ctr::lockSite(ctr::mutexBwt, "switch_outbwt1");
    bwtTickets = bwtStarted = 0;
    bwtBusy[0] = bwtBusy[1] = kIdle;
    helperStop = false;
    helperRunning = twoInverters;
  }
  if (!twoInverters) return;
  ++ctr::threadsAlive;
  try {
    std::thread([] {
      struct Ended {
        ~Ended() {
          ctr::lockSite(ctr::mutexBwt, "switch_outbwt2"), helperRunning = false;
          --ctr::threadsAlive;
        }
      } ended;
      inverter(1);
    }).detach();
  } catch (const std::system_error&) {
    --ctr::threadsAlive;
    ctr::lockSite(ctr::mutexBwt, "switch_outbwt1"), helperRunning = false;
  }
}

// Stops the helper and waits until it has ended.
void stopHelper() {
  ctr::lockSite(ctr::mutexBwt, "switch_outbwt1"), helperStop = true;
  ctr::lockBwtR0.notify_all();
  while (ctr::lockSite(ctr::mutexBwt, "switch_outbwt1"), helperRunning) ctr::pollSleep();
}

}  // namespace

void outBwtBlk(int k) {
  uint64_t ticket = 0;
  {
    auto lk = ctr::lockSite(ctr::mutexBwt, "outBwtBlk");
    ticket = bwtBusy[0] = bwtTickets++;
  }
  invert(k, 0, ticket);
  ctr::lockSite(ctr::mutexBwt, "outBwtBlk"), bwtBusy[0] = kIdle;
}

void initBwt() {
  releaseBwt();
  if (fe::iBWT == 0) return;
  blockRoom = roomForBlocks();
  const uint64_t subs = blockRoom / core::kMiB;
  checkMemory(subs);
  allocKeyTables();
  // Huge pages here too: the collector is the first to touch a block buffer, and on a
  // virtual machine a first touch of each 4 KiB page costs far more than the copy into it.
  for (auto& b : bufBlk) {
    auto* p = static_cast<uint8_t*>(allocHuge(blockRoom + 16));
    if (p == nullptr) failAlloc(txt::kAllocBwtBlock);
    b = p + 8;
  }
  lnkBlk = static_cast<uint64_t**>(std::calloc(subs, sizeof(uint64_t*)));
  if (lnkBlk == nullptr) failAlloc(txt::kAllocBwtLink);
  auto* all = static_cast<uint64_t*>(allocHuge(subs * kSub * sizeof(uint64_t)));
  if (all == nullptr) failAlloc(txt::kAllocBwtSubLink);
  for (uint64_t i = 0; i < subs; ++i) lnkBlk[i] = all + i * kSub;
  nLnkBlk = subs;
  twoInverters = std::thread::hardware_concurrency() > 1 && blockRoom <= std::min(iDenseMax, core::kBwtDenseMax);
}

void outblock() {
  for (;;) {
    if (claimBlock() < 0) return;
    int64_t len = outBlk();
    if (len < 0) return;
    passBlock(len);
  }
}

int64_t outBlk() {
  int64_t filled = 0;
  const int64_t limit = int64_t(fe::iBlock) - kSlot;
  while (filled <= limit) {
    int64_t c = 0;
    int64_t len = 0;
    {
      auto lk = ctr::lockSite(ctr::mutexChr, "switch_outBlk1");
      c = ctr::chrHead / kSlot;
      while (ctr::statChr[c] != 2) {
        uint32_t& word = ctr::msgCode[4];
        if (word == ctr::kStop) {
          word = 0;
          return -1;
        }
        if (word == ctr::kEndInput) {
          word = 0;
          lk.unlock();
          endCollector(filled);
          return -1;
        }
        ctr::waitSecond(ctr::lockChrR, lk);
      }
      ctr::statChr[c] = 3;
      len = ctr::lenChr[c];
    }
    if (len > kSlot || uint64_t(filled + len) > blockRoom) damaged();
    std::memcpy(pBwtW + filled, ctr::bufChr + c * kSlot, size_t(len));
    {
      auto lk = ctr::lockSite(ctr::mutexChr, "switch_outBlk2");
      ctr::statChr[c] = 0;
      ctr::lenChr[c] = 0;
      ctr::chrHead = (ctr::chrHead + kSlot) & fe::iMaxBuf_1;
    }
    ctr::lockChrW.notify_all();
    filled += len;
  }
  return filled;
}

void outbwt() {
  startHelper();
  inverter(0);
  stopHelper();
  ctr::lockSite(ctr::mutexBwt, "switch_outbwt1"), ctr::msgCode[5] = 0;
}

}  // namespace qn::rec
