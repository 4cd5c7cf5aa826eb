// The 32-bit range coder in both directions: division step, narrowing, renormalisation,
// the decoder's bit input and symbol decode, the encoder's symbol code and priming.
// Header-inline so that the decoder's loop has every step expanded in place.
#pragma once
#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "core/model.h"

namespace qn::core {

// The decoder's hot steps are forced inline: the loop then keeps the coder in registers.
#define QN_HOT [[gnu::always_inline]] inline

inline constexpr uint32_t kInitialLow = 0, kInitialHigh = 0xFFFFFFFF;  // a fresh interval
inline constexpr uint32_t kTopBit = 0x80000000u;
inline constexpr uint32_t kMinSpan = 0x20000;   // H - L below this triggers the underflow rule

// Exact division by a table total without a divide instruction: for a < 2^48 and
// 2 <= t < 2^16, floor(a / t) is the high half of a * m, m = ceil(2^64 / t) (below 2^64).
// With m * t = 2^64 + e, 0 <= e < t, a * m / 2^64 = a / t + a * e / (t * 2^64), and the
// excess is below 1 / t because a * e < 2^48 * 2^16: too little to reach the next integer,
// which lies at least 1 / t above a / t. A total of 1 has no such m; narrowRange does
// without it. Filled at start-up (about 65536 divisions, well under a millisecond).
inline const std::array<uint64_t, 65536> kReciprocal = [] {
  std::array<uint64_t, 65536> r{};
  for (uint64_t t = 2; t < 65536; ++t) r[t] = ~uint64_t(0) / t + 1;
  return r;
}();

QN_HOT uint64_t divideByTotal(uint64_t a, uint32_t total) {
  return uint64_t((static_cast<unsigned __int128>(a) * kReciprocal[total]) >> 64);
}

// Selects the counts [cum, cum + freq) of total, given times the range as low = cum * range
// and high = (cum + freq) * range (the decoder's walk forms them); the old L is used in both
// lines. The caller has checked freq >= 1 and cum + freq <= total, so a total of 1 selects
// all of it.
QN_HOT void narrowScaled(uint32_t& L, uint32_t& H, uint64_t low, uint64_t high, uint32_t total) {
  if (total == 1) [[unlikely]]
    return;
  const uint32_t base = L;
  H = uint32_t(base + divideByTotal(high, total) - 1);
  L = uint32_t(base + divideByTotal(low, total));
}

QN_HOT void narrowRange(uint32_t& L, uint32_t& H, uint32_t cum, uint32_t freq, uint32_t total) {
  const uint64_t range = uint64_t(H) - L + 1;
  narrowScaled(L, H, cum * range, (cum + freq) * range, total);
}

// ((M - L + 1) * total - 1) div range; below total on a valid stream. M - L wraps in 32
// bits, so a state with M outside [L, H] gives a target at or beyond total.
QN_HOT uint64_t decodeTarget(uint32_t L, uint32_t H, uint32_t M, uint32_t total) {
  const uint64_t range = uint64_t(H) - L + 1;
  return (uint64_t(uint32_t(M - L)) * total + (total - 1)) / range;
}

// Drops the top bits that L and H share, then applies the underflow rule once (keep the
// upper half of a straddling interval narrower than kMinSpan). shift(n, L) is called
// for every run of n shared bits (1..32), with L not yet shifted: the encoder emits
// L's top n bits, the decoder takes n stream bits into M.
template <class Shift>
QN_HOT void renormalize(uint32_t& L, uint32_t& H, Shift&& shift) {
  auto run = [&]() __attribute__((always_inline)) {
    const int n = std::countl_zero(L ^ H);
    if (n == 0) return;
    shift(n, L);
    L = uint32_t(uint64_t(L) << n);
    H = uint32_t((uint64_t(H) << n) | ((uint64_t(1) << n) - 1));
  };
  run();
  if (uint32_t(H - L) < kMinSpan) [[unlikely]] {
    L = kTopBit;
    run();
  }
}

// The decoder's working state: the coder and the bit input, held in locals (registers) by
// the decoding loop. Input supplies the stream: Input::refill(core) is called when every
// whole word of bufBin has been taken and another bit is needed (it gives the core the
// next buffer with setBuffer and bitPos 0), and Input::damaged() stops the run on a
// stream the compressor cannot have written.
template <class Input>
struct BitDecoder {
  uint32_t L, H, M;
  uint32_t bitPos;       // stream bits of bufBin already taken
  const uint8_t* bufBin;
  int32_t fastEnd;       // bitPos below this: the next two words lie in bufBin

  [[noreturn]] static void damaged() { Input::damaged(); }

