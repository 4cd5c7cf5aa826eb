// Reconstruction: process-wide state of the instruction buffers, the interpreter, the
// block start ring and the block (BWT) path, and their thread bodies.
#pragma once
#include <cstdint>

#include "core/bwt.h"
#include "core/format.h"

namespace qn::rec {

// ---- Instruction buffers (statCmd, lenCmd under ctr::mutexCmd) ----
inline uint32_t* bufCmd[2] = {nullptr, nullptr};   // 0x180000 words each, reallocated per pass
inline uint32_t statCmd[2] = {0, 0};
inline uint32_t lenCmd[2] = {0, 0};
inline int32_t nCmdW = 0;       // buffer the input thread fills next
inline int32_t nCmdR = 0;       // buffer the instruction thread executes next
inline int32_t iCmdW = 0;       // words written into bufCmd[nCmdW]
inline int32_t iCmdRTail = 0;   // reset with the ring; not otherwise used

// Instruction words.
inline constexpr uint32_t kEndOfData = 261;     // end of the data stream
inline constexpr uint32_t kEndOfBuffer = 262;
inline constexpr uint32_t kEndOfIndex = 263;    // end of the index stream, or of the input
inline constexpr uint32_t kMatchBit = 0x80000000u;

// ---- Block start indexes, pushed by the input thread, taken by outbwt, under ctr::mutexBwt ----
inline uint64_t st[core::kStRing];
inline uint32_t stTail = 0, stHead = 0;

// ---- Interpreter (chrTail under ctr::mutexChr) ----
inline int64_t iChr = 0;        // ring offset of the next byte written
inline int64_t chrTail = 0;     // ring offset of the slot filled next

// ---- Block path (statBwt, lenBwt, pBwtW, pBwtR under ctr::mutexBwt) ----
inline uint8_t* bufBlk[3] = {nullptr, nullptr, nullptr};   // blockRoom bytes, 8 spare before, 8 after
inline uint64_t blockRoom = 0;            // iBlock, or less where the pass's output cannot fill it
inline uint32_t statBwt[3] = {0, 0, 0};   // 0 free, 1 filling, 4 collected, 5 inverting, 2 ready, 3 writing
inline int64_t lenBwt[3] = {0, 0, 0};
inline uint8_t* pBwtW = nullptr;
inline uint8_t* pBwtR = nullptr;
inline uint64_t** lnkBlk = nullptr;       // one 2^20-entry sub-array per MiB of block, in one allocation
inline uint64_t nLnkBlk = 0;              // sub-arrays in lnkBlk
inline uint64_t* h = nullptr;             // 2^24 entries
inline uint64_t* h1 = nullptr;            // 2^16 entries
inline uint64_t iDenseMax = core::kBwtDenseMax;  // longest block inverted with the dense walk

// ---- Second inverter (under ctr::mutexBwt) ----
// With two cores outbwt starts a helper thread that inverts the next collected block while
// it inverts one. Blocks take tickets in the order they are claimed; a block takes its start
// index when every earlier ticket has taken its own, and reports a fault when every earlier
// block has been inverted.
inline constexpr uint64_t kIdle = UINT64_MAX;
inline uint64_t* h1Second = nullptr;      // the helper's pair counts, 2^16 entries
inline bool twoInverters = false;         // set by initBwt: every block of the pass is dense
inline uint64_t bwtTickets = 0;           // blocks claimed for inversion in this pass
inline uint64_t bwtStarted = 0;           // tickets past their start index (or stored as they are)
inline uint64_t bwtBusy[2] = {kIdle, kIdle};  // ticket held by outbwt (0) and its helper (1)
inline bool helperStop = false, helperRunning = false;

void incmd();
int32_t unzip();
void initBwt();
void outblock();
int64_t outBlk();   // bytes collected; -1 once the collector has ended its thread
void outbwt();
void outBwtBlk(int k);

}  // namespace qn::rec
