// Entropy decoder: process-wide state of the arithmetic decoder, the bit input,
// the adaptive tables, the block start index ring, and the input thread's routines.
#pragma once
#include <cstdint>

#include "decoder/model.h"

namespace qn::dec {

// ---- Coder and bit input (owned by the input thread during a pass) ----
inline uint32_t L = 0, H = 0xFFFFFFFF, M = 0;
inline uint32_t bufBit = 0;
inline int32_t iBit = 0;
inline uint8_t* bufBin = nullptr;   // the input buffer being read (one of ctr::bufZip)
inline int32_t iBin = 0;            // byte offset of the next word in bufBin
inline int32_t iBlockBin = 0;       // valid bytes in bufBin

// ---- Adaptive tables (aIdx3, aIdx4, aIdx5, aIdx8 and the scratch b) ----
inline Model model;

// ---- Block start indexes, pushed here and taken by the block path, under ctr::mutexBwt ----
inline uint64_t st[4096];
inline uint32_t stTail = 0, stHead = 0;

void syncInit();
void syncUnzip(int keep);
void inzip();
int32_t binUnzip();

}  // namespace qn::dec