  // bufBin with its whole words of bytes.
  void setBuffer(const uint8_t* buf, int32_t bytes) {
    bufBin = buf;
    fastEnd = (bytes / 4 - 1) * 32;
  }
  int32_t bufferBytes() const { return (fastEnd + 32) / 8; }

  // M takes the next n stream bits (0..32), first bit highest. Words are little-endian and
  // read from bit 31 down, so words k and k + 1 joined high to low hold the stream in order;
  // shifted by the bits already taken of word k they start with the next 32 bits, which
  // join M before n is known: only the last shift waits for it.
  QN_HOT void shiftIn(int n) {
    if (int32_t(bitPos) < fastEnd) [[likely]] {
      uint64_t x;
      std::memcpy(&x, bufBin + (bitPos >> 5) * 4, 8);
      const uint64_t next = (std::rotl(x, 32) << (bitPos & 31)) >> 32;
      M = uint32_t(((uint64_t(M) << 32 | next) << n) >> 32);
      bitPos += uint32_t(n);
      return;
    }
    shiftInNearEnd(n);
  }

  // The last word of a buffer, or past it: one word at a time, switching buffers only when
  // a bit beyond the last whole word is needed.
  QN_HOT void shiftInNearEnd(int n) {
    while (n > 0) {
      if (int32_t(bitPos) >= fastEnd + 32) [[unlikely]]
        Input::refill(*this);
      uint32_t w;
      std::memcpy(&w, bufBin + (bitPos >> 5) * 4, 4);
      const int used = int(bitPos & 31), m = std::min(n, 32 - used);
      M = uint32_t((uint64_t(M) << m) | (uint32_t(w << used) >> (32 - m)));
      bitPos += uint32_t(m);
      n -= m;
    }
  }

  QN_HOT void startDecoder() {
    shiftIn(32);
  }

  // Drops the top bits that L and H share (none when they differ, 32 when L == H), taking
  // as many stream bits into M; then the underflow rule once, as in renormalize. After a
  // narrowing L < H always holds (the range exceeds twice any total, so every count spans
  // at least two values), which lets the first count ignore L == H: with bit 0 set the
  // count of leading zeros needs no test for zero. The second may meet L == H.
  template <bool kDistinct>
  QN_HOT void shiftShared() {
    const int n = std::countl_zero((L ^ H) | uint32_t(kDistinct));
    shiftIn(n);
    if constexpr (kDistinct) {  // n <= 31: 32-bit shifts will do
      L <<= n;
      H = ~(~H << n);
    } else {
      L = uint32_t(uint64_t(L) << n);
      H = ~uint32_t(uint64_t(~H) << n);
    }
  }
  QN_HOT void renorm() {
    shiftShared<true>();
    if (uint32_t(H - L) < kMinSpan) [[unlikely]] {
      L = kTopBit;
      shiftShared<false>();
    }
  }

  // A value in [0, total), all equally likely: raw fields and the choice among unseen symbols.
  QN_HOT uint32_t decodeUniform(uint32_t total) {
    const uint64_t v = decodeTarget(L, H, M, total);
    if (v >= total) [[unlikely]]
      damaged();
    narrowRange(L, H, uint32_t(v), 1, total);
    renorm();
    return uint32_t(v);
  }

  // One symbol of table t (A leaves): decode, resolve an escape, count it. The walk works
  // on counts times the range (findLeaf), so no division stands between two symbols.
  template <int A, bool kEscape, bool kByte = false>
  QN_HOT uint32_t decodeSym(Model& m, uint16_t* t) {
    if constexpr (kByte) {
      if (t[1] == 0) [[unlikely]]
        deriveTable(m, t);
    }
    const uint32_t total = t[1];
    const uint64_t range = uint64_t(H) - L + 1;
    const uint64_t x = uint64_t(uint32_t(M - L)) * total + (total - 1);
    const uint64_t whole = total * range;
    // target >= total, as decodeTarget would give it. A total of 0 (a table the compressor
    // never had) leaves x = 2^32 - 1 against a whole of 0 and fails too.
    if (x >= whole) [[unlikely]]
      damaged();
    if (total == m.limit) [[unlikely]]
      return decodeBeforeRescale<A, kEscape>(m, t, range, x, whole);
    // No rescale is due: the walk counts the symbol's path as it goes (updateSym's
    // increment); an escape takes that count back, as the new symbol is counted instead.
    uint64_t rest = x, freq;
    const int leaf = findLeaf<A, true>(t, range, rest, freq);
    narrowTo(x - rest, freq, whole, total);
    uint32_t s = uint32_t(leaf - A);
    if constexpr (kEscape) {
      if (s == A - 1) [[unlikely]] {
        uncount<A>(t, leaf);
        s = decodeNewSym<A>(m, t);
        updateSym<A, kEscape>(m, t, s);
      }
    }
    return s;
  }

