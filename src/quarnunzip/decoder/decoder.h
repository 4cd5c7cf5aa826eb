// Entropy decoder: process-wide state of the arithmetic decoder, the bit input and the
// adaptive tables, and the input thread's routines.
#pragma once
#include <cstdint>
#include <cstring>

#include "core/coder.h"
#include "core/model.h"

namespace qn::dec {

// ---- Coder and bit input (owned by the input thread during a pass) ----
inline uint32_t L = core::kInitialLow, H = core::kInitialHigh, M = 0;
inline uint32_t bufBit = 0;         // the word bits are being taken from (bufBin + iBin - 4)
inline int32_t iBit = 0;            // bits of bufBit not yet taken
inline uint8_t* bufBin = nullptr;   // the input buffer being read (one of ctr::bufZip)
inline int32_t iBin = 0;            // byte offset of the next word in bufBin
inline int32_t iBlockBin = 0;       // valid bytes in bufBin

// ---- Adaptive tables (aIdx3, aIdx4, aIdx5, aIdx8 and the scratch b) ----
using core::Model;
inline Model model;

// The coder's input: the process-wide input ring. The decoding loop keeps its copy of the
// coder in registers and writes it back around buffer switches.
struct StreamInput;
using DecoderCore = core::BitDecoder<StreamInput>;
void switchInput();
// Loads the process-wide coder state into c, and stores it back. The process-wide bit
// input names the word being read and its bits left; the loop's copy counts the bits taken
// of the whole buffer, a word read ahead within the buffer being of no consequence.
QN_HOT void load(DecoderCore& c) {
  c.L = L, c.H = H, c.M = M, c.bitPos = uint32_t(iBin * 8 - iBit);
  c.setBuffer(bufBin, iBlockBin);
}
QN_HOT void save(const DecoderCore& c) {
  L = c.L, H = c.H, M = c.M;
  iBin = int32_t((c.bitPos + 31) >> 5) * 4, iBit = iBin * 8 - int32_t(c.bitPos);
  bufBin = const_cast<uint8_t*>(c.bufBin), iBlockBin = c.bufferBytes();
  bufBit = 0;
  if (iBin >= 4) std::memcpy(&bufBit, bufBin + iBin - 4, 4);
}
struct StreamInput {
  [[noreturn]] static void damaged();
  // The bit input's buffer is used up: the process-wide state takes the switch. Inline, so
  // that the loop's copy of the coder never has its address taken and stays in registers.
  QN_HOT static void refill(DecoderCore& c) {
    save(c);
    switchInput();
    load(c);
  }
};
// Stops the run: the stream is not one the compressor wrote.
[[noreturn]] void damaged();

// ---- Input thread (written by it alone while a pass runs) ----
inline bool cmdClaimed = false;     // an instruction buffer of this pass has been claimed

// Thrown once the stream has ended (end code or end of input) and the last buffer has
// been handed over; the input thread catches it and ends.
struct StreamEnded {};

void syncInit();
void syncUnzip(int keep);
void inzip();
// The head of every stream: the model takes the current esc/flush, the first 32 bits are
// loaded, and the eight filler pairs are read and dropped (inzip's first steps).
void startStream();
// Fills bufCmd[nCmdW] from iCmdW up to control code 6 and returns the word count; at the
// end of the stream it hands the buffer over itself and throws StreamEnded.
int32_t binUnzip();
// The bit input found its buffer used up: hand it back, take the other one when full
// (skipping empty ones); at the end of input, close the stream and throw StreamEnded.
void switchInput();
// Hands the stream's last instruction buffer over, frees both input buffers, then waits
// for the stop request and acknowledges it (the closing state of the input thread).
void closeStream();

}  // namespace qn::dec
