// Input stream ring: two 2 MiB buffers between the driver and the decoder thread, the
// per-pass reset of every stage's hand-off state, and the end-of-stream drain.
#include <cstring>

#include "container/container.h"
#include "decoder/decoder.h"
#include "driver/driver.h"
#include "frontend/frontend.h"
#include "index/index.h"
#include "reconstruct/reconstruct.h"

namespace qn::drv {

using namespace ctr;

namespace {

int slotCount() { return static_cast<int>(fe::iMaxBuf / kSlot); }

// Polls a stage's state under its own mutex every 10 ms until `idle` holds.
template <typename Idle>
void pollUntil(std::mutex& m, const char* label, Idle idle) {
  for (;;) {
    {
      auto lk = lockSite(m, label);
      if (idle()) return;
    }
    pollSleep();
  }
}

// An instruction buffer is full or being read: what the interpreter finds in it comes first.
bool interpreterBusy() {
  auto lk = lockSite(mutexCmd, "flushStreamUnzip 3");
  for (const uint32_t st : rec::statCmd)
    if (st == 2 || st == 3) return true;
  return false;
}

// The drain's first wait: until the decoder has met its end. A decoder that waits for
// input while nothing is full and the driver still holds a buffer will never be fed again:
// the stream ran out before its end code. That is reported once the interpreter has done
// with the buffers it was handed, so that a wrong password, which it finds in the first
// one, is reported as such on every run, whichever thread is faster; but after half a
// second regardless, since the interpreter may itself wait for stages that wait for the
// decoder (block mode, where a block lacks its start index).
void awaitDecoderEnd() {
  constexpr int kGracePolls = 50;
  int grace = kGracePolls;
  for (;;) {
    bool starved = false;
    {
      auto lk = lockSite(mutexZip, "flushStreamUnzip 1");
      if (statZip[0] + statZip[1] == 0 || inzipDone) return;
      starved = inzipWaiting && statZip[0] != 2 && statZip[1] != 2;
    }
    if (starved && (!interpreterBusy() || --grace < 0)) {
      fe::errf(txt::kNoEndCode, fe::sFileZip);
      fe::halt();
    }
    pollSleep();
  }
}

}  // namespace

void initStreamUnzip(const char* expected) {
  statZip[0] = 0;
  statZip[1] = 3;
  lenZip[0] = lenZip[1] = 0;
  dec::bufBin = bufZip[1];
  dec::iBin = 0;
  rec::statCmd[0] = rec::statCmd[1] = 0;
  rec::lenCmd[0] = rec::lenCmd[1] = 0;
  rec::nCmdW = rec::nCmdR = rec::iCmdRTail = 0;
  for (int c = 0; c < slotCount(); ++c) statChr[c] = lenChr[c] = 0;
  rec::stTail = rec::stHead = 0;
  rec::iChr = rec::chrTail = ctr::chrHead = 0;
  for (int k = 0; k < 3; ++k) rec::lenBwt[k] = rec::statBwt[k] = 0;
  rec::pBwtW = rec::pBwtR = rec::bufBlk[0];
  idx::lenOutStream = 0;
  lenInStream = 0;
  bufInStream = bufZip[0];
  idx::bufOutStream = fe::iBWT != 0 ? rec::bufBlk[0] : bufChr;
  bufCheckStr[0] = 0;
  if (expected != nullptr) {
    std::strncpy(bufCheckStr, expected, sizeof bufCheckStr - 1);
    bufCheckStr[sizeof bufCheckStr - 1] = 0;
  }
  idx::iFileCur = 0;
  inzipWaiting = inzipDone = false;
}

void inStreamUnzip(uint8_t* data, int32_t n) {
  lenInStream = n;
  // Compared unsigned, so that a negative count is refused as well.
  if (static_cast<uint32_t>(lenInStream) > kChunk) {
    fe::errf(txt::kInStreamOverflow, static_cast<unsigned>(lenInStream), kChunk);
    fe::halt();
  }
  const int k = data == bufZip[1] ? 1 : 0;
  {
    auto lk = lockSite(mutexZip, "switch_inStreamUnzip 1");
    if (inzipDone) {  // the stream has ended: later chunks are ignored
      lenInStream = 0;
      return;
    }
    statZip[k] = 2;
    lenZip[k] = static_cast<uint32_t>(lenInStream);
  }
  lockZip.notify_all();
  auto lk = lockSite(mutexZip, "switch_inStreamUnzip 2");
  while (statZip[1 - k] != 0) waitSecond(lockIn, lk);
  statZip[1 - k] = 1;
  bufInStream = bufZip[1 - k];
  lenInStream = 0;
}

void flushStreamUnzip(uint32_t code) {
  if (lenInStream > 0) inStreamUnzip(bufInStream, lenInStream);
  awaitDecoderEnd();
  {
    auto lk = lockSite(mutexZip, "flushStreamUnzip 2");
    msgCode[2] = code;
  }
  lockZip.notify_all();
  // The decoder must have taken the end-of-input code before the stop request replaces it.
  pollUntil(mutexZip, "flushStreamUnzip 2", [] { return inzipDone; });
  pollUntil(mutexCmd, "flushStreamUnzip 3", [] { return rec::statCmd[0] + rec::statCmd[1] == 0; });
  pollUntil(mutexChr, "flushStreamUnzip 4", [] {
    for (int c = slotCount() - 1; c >= 0; --c)
      if (statChr[c] != 0) return false;
    return true;
  });
  if (fe::iBWT != 1) return;
  {
    auto lk = lockSite(mutexChr, "flushStreamUnzip 5");
    msgCode[4] = code;
  }
  lockChrR.notify_all();
  pollUntil(mutexBwt, "flushStreamUnzip 6",
            [] { return rec::statBwt[0] + rec::statBwt[1] + rec::statBwt[2] == 0; });
}

}  // namespace qn::drv
