// Constants of the stream grammar shared by the decoder and the stream writer: head and
// extension symbols, length classes, control codes, distance widths and their tables.
#pragma once
#include <cstdint>

namespace qn::dec {

// Head symbols (table 0 of aIdx4): 0..7 literal top bits, then these.
inline constexpr uint32_t kHeadMatch2 = 8;     // length 2, distance byte from table 5
inline constexpr uint32_t kHeadShort = 9;      // 9..13: lengths 3..7
inline constexpr uint32_t kHeadExt = 14;       // an extension symbol follows
inline constexpr uint32_t kHeadLen20 = 15;     // lengths 20..275 in byte table 0

// Extension symbols (table 1 of aIdx4): 0..11 lengths 8..19, then these.
inline constexpr uint32_t kExtLen276 = 12;     // byte table 1
inline constexpr uint32_t kExtLen532 = 13;     // byte table 2
inline constexpr uint32_t kExtLong = 14;       // two bytes from tables 3 (high) and 4 (low)
inline constexpr uint32_t kExtControl = 15;    // a 4-bit control code follows

// The long code: v >= 788 is the length itself, v <= 48 the field 0x10000 + v.
inline constexpr uint32_t kLongMin = 788;
inline constexpr uint32_t kLongPowers = 48;
inline constexpr uint32_t kLongForm = 0x10000;

// Control codes (uniform over 16).
inline constexpr uint32_t kCtlBlock27 = 1, kCtlBlock40 = 2, kCtlEndData = 5, kCtlEndBuffer = 6,
                          kCtlEndIndex = 7;
inline constexpr uint32_t kControlWord = 256;  // instruction word of control code c: 256 + c

// Distances: width w codes D - kDistBase[w] in w + 1 bytes; kDistBase[w + 1] is the end.
inline constexpr uint64_t kDistBase[6] = {0, 0x100, 0x10100, 0x1010100, 0x101010100,
                                          0x10101010100};
inline constexpr uint64_t kOneWordMax = 0x7FFFFFFE;  // largest D written as one word

// Context of a distance: 0 for length 2, length - 2 for 3..5, 4 above (long forms too).
constexpr int distContext(uint32_t lengthField) {
  return lengthField <= 5 ? int(lengthField) - 2 : 4;
}
// Byte table of the top byte of a width-w distance in context ctx.
constexpr int distHighTable(int w, int ctx) { return 5 * w + 5 + ctx; }
// Byte table of the j-th byte after the top one (j = 0..w - 1).
constexpr int distLowTable(int w, int j) { return 5 * w + 5 + j; }

}  // namespace qn::dec
