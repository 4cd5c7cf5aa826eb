// The archive format's numbers: header, chunks, ring slots, buffers, limits and parameter slots.
#pragma once
#include <cstdint>

namespace qn::core {

// ---- Header: 16 bytes at the start of the archive ----
inline constexpr int kHeaderSize = 16;
inline constexpr uint8_t kMagic = 0xA5;          // byte 0
inline constexpr uint8_t kVersion = 4;           // byte 1
inline constexpr int kHeaderFlags = 2;           // byte 2: flag bits
inline constexpr uint8_t kFlagPassword = 1;      //   the streams are primed with a password
inline constexpr int kHeaderIndexLen = 4;        // bytes 4..7: index length, little-endian
inline constexpr uint64_t kIndexLenMax = 0xFFFFFFFF;  // so the index text is at most this long
inline constexpr int kHeaderDataPos = 8;         // bytes 8..15: data section offset
inline constexpr int kEndFieldSize = 8;          // data-stream end field at the data offset

// ---- Stored chunks: payload followed by its 8-byte sum ----
inline constexpr uint32_t kChunk = 0x200000;
inline constexpr uint32_t kChunkSumSize = 8;
inline constexpr uint32_t kChunkPayload = kChunk - kChunkSumSize;
inline constexpr uint32_t kVolumeMiBPerChunk = 2;  // the reader counts volumes in these steps

// ---- Character ring and output: 1 MiB slots ----
inline constexpr uint32_t kSlot = 0x100000;
inline constexpr uint64_t kMiB = 1048576;
inline constexpr uint64_t kMinRingMiB = 8;       // ring size: at least this, a power of two
inline constexpr uint32_t kRingSpareMiB = 3;     // ring holds cache + this many MiB

// ---- Instruction buffers and the block start ring ----
inline constexpr uint32_t kCmdWords = 0x180000;  // words per instruction buffer
inline constexpr uint32_t kStRing = 4096;        // block start index ring entries
inline constexpr uint32_t kStMask = kStRing - 1;

// ---- Paths and lines ----
inline constexpr int kPathBuf = 260;             // path buffers: 255 characters, a "/" and NUL
inline constexpr int kMaxArg = 255;              // longest accepted path argument
inline constexpr int kXmlLine = 512;             // longest index line; buffers hold 520 bytes
inline constexpr int kIniLine = 512;             // longest configuration line
inline constexpr int kLineSpare = 8;             // line buffers hold limit + this many bytes

// ---- Parameter slots (the index's <param> and "qn.ini") and their defaults ----
enum ParamSlot : int { kBlock = 0, kBwt, kCache, kCluster, kColumn, kEsc, kFlush, kPipes, kSight, kTails, kVolume };
inline constexpr int kParamSlots = 11;
inline constexpr uint32_t kParamDefaults[kParamSlots] = {32, 0, 4, 64, 1, 63, 5, 4, 20, 6, 0};
inline constexpr uint32_t kTableMax = 65535;     // a table's total; the rescale limit is this - esc

}  // namespace qn::core