  // decodeSym when the table is rescaled before its count: the walk leaves it unchanged.
  template <int A, bool kEscape>
  QN_HOT uint32_t decodeBeforeRescale(Model& m, uint16_t* t, uint64_t range, uint64_t x,
                                      uint64_t whole) {
    uint64_t rest = x, freq;
    const int leaf = findLeaf<A>(t, range, rest, freq);
    narrowTo(x - rest, freq, whole, t[1]);
    uint32_t s = uint32_t(leaf - A);
    if constexpr (kEscape) {
      if (s == A - 1) [[unlikely]]
        s = decodeNewSym<A>(m, t);
    }
    updateSym<A, kEscape>(m, t, s);
    return s;
  }

  // The counts [cum, cum + freq) of total, given times the range as low and freq (whole is
  // total times the range; low <= x < whole). A leaf of count 0 or one reaching beyond the
  // total is a table the compressor never had; freq - 1 wraps for a count of 0, so one
  // comparison covers both.
  QN_HOT void narrowTo(uint64_t low, uint64_t freq, uint64_t whole, uint32_t total) {
    if (freq - 1 >= whole - low) [[unlikely]]
      damaged();
    narrowScaled(L, H, low, low + freq, total);
    renorm();
  }

  // After an escape: the new symbol among the unseen ones (no bits when only one is left).
  template <int A>
  QN_HOT uint32_t decodeNewSym(Model& m, uint16_t* t) {
    const uint32_t u = markUnseen<A>(m, t);
    if (u == 0) [[unlikely]]
      damaged();
    if (u == 1) {
      removeEscape<A>(m, t);
      return nthUnseen<A>(m, 0);
    }
    return nthUnseen<A>(m, decodeUniform(u));
  }
};

// ---- The encoder's half ----

// Codes leaf of t; false when the table cannot (a zero count, a zero or short total).
template <int A, class Emit>
inline bool encodeLeaf(const uint16_t* t, int leaf, uint32_t& L, uint32_t& H, Emit&& emit) {
  const uint32_t total = t[1], freq = t[leaf], cum = cumCount<A>(t, leaf);
  if (total == 0 || freq == 0 || cum + freq > total) return false;
  narrowRange(L, H, cum, freq, total);
  renormalize(L, H, emit);
  return true;
}

template <class Emit>
inline void encodeUniform(uint32_t v, uint32_t total, uint32_t& L, uint32_t& H, Emit&& emit) {
  narrowRange(L, H, v, 1, total);
  renormalize(L, H, emit);
}

// Codes s through t and updates t exactly as decodeSym will after decoding it. A symbol
// not yet seen goes as the escape, then (unless it is the last unseen one) its index
// among the unseen symbols. False when the model cannot code s: a broken table.
template <int A, bool kEscape, bool kByte = false, class Emit>
inline bool encodeSym(Model& m, uint16_t* t, uint32_t s, uint32_t& L, uint32_t& H, Emit&& emit) {
  if constexpr (kByte) {
    if (t[1] == 0) deriveTable(m, t);
  }
  const int leaf = A + int(s);
  if (!kEscape || t[leaf] != 0) {
    if (!encodeLeaf<A>(t, leaf, L, H, emit)) return false;
  } else {
    if (!encodeLeaf<A>(t, 2 * A - 1, L, H, emit)) return false;
    const uint32_t u = markUnseen<A>(m, t);
    if (u == 1)
      removeEscape<A>(m, t);
    else
      encodeUniform(unseenBelow(m, s), u, L, H, emit);
  }
  updateSym<A, kEscape>(m, t, s);
  return true;
}

// Password priming: the password bytes, then 0..8, through table 5 of the byte group.
// Both sides run it before the index stream; only the tables and the interval matter.
template <class Emit>
inline bool primeModel(Model& m, uint32_t& L, uint32_t& H, const uint8_t* pwd, int len,
                       Emit&& emit) {
  if (len < 1) return true;
  bool ok = true;
  for (int i = 0; i < len; ++i)
    ok &= encodeSym<kLeaves8, true, true>(m, m.aIdx8[kSeedTable], pwd[i], L, H, emit);
  for (uint32_t v = 0; v <= 8; ++v)
    ok &= encodeSym<kLeaves8, true, true>(m, m.aIdx8[kSeedTable], v, L, H, emit);
  return ok;
}

}  // namespace qn::core
