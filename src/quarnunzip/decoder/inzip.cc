// Coder reset, password priming, the input thread inzip, the input buffer switch and
// the end-of-input procedure.
#include <algorithm>

#include "container/container.h"
#include "core/coder.h"
#include "decoder/decoder.h"
#include "frontend/frontend.h"
#include "reconstruct/reconstruct.h"

namespace qn::dec {

using namespace core;

void syncInit() {
  iBit = 0;
  iBin = 0;
  rec::iChr = 0;
  rec::stTail = 0;
  rec::stHead = 0;
  bufBin = ctr::bufZip[0];
  H = core::kInitialHigh;
  L = core::kInitialLow;
  // Priming's bits would be rewound before the stream is read: only the tables of the
  // model and the interval survive, so the bits are not stored at all.
  primeModel(model, L, H, fe::bufPwd, fe::iPwdLen, [](int, uint32_t) {});
  iBin = 0;
  iBit = 0;
}

void syncUnzip(int keep) {
  if (keep == 0) {
    H = core::kInitialHigh;
    L = core::kInitialLow;
  }
  iBit = 0;
  iBin = 0;
  rec::iChr = 0;
}

namespace {

// Waits for the instruction buffer nCmdW to be free and claims it.
void claimCmd() {
  auto lock = ctr::lockSite(ctr::mutexCmd, "switch_inzip1 1");
  while (rec::statCmd[rec::nCmdW] != 0) ctr::waitSecond(ctr::lockCmdW, lock);
  rec::statCmd[rec::nCmdW] = 1;
  rec::iCmdW = 0;
  cmdClaimed = true;
}

void handOverCmd(int32_t n) {
  {
    auto lock = ctr::lockSite(ctr::mutexCmd, "switch_inzip2 1");
    rec::statCmd[rec::nCmdW] = 2;
    rec::lenCmd[rec::nCmdW] = uint32_t(n);
  }
  ctr::lockCmdR.notify_all();
  rec::nCmdW = 1 - rec::nCmdW;
}

// No more input will come: the current buffer ends with one or two end words (behind any
// words of a cut instruction) and the stream closes. Before the first buffer of the pass
// was claimed, one is claimed to carry the end words alone.
[[noreturn]] void endOfInput() {
  if (!cmdClaimed) claimCmd();
  uint32_t* out = rec::bufCmd[rec::nCmdW];
  out[rec::iCmdW++] = rec::kEndOfIndex;
  if (rec::iCmdW <= int32_t(ctr::kCmdWords) - 1) out[rec::iCmdW++] = rec::kEndOfIndex;
  closeStream();
  throw StreamEnded{};
}

}  // namespace

void switchInput() {
  int cur = bufBin == ctr::bufZip[1] ? 1 : 0;
  for (;;) {
    const int other = 1 - cur;
    {
      auto lock = ctr::lockSite(ctr::mutexZip, "switch_inChr 1");
      ctr::statZip[cur] = 0;
      ctr::lenZip[cur] = 0;
    }
    ctr::lockIn.notify_all();
    auto lock = ctr::lockSite(ctr::mutexZip, "switch_inChr 2");
    while (ctr::statZip[other] != 2) {
      if (ctr::msgCode[2] == ctr::kEndInput) {
        ctr::inzipWaiting = false;
        lock.unlock();
        endOfInput();
      }
      ctr::inzipWaiting = true;
      ctr::waitSecond(ctr::lockZip, lock);
    }
    ctr::inzipWaiting = false;
    ctr::statZip[other] = 3;
    iBin = 0;
    bufBin = ctr::bufZip[other];
    // Whole words only: a trailing partial word is never read.
    iBlockBin = int32_t(std::min<uint32_t>(ctr::lenZip[other], ctr::kChunk) & ~3u);
    if (iBlockBin > 0) return;
    cur = other;  // an empty buffer: hand it back at once and wait for the next
  }
}

void startStream() {
  model.setParams(uint32_t(fe::iEscape), uint32_t(fe::iFlush));
  cmdClaimed = false;
  iBlockBin = iBin;
  DecoderCore c;
  load(c);
  c.startDecoder();
  for (int k = 0; k < 8; ++k) {  // the compressor's random filler pairs
    c.decodeSym<kLeaves4, true>(model, model.aIdx4[0]);
    c.decodeSym<kLeaves5, true>(model, model.aIdx5[0]);
  }
  save(c);
}

void inzip() {
  try {
    startStream();
    for (;;) {
      claimCmd();
      handOverCmd(binUnzip());
    }
  } catch (const StreamEnded&) {
  }
}

}  // namespace qn::dec
