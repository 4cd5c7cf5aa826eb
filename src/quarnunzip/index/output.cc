// Output thread and block writer: pieces of decoded output go to the index XML file (pass one)
// or are spread over the open destination files in a fixed rotation of turns (pass two).
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "container/container.h"
#include "frontend/frontend.h"
#include "index/index.h"
#include "reconstruct/reconstruct.h"

namespace qn::idx {

namespace {

constexpr int64_t kWritingMark = 0x3FFFFFF;   // pieces above this announce themselves

// Stop request on control word 6, under the mutex the caller holds: acknowledged here.
bool stopRequested() {
  if (ctr::msgCode[6] != ctr::kStop) return false;
  ctr::msgCode[6] = 0;
  return true;
}

// Plain mode: one 1 MiB slot of the character ring. False at the stop request.
bool writeChrSlot() {
  int64_t c, n;
  {
    auto lk = ctr::lockSite(ctr::mutexChr, "switch_outstream01 1");
    c = ctr::chrHead / ctr::kSlot;
    while (ctr::statChr[c] != 2) {
      if (stopRequested()) return false;
      ctr::waitSecond(ctr::lockOut, lk);
    }
    ctr::statChr[c] = 3;
    n = ctr::lenChr[c];
    bufOutStream = ctr::bufChr + ctr::chrHead;
  }
  lenOutStream = n;
  if (n > 0) writeBlk(bufOutStream, n);
  {
    auto lk = ctr::lockSite(ctr::mutexChr, "switch_outstream02 1");
    ctr::statChr[c] = 0;
    ctr::lenChr[c] = 0;
    ctr::chrHead = (ctr::chrHead + ctr::kSlot) & fe::iMaxBuf_1;
  }
  ctr::lockChrW.notify_all();
  return true;
}

int blockIndex(const uint8_t* p) { return p == rec::bufBlk[0] ? 0 : p == rec::bufBlk[1] ? 1 : 2; }

// Block mode: one inverted block. False at the stop request.
bool writeBwtBlock() {
  const int k = blockIndex(bufOutStream);
  int64_t n;
  {
    auto lk = ctr::lockSite(ctr::mutexBwt, "switch_outstream01 2");
    while (rec::statBwt[k] != 2) {
      if (stopRequested()) return false;
      ctr::waitSecond(ctr::lockOut, lk);
    }
    rec::statBwt[k] = 3;
    n = rec::lenBwt[k];
  }
  lenOutStream = n;
  if (n > 0) writeBlk(bufOutStream, n);
  {
    auto lk = ctr::lockSite(ctr::mutexBwt, "switch_outstream02 2");
    rec::statBwt[k] = 0;
    rec::lenBwt[k] = 0;
    bufOutStream = rec::bufBlk[(k + 1) % 3];
  }
  ctr::lockBwtW.notify_all();
  return true;
}

void writeXml(const uint8_t* data, int64_t n) {
  if (std::fwrite(data, 1, static_cast<size_t>(n), fpOut) == static_cast<size_t>(n)) return;
  fe::err(txt::kFailWriteXml.cn, txt::kFailWriteXml.en);
  fe::halt();
}

void writeFileBytes(FileRec& rec, const uint8_t* data, int64_t n) {
  if (!rec.fp) return;   // not even the null device could be opened
  if (std::fwrite(data, 1, static_cast<size_t>(n), rec.fp) == static_cast<size_t>(n)) return;
  fe::err(txt::kFailWriteData.cn, txt::kFailWriteData.en);
  fe::halt();
}

// The current file is complete: it leaves the rotation, the files after it move down one
// place, and iFileCur steps back so that the next advance lands on the file that followed.
void completeFile() {
  closeRecord(arrFile[iFileCur]);
  --iCol;
  if (iCol == 0) return;
  for (int32_t i = iFileCur; i < iCol; ++i) arrFile[i] = arrFile[i + 1];
  --iFileCur;
}

void advance() { iFileCur = iCol != 0 ? (iFileCur + 1) % iCol : 0; }

int64_t turnOf(const FileRec& rec) {
  return std::min<int64_t>(rec.lenLeft, std::max<int64_t>(fe::iCluster, 1));
}

// Counts n bytes into the current file; true when that leaves no file open and the index
// has none left either.
bool consume(int64_t n) {
  FileRec& rec = arrFile[iFileCur];
  rec.lenLeft -= n;
  if (rec.lenLeft != 0) return false;
  completeFile();
  return iCol == 0 && getWriteFile() == 0;
}

void spread(const uint8_t* data, int64_t n) {
  if (iCol == 0) return;   // no file left: the bytes are dropped and not counted
  if (n > kWritingMark && fe::bProgress) {
    std::printf("%cwriting ... ", 13);
    std::fflush(stdout);
  }
  int64_t done = 0;
  int64_t turn = turnOf(arrFile[iFileCur]);
  while (turn < n) {
    writeFileBytes(arrFile[iFileCur], data + done, turn);
    done += turn;
    n -= turn;
    if (consume(turn)) {   // the rest of this piece belongs to no file
      fe::iTotalSize += static_cast<uint64_t>(done);
      return;
    }
    advance();
    turn = turnOf(arrFile[iFileCur]);
  }
  writeFileBytes(arrFile[iFileCur], data + done, n);
  consume(n);
  fe::iTotalSize += static_cast<uint64_t>(done + n);
  advance();   // every call ends the current file's turn
}

}  // namespace

void outstream() {
  if (fe::iBWT == 0) {
    while (writeChrSlot()) {
    }
  } else {
    while (writeBwtBlock()) {
    }
  }
}

void writeBlk(const uint8_t* data, int64_t n) {
  if (!fpXml)
    writeXml(data, n);
  else
    spread(data, n);
}

}  // namespace qn::idx
