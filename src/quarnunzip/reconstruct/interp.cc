// Instruction interpreter and the instruction thread: instruction buffers into 1 MiB chunks of the ring.
#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "container/container.h"
#include "core/codes.h"
#include "frontend/frontend.h"
#include "reconstruct/reconstruct.h"

namespace qn::rec {

namespace {

using ctr::kSlot;
constexpr int64_t kShortMax = core::kLongForm;  // longest match whose length field is the length itself
constexpr int32_t kStreamEnded = INT32_MAX; // unzip's answer once the stream's end word has closed the pass

// The interpreter's working state for one instruction buffer, kept in locals for speed.
struct Run {
  const uint32_t* w;   // the instruction buffer
  uint32_t len;        // its words
  uint32_t i;          // next word
  uint8_t* ring;
  uint64_t mask;       // ring size - 1
  int64_t chr;         // next byte written (iChr)
  int64_t base;        // start of the chunk
  int64_t room;        // bytes the chunk may take: 1 MiB, less near 1 MiB past the expected length
  int64_t count() const { return chr - base; }
};

enum class Step { kGoOn, kEndBuffer, kEndStream };

[[noreturn]] void damaged() {
  fe::errf(txt::kDamagedStream, fe::sFileZip);
  fe::halt();
}

[[noreturn]] void reject(const fe::Text& t) {
  fe::err(t.cn, t.en);
  fe::halt();
}

// Output allowed in this chunk: a chunk holds 1 MiB, and a stream never runs more than
// 1 MiB past the length the pass expects.
int64_t chunkRoom() {
  const uint64_t limit = ctr::fLen > UINT64_MAX - kSlot ? UINT64_MAX : ctr::fLen + kSlot;
  const uint64_t pos = ctr::fPos < 0 ? 0 : static_cast<uint64_t>(ctr::fPos);
  const uint64_t left = limit > pos ? limit - pos : 0;
  return static_cast<int64_t>(std::min<uint64_t>(kSlot, left));
}

// Copies `length` bytes from `dist` back to ring offset `chr`, with the meaning of a
// byte-by-byte copy in increasing order whose source wraps around the ring. Wider copies
// only where they give the same bytes.
inline void copyMatch(uint8_t* ring, uint64_t mask, int64_t chr, uint64_t dist, uint64_t length) {
  uint64_t src = (static_cast<uint64_t>(chr) - dist) & mask;
  uint8_t* dst = ring + chr;
  const uint64_t gap = (static_cast<uint64_t>(chr) - src) & mask;  // distance inside the ring
  if (src + length <= mask + 1) {  // the source does not wrap
    const uint8_t* from = ring + src;
    if (gap >= length && gap <= mask + 1 - length) {  // source and destination apart
      std::memcpy(dst, from, length);
      return;
    }
    if (gap == 1) {  // a run of one byte
      std::memset(dst, *from, length);
      return;
    }
    if (gap >= 8 && gap < length) {  // overlapping: 8-byte steps read only bytes already written
      uint64_t k = 0;
      for (; k + 8 <= length; k += 8) std::memcpy(dst + k, from + k, 8);
      for (; k < length; ++k) dst[k] = from[k];
      return;
    }
  }
  for (uint64_t k = 0; k < length; ++k) {
    dst[k] = ring[src];
    src = (src + 1) & mask;
  }
}

constexpr uint64_t kShortCopy = 32;  // matches up to this long are copied in two 16-byte steps

// A match of at most kShortCopy bytes whose source lies at least 16 bytes back and does not
// wrap: two 16-byte steps, the second reading what the first wrote where they overlap, as the
// byte-by-byte copy would. It writes up to kShortCopy bytes, past the match's end: the caller
// keeps that inside the chunk, where later bytes overwrite them or the chunk's end zeroes them.
// False when the match is not of that kind.
inline bool copyShort(uint8_t* ring, uint64_t mask, int64_t chr, uint64_t dist, uint64_t length) {
  const uint64_t src = (static_cast<uint64_t>(chr) - dist) & mask;
  const uint64_t gap = (static_cast<uint64_t>(chr) - src) & mask;
  if (length > kShortCopy || gap < 16 || src + kShortCopy > mask + 1) return false;
  uint8_t step[16];
  std::memcpy(step, ring + src, 16);
  std::memcpy(ring + chr, step, 16);
  std::memcpy(step, ring + src + 16, 16);
  std::memcpy(ring + chr + 16, step, 16);
  return true;
}

// The common case: literals and matches up to 65536 bytes while the chunk has room for the
// longest of them and the buffer holds the longest instruction (three words). Everything
// else is left to step(). The state lives in locals: the byte stores may alias any memory.
void runFast(Run& r) {
  const uint32_t* const w = r.w;
  uint8_t* const ring = r.ring;
  const uint64_t mask = r.mask;
  const uint32_t wordEnd = r.len < 3 ? 0 : r.len - 2;  // i < wordEnd: three words readable
  const int64_t chrEnd = r.base + r.room - kShortMax;  // chr <= chrEnd: room for 65536 bytes
  uint32_t i = r.i;
  int64_t chr = r.chr;
  while (i < wordEnd && chr <= chrEnd) {
    const uint32_t word = w[i];
    if (word < 256) {
      ring[chr++] = static_cast<uint8_t>(word);
      ++i;
      continue;
    }
    const uint32_t n = word & ~kMatchBit;
    if (!(word & kMatchBit) || n < 2 || n > kShortMax) break;
    const uint32_t first = w[i + 1];
    uint64_t dist = first;
    if (n > 2 && (first & kMatchBit)) {
      dist = (static_cast<uint64_t>(first & ~kMatchBit) << 32) | w[i + 2];
      i += 3;
    } else {
      i += 2;
    }
    if (!copyShort(ring, mask, chr, dist, n)) copyMatch(ring, mask, chr, dist, n);
    chr += n;
  }
  r.i = i;
  r.chr = chr;
}

// Fails the stream when `length` more bytes would leave the chunk.
void needRoom(const Run& r, uint64_t length) {
  if (length > static_cast<uint64_t>(r.room - r.count())) damaged();
}

Step stepMatch(Run& r, uint32_t word) {
  const uint32_t n = word & ~kMatchBit;
  if (n > core::kLongForm + core::kLongPowers) reject(txt::kReservedInstruct);
  const uint64_t length = core::fieldLength(n);
  if (length < 2) reject(txt::kUnusedInstruct);
  if (r.i + 2 > r.len) damaged();
  const uint32_t first = r.w[r.i + 1];
  uint64_t dist = first;
  uint32_t words = 2;
  if (length > 2 && (first & kMatchBit)) {
    if (r.i + 3 > r.len) damaged();
    dist = (static_cast<uint64_t>(first & ~kMatchBit) << 32) | r.w[r.i + 2];
    words = 3;
  }
  needRoom(r, length);
  r.i += words;
  copyMatch(r.ring, r.mask, r.chr, dist, length);
  r.chr += static_cast<int64_t>(length);
  return Step::kGoOn;
}

// One instruction with every check; a buffer that runs out without an end word is damaged.
Step step(Run& r) {
  if (r.i >= r.len) damaged();
  const uint32_t word = r.w[r.i];
  if (word < 256) {
    needRoom(r, 1);
    r.ring[r.chr++] = static_cast<uint8_t>(word);
    ++r.i;
    return Step::kGoOn;
  }
  if (word & kMatchBit) return stepMatch(r, word);
  switch (word) {
    case 257:
    case 258:  // block start index markers: the decoder has queued the index already
      ++r.i;
      return Step::kGoOn;
    case kEndOfBuffer:
      return Step::kEndBuffer;
    case kEndOfData:
    case kEndOfIndex:
      return Step::kEndStream;
    default:
      reject(txt::kControlError);
  }
}

void signalChunkFull() {
  if (fe::iBWT != 0)
    ctr::lockChrR.notify_all();
  else
    ctr::lockOut.notify_all();
}

// Marks slot c full with n bytes and moves chrTail on; at the end of a stream also counts n.
void publishChunk(int64_t c, int32_t n, const char* label, bool countIt) {
  {
    auto lk = ctr::lockSite(ctr::mutexChr, label);
    ctr::statChr[c] = 2;
    ctr::lenChr[c] = static_cast<uint32_t>(n);
    if (countIt) ctr::fPos += n;
    chrTail = (chrTail + kSlot) & fe::iMaxBuf_1;
  }
  signalChunkFull();
}

void zeroRest(int64_t chunkStart, int64_t n) {
  if (n < kSlot) std::memset(ctr::bufChr + chunkStart + n, 0, static_cast<size_t>(kSlot - n));
}

// Frees both instruction buffers, waits for the stop request and acknowledges it.
void awaitStop(const char* label) {
  auto lk = ctr::lockSite(ctr::mutexCmd, label);
  statCmd[0] = statCmd[1] = 0;
  while (ctr::msgCode[3] != ctr::kStop) ctr::waitSecond(ctr::lockCmdR, lk);
  ctr::msgCode[3] = 0;
}

// End word 261 or 263: the last chunk is handed over, then the thread waits for its stop.
void endOfStream(const Run& r) {
  iChr = r.chr;
  const int64_t n = r.count();
  zeroRest(r.base, n);
  publishChunk(r.base / kSlot, static_cast<int32_t>(n), "switch_incmd000 1", true);
  awaitStop("switch_incmd000 2");
}

// The opening text of the pass is compared once enough bytes exist at the start of the ring
// (where the first chunk of every pass begins).
void checkPassed(const Run& r) {
  const size_t need = std::strlen(ctr::bufCheckStr);
  if (static_cast<uint64_t>(r.count()) < need) return;
  if (std::memcmp(r.ring, ctr::bufCheckStr, need) != 0) reject(txt::kBadPassword);
  ctr::bufCheckStr[0] = 0;
}

enum class Checked { kNormal, kReturn, kEnded };

// Checking mode: one careful instruction at a time until the opening text has been compared.
Checked runChecked(Run& r) {
  while (ctr::bufCheckStr[0] != 0) {
    const Step s = step(r);
    if (s == Step::kEndBuffer) return Checked::kReturn;
    if (s == Step::kEndStream) {
      endOfStream(r);
      return Checked::kEnded;
    }
    checkPassed(r);
    if (r.count() > kSlot - 1) return Checked::kReturn;
  }
  return Checked::kNormal;
}

void printProgress() {
  if (!fe::bProgress) return;
  std::printf("%c%lld            %5.2f%%            time: %ds", 13, static_cast<long long>(ctr::fPos),
              static_cast<double>(ctr::fPos) * ctr::d, static_cast<int>(std::time(nullptr) - fe::sTime));
  std::fflush(stdout);
}

// The system backs the ring's pages on first write, and on a virtual machine that is slow:
// 0.2 to 3.7 ms per MiB measured here. Taken by the interpreter during the first lap, those
// faults stall the symbol decoder wherever it runs faster than the interpreter (long
// matches); so while the interpreter waits for a buffer, it backs the next MiB of what the
// pass will write, in one call. Never more than kBackAhead beyond what the pass has written:
// a damaged header may announce any length. And not before the pass's opening text has been
// checked, so that a wrong password is still rejected here before the drain can find the
// decoder starved of input: the first report stays the same.
constexpr uint64_t kBackAhead = uint64_t(64) << 20;

size_t ringToBack() {
  const uint64_t pass = std::min<uint64_t>(ctr::fLen, static_cast<uint64_t>(ctr::fPos) + kBackAhead);
  return pass >= ctr::lenChrAlloc - 8 ? ctr::lenChrAlloc : static_cast<size_t>(pass) + 8;  // 8 bytes before the ring
}

void backRing(size_t want) {
  const size_t n = std::min<size_t>(kSlot, want - ctr::lenChrBacked);
  // Without the call (kernels before 5.14) the pages come on first write, as they would.
  const bool done = madvise(ctr::bufChrAlloc + ctr::lenChrBacked, n, MADV_POPULATE_WRITE) == 0;
  ctr::lenChrBacked = done ? ctr::lenChrBacked + n : want;
}

// Claims the next full instruction buffer; false when the stop request came first.
bool claimBuffer() {
  auto lk = ctr::lockSite(ctr::mutexCmd, "switch_incmd1 1");
  while (statCmd[nCmdR] != 2) {
    if (ctr::msgCode[3] == ctr::kStop) return false;
    if (const size_t want = ringToBack(); ctr::bufCheckStr[0] == 0 && ctr::lenChrBacked < want) {
      if (lk.owns_lock()) lk.unlock();
      backRing(want);
      lk = ctr::lockSite(ctr::mutexCmd, "switch_incmd1 1");
      continue;
    }
    ctr::waitSecond(ctr::lockCmdR, lk);
  }
  statCmd[nCmdR] = 3;
  return true;
}

int64_t claimChunk() {
  auto lk = ctr::lockSite(ctr::mutexChr, "switch_incmd1 2");
  const int64_t c = chrTail / kSlot;
  while (ctr::statChr[c] != 0) ctr::waitSecond(ctr::lockChrW, lk);
  ctr::statChr[c] = 1;
  iChr = chrTail;
  return c;
}

void releaseBuffer() {
  {
    auto lk = ctr::lockSite(ctr::mutexCmd, "switch_incmd2 1");
    statCmd[nCmdR] = 0;
    lenCmd[nCmdR] = 0;
  }
  ctr::lockCmdW.notify_all();
  nCmdR = 1 - nCmdR;
}

// A stop request while no buffer was waiting: an empty chunk closes the stream.
void stopPath() {
  std::memset(ctr::bufChr + chrTail, 0, kSlot);
  publishChunk(chrTail / kSlot, 0, "switch_incmd000 1", false);
  awaitStop("switch_incmd000 2");
}

}  // namespace

int32_t unzip() {
  Run r{bufCmd[nCmdR], std::min<uint32_t>(lenCmd[nCmdR], ctr::kCmdWords), 0, ctr::bufChr,
        static_cast<uint64_t>(fe::iMaxBuf_1), iChr, iChr, chunkRoom()};
  if (ctr::bufCheckStr[0] != 0) {
    const Checked c = runChecked(r);
    if (c == Checked::kEnded) return kStreamEnded;
    if (c == Checked::kReturn) {
      iChr = r.chr;
      return static_cast<int32_t>(r.count());
    }
  }
  for (;;) {
    runFast(r);
    if (r.count() > kSlot - 1) break;
    const Step s = step(r);
    if (s == Step::kEndBuffer) break;
    if (s == Step::kEndStream) {
      endOfStream(r);
      return kStreamEnded;
    }
  }
  iChr = r.chr;
  return static_cast<int32_t>(r.count());
}

void incmd() {
  ctr::fPos = 0;
  for (;;) {
    if (!claimBuffer()) return stopPath();
    const int64_t c = claimChunk();
    const int32_t n = unzip();
    if (n == kStreamEnded) return;
    if (n < 0) fe::halt();
    releaseBuffer();
    zeroRest(c * kSlot, n);
    publishChunk(c, n, "switch_incmd2 2", false);
    ctr::fPos += n;
    printProgress();
  }
}

}  // namespace qn::rec
