// Data-stream symbol grammar: binUnzip turns symbols into instruction words, pushes
// block start indexes, and closes the stream at its end code.
#include "container/container.h"
#include "core/coder.h"
#include "core/codes.h"
#include "decoder/decoder.h"
#include "frontend/frontend.h"
#include "reconstruct/reconstruct.h"

namespace qn::dec {

using namespace core;

namespace {

// Room kept at the end of an instruction buffer: the longest instruction (3 words) and
// the two end words of the end-of-input procedure.
constexpr int32_t kCmdRoom = 5;

void pushBlockStart(uint64_t index, const char* site) {
  auto lock = ctr::lockSite(ctr::mutexBwt, site);
  rec::st[rec::stTail] = index;
  rec::stTail = (rec::stTail + 1) & kStMask;
  if (rec::stTail == rec::stHead) {
    fe::errf(txt::kBwtOverflow);
    fe::halt();
  }
}

[[noreturn, gnu::cold]] void unusedLength() {
  fe::errf(txt::kUnusedLength);
  fe::halt();
}

[[noreturn, gnu::cold]] void unknownControl() {
  fe::errf(txt::kUnknownControl);
  fe::halt();
}

[[noreturn, gnu::cold]] void cmdOverflow() { damaged(); }

}  // namespace

[[noreturn, gnu::cold]] void damaged() {
  fe::errf(txt::kDamagedStream, fe::sFileZip);
  fe::halt();
}

void StreamInput::damaged() { dec::damaged(); }

// The stream's last buffer goes to the instruction thread; both input buffers are freed;
// then the thread waits for its stop request and acknowledges it.
void closeStream() {
  {
    auto lock = ctr::lockSite(ctr::mutexCmd, "switch_inzip000 1");
    rec::statCmd[rec::nCmdW] = 2;
    rec::lenCmd[rec::nCmdW] = uint32_t(rec::iCmdW);
  }
  ctr::lockCmdR.notify_all();
  auto lock = ctr::lockSite(ctr::mutexZip, "switch_inzip000 2");
  ctr::statZip[0] = 0;
  ctr::statZip[1] = 0;
  ctr::inzipWaiting = false;
  ctr::inzipDone = true;
  // A driver waiting for a free buffer (chunks behind the end code) need not wait its second.
  if (lock.owns_lock()) {
    lock.unlock();
    ctr::lockIn.notify_all();
    lock.lock();
  }
  while (ctr::msgCode[2] != ctr::kStop) ctr::waitSecond(ctr::lockZip, lock);
  ctr::msgCode[2] = 0;
}

int32_t binUnzip() {
  Model& m = model;
  DecoderCore c;
  load(c);
  uint32_t* const out = rec::bufCmd[rec::nCmdW];
  int32_t i = rec::iCmdW;
  // Every word is published at once: the end-of-input procedure writes behind it.
  auto put = [&](uint32_t w) {
    out[i++] = w;
    rec::iCmdW = i;
  };
  auto byteSym = [&](int k) __attribute__((always_inline)) {
    return c.decodeSym<kLeaves8, true, true>(m, m.aIdx8[k]);
  };

  for (;;) {
    if (i > int32_t(ctr::kCmdWords) - kCmdRoom) [[unlikely]]
      cmdOverflow();
    const uint32_t s = c.decodeSym<kLeaves4, true>(m, m.aIdx4[0]);
    if (s < kHeadMatch2) {  // literal: top three bits, then the low five
      const uint32_t low = c.decodeSym<kLeaves5, true>(m, m.aIdx5[s]);
      put(s << 5 | low);
      continue;
    }
    if (s == kHeadMatch2) {
      put(rec::kMatchBit | 2);
      put(byteSym(kSeedTable) + 1);
      continue;
    }
    uint32_t len;
    if (s < kHeadExt) {
      len = s - kHeadShort + kLenShort;
    } else if (s == kHeadLen20) {
      len = kLen20 + byteSym(0);
    } else {
      const uint32_t t = c.decodeSym<kLeaves4, true>(m, m.aIdx4[1]);
      if (t < kExtLen276) {
        len = t + kLenExt;
      } else if (t == kExtLen276) {
        len = kLen276 + byteSym(1);
      } else if (t == kExtLen532) {
        len = kLen532 + byteSym(2);
      } else if (t == kExtLong) {
        const uint32_t hi = byteSym(3);
        const uint32_t v = hi << 8 | byteSym(4);
        if (v >= kLongMin)
          len = v;
        else if (v <= kLongPowers)
          len = kLongForm + v;
        else
          unusedLength();
      } else {  // control code
        const uint32_t code = c.decodeUniform(16);
        put(kControlWord + code);
        if (code == kCtlBlock27) {
          const uint32_t x = c.decodeUniform(1u << kStartHighBits);
          pushBlockStart(uint64_t(x) << kStartLowBits | c.decodeUniform(1u << kStartLowBits), "binUnzip 1");
        } else if (code == kCtlBlock40) {
          const uint64_t x = c.decodeUniform(1u << kStartHighBits);
          const uint64_t y = c.decodeUniform(1u << kStartHighBits);
          pushBlockStart(x << kStart27Bits | y << kStartLowBits | c.decodeUniform(1u << kStartLowBits),
                         "binUnzip 2");
        } else if (code == kCtlEndBuffer) {
          save(c);
          return i;
        } else if (code == kCtlEndData || code == kCtlEndIndex) {
          save(c);
          closeStream();
          throw StreamEnded{};
        } else {
          unknownControl();
        }
        continue;
      }
    }

    // A match of length 3 or more: its word, then the distance in its context.
    put(rec::kMatchBit | len);
    const int ctx = distContext(len);
    const uint32_t w = c.decodeSym<kLeaves3, false>(m, m.aIdx3[ctx - 1]);
    if (w > uint32_t(ctx)) [[unlikely]]
      damaged();
    uint64_t D = byteSym(distHighTable(int(w), ctx));
    for (int j = 0; j < int(w); ++j) D = D << 8 | byteSym(distLowTable(int(w), j));
    D += kDistBase[w];
    const uint64_t d = D + 1;
    if (D <= kOneWordMax) {
      put(uint32_t(d));
    } else {
      put(uint32_t(d >> 32) | rec::kMatchBit);
      put(uint32_t(d));
    }
  }
}

}  // namespace qn::dec
