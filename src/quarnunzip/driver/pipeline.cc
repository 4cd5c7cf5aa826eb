// Pipeline frame: working buffers, control words, thread start and ordered stop.
#include <sys/mman.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <system_error>
#include <thread>

#include "container/container.h"
#include "decoder/decoder.h"
#include "driver/driver.h"
#include "frontend/frontend.h"
#include "index/index.h"
#include "reconstruct/reconstruct.h"

namespace qn::drv {

using namespace ctr;

namespace {

// Every allocation failure of the frame is fatal.
void* allocOrHalt(size_t bytes, const fe::Text& t) {
  void* p = std::malloc(bytes);
  if (p == nullptr) {
    fe::err(t.cn, t.en);
    fe::halt();
  }
  return p;
}

// The character ring is reserved, not committed: a large ring on little data touches only
// the pages the data reaches, and the system's commit limit does not refuse it. Huge pages,
// where the system gives them, spare the interpreter's copies from far back a TLB miss each;
// the interpreter backs them ahead of its writes while it waits for the decoder.
uint8_t* reserveRing(size_t bytes) {
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) {
    fe::err(txt::kAllocChr.cn, txt::kAllocChr.en);
    fe::halt();
  }
  madvise(p, bytes, MADV_HUGEPAGE);  // a hint: failure changes nothing
  lenChrAlloc = bytes;
  lenChrBacked = 0;
  return static_cast<uint8_t*>(p);
}

}  // namespace

void freeRing() {
  if (bufChrAlloc != nullptr) munmap(bufChrAlloc, lenChrAlloc);
  std::free(statChr);
  std::free(lenChr);
  std::free(rec::bufCmd[0]);
  std::free(rec::bufCmd[1]);
  bufChrAlloc = bufChr = nullptr;
  statChr = lenChr = nullptr;
  rec::bufCmd[0] = rec::bufCmd[1] = nullptr;
}

namespace {

// Starts one detached pipeline thread, counted in threadsAlive until its body has ended
// (returned, or left through a host's halt hook); a creation failure stops the program.
void startThread(void (*body)(), const fe::Text& failure) {
  struct Alive {
    ~Alive() { --threadsAlive; }
  };
  ++threadsAlive;
  try {
    std::thread([body] {
      Alive alive;
      body();
    }).detach();
  } catch (const std::system_error&) {
    --threadsAlive;
    fe::err(failure.cn, failure.en);
    fe::halt();
  }
}

// Posts the stop request into one control word, then wakes its thread.
void postStop(std::mutex& m, const char* label, int word, std::condition_variable& cv) {
  {
    auto lk = lockSite(m, label);
    msgCode[word] = kStop;
  }
  cv.notify_all();
}

// Polls one control word every 10 ms until its thread has answered with 0.
void awaitAck(std::mutex& m, const char* label, int word) {
  for (;;) {
    {
      auto lk = lockSite(m, label);
      if (msgCode[word] == 0) return;
    }
    pollSleep();
  }
}

}  // namespace

void initBuf(int64_t size) {
  const bool first = bufChrAlloc == nullptr;
  if (!first) freeRing();
  const size_t slots = static_cast<size_t>(size) / kSlot;
  bufChrAlloc = reserveRing(static_cast<size_t>(size) + 24);
  bufChr = bufChrAlloc + 8;
  statChr = static_cast<uint32_t*>(allocOrHalt(slots * 4, txt::kAllocStat));
  lenChr = static_cast<uint32_t*>(allocOrHalt(slots * 4, txt::kAllocLen));
  // The pair of instruction-buffer pointers is a fixed array here; only the buffers are allocated.
  for (auto& b : rec::bufCmd) b = static_cast<uint32_t*>(allocOrHalt(kCmdWords * 4, txt::kAllocSubCmd));
  if (first) init();
}

void init() {
  for (int k = 0; k < 2; ++k) {
    if (bufZip[k] != nullptr) continue;
    sizeZip[k] = kChunk;
    bufZip[k] = static_cast<uint8_t*>(allocOrHalt(kChunk, txt::kAllocZip));
  }
  dec::model.setParams(fe::iEscape, fe::iFlush);
  dec::model.init();
  dec::iBit = dec::iBin = 0;
  dec::bufBit = 0;
  dec::H = 0xFFFFFFFF;
  dec::L = 0;
}

// The mutexes and conditions are process-wide objects, ready from program start;
// nothing is left to create, and the second pass reuses them.
void threadCreateLock() {}

void threadStart() {
  msgCode = static_cast<uint32_t*>(allocOrHalt(7 * sizeof(uint32_t), txt::kAllocThread));
  for (int w = 0; w < 7; ++w) msgCode[w] = 0;
  startThread(dec::inzip, txt::kThreadInzip);
  startThread(rec::incmd, txt::kThreadIncmd);
  if (fe::iBWT == 1) {
    startThread(rec::outblock, txt::kThreadOutblock);
    startThread(rec::outbwt, txt::kThreadOutbwt);
  }
  startThread(idx::outstream, txt::kThreadOutstream);
}

void threadStop() {
  const bool block = fe::iBWT != 0;
  postStop(mutexZip, "threadStop 2", 2, lockZip);
  postStop(mutexCmd, "threadStop 3", 3, lockCmdR);
  if (!block) {
    postStop(mutexChr, "threadStop 5", 6, lockOut);
  } else {
    postStop(mutexChr, "threadStop 4", 4, lockBwtW);
    postStop(mutexBwt, "threadStop 5", 5, lockBwtR0);
    postStop(mutexBwt, "threadStop 6", 6, lockOut);
  }
  awaitAck(mutexZip, "threadStop 02", 2);
  awaitAck(mutexCmd, "threadStop 03", 3);
  if (!block) {
    awaitAck(mutexChr, "threadStop 06", 6);
  } else {
    awaitAck(mutexChr, "threadStop 04", 4);
    awaitAck(mutexBwt, "threadStop 05", 5);
    awaitAck(mutexBwt, "threadStop 06", 6);
  }
  std::free(msgCode);
  msgCode = nullptr;
}

}  // namespace qn::drv
