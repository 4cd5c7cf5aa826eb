// The stream grammar's codes: head and extension symbols, the length ladder, control codes,
// distance widths, their bases and byte tables.
#pragma once
#include <cstdint>

namespace qn::core {

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

// The length ladder: the first length of each class.
inline constexpr uint32_t kLenShort = 3;       // 3..7: head kHeadShort + length - 3
inline constexpr uint32_t kLenExt = 8;         // 8..19: extension symbol length - 8
inline constexpr uint32_t kLen20 = 20;         // 20..275: byte table 0
inline constexpr uint32_t kLen276 = 276;       // 276..531: byte table 1
inline constexpr uint32_t kLen532 = 532;       // 532..787: byte table 2

// The long code: v >= 788 is the length itself, v <= 48 the field 0x10000 + v.
inline constexpr uint32_t kLongMin = 788;
inline constexpr uint32_t kLongPowers = 48;
inline constexpr uint32_t kLongForm = 0x10000;

// The length a length field stands for: the field itself up to kLongForm (65536), then
// kLongForm + v for 2^(16 + v); v = kLongPowers stands for 1.
constexpr uint64_t fieldLength(uint32_t field) {
  if (field <= kLongForm) return field;
  const uint32_t v = field - kLongForm;
  return v == kLongPowers ? 1 : uint64_t{1} << (16 + v);
}

// Control codes (uniform over 16).
inline constexpr uint32_t kCtlBlock27 = 1, kCtlBlock40 = 2, kCtlEndData = 5, kCtlEndBuffer = 6,
                          kCtlEndIndex = 7;
inline constexpr uint32_t kControlWord = 256;  // instruction word of control code c: 256 + c
// A block's start index after code 1: uniform fields of 13 and 14 bits (below 2^27); after
// code 2: 13, 13 and 14 bits (below 2^40), highest first.
inline constexpr int kStartHighBits = 13, kStartLowBits = 14;
inline constexpr int kStart27Bits = kStartHighBits + kStartLowBits;

// Distances: width w codes D - kDistBase[w] in w + 1 bytes; kDistBase[w + 1] is the end.
inline constexpr uint64_t kDistBase[6] = {0, 0x100, 0x10100, 0x1010100, 0x101010100,
                                          0x10101010100};
inline constexpr uint64_t kOneWordMax = 0x7FFFFFFE;  // largest D written as one word

// How a length field is coded: the head symbol, then (ext >= 0) an extension symbol, then
// (table >= 0) a byte of value in that table, or for the long code (table 3) the value's
// high byte in table 3 and its low byte in table 4.
struct LengthCode {
  uint32_t head;
  int ext = -1;
  int table = -1;
  uint32_t value = 0;
};

// The code of a length field 3.. (the length-2 form has its own head, kHeadMatch2).
constexpr LengthCode lengthCode(uint32_t len) {
  if (len < kLenExt) return {kHeadShort + len - kLenShort};
  if (len < kLen20) return {kHeadExt, int(len - kLenExt)};
  if (len < kLen276) return {kHeadLen20, -1, 0, len - kLen20};
  if (len < kLen532) return {kHeadExt, int(kExtLen276), 1, len - kLen276};
  if (len < kLongMin) return {kHeadExt, int(kExtLen532), 2, len - kLen532};
  return {kHeadExt, int(kExtLong), 3, len >= kLongForm ? len - kLongForm : len};
}

// Context of a distance: 0 for length 2, length - 2 for 3..5, 4 above (long forms too).
constexpr int distContext(uint32_t lengthField) {
  return lengthField <= 5 ? int(lengthField) - 2 : 4;
}
// The length of context ctx's shortest length field (2..6).
constexpr uint32_t contextLength(int ctx) { return uint32_t(ctx) + 2; }
// Largest distance a length field can carry.
constexpr uint64_t maxDistance(uint32_t lengthField) { return kDistBase[distContext(lengthField) + 1]; }
// Width (0..4) of a distance code D = distance - 1.
constexpr int distWidth(uint64_t D) {
  int w = 0;
  while (w < 4 && D >= kDistBase[w + 1]) ++w;
  return w;
}
// The shortest length that can carry a distance.
constexpr uint32_t minMatchLength(uint64_t dist) {
  int ctx = 0;
  while (ctx < 4 && dist > kDistBase[ctx + 1]) ++ctx;
  return contextLength(ctx);
}
static_assert(minMatchLength(256) == 2 && minMatchLength(257) == 3 && minMatchLength(65792) == 3 &&
              minMatchLength(16843008) == 4 && minMatchLength(4311810304ull) == 5 &&
              minMatchLength(4311810305ull) == 6);

// Byte table of the top byte of a width-w distance in context ctx.
constexpr int distHighTable(int w, int ctx) { return 5 * w + 5 + ctx; }
// Byte table of the j-th byte after the top one (j = 0..w - 1).
constexpr int distLowTable(int w, int j) { return 5 * w + 5 + j; }

}  // namespace qn::core
