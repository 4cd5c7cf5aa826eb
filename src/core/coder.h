// The 32-bit range coder in both directions: division step, narrowing, renormalisation,
// the decoder's bit input and symbol decode, the encoder's symbol code and priming.
// Header-inline so that the decoder's loop has every step expanded in place.
#pragma once
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
// 1 <= t < 2^16, floor(a / t) is the high half of a * (r + 1), r = floor((2^64 - 1) / t)
// (the multiplier is within t / 2^64 of 2^64 / t, and t / 2^64 <= 2^-48).
// Filled at start-up (about 65536 divisions, well under a millisecond).
inline const std::array<uint64_t, 65536> kReciprocal = [] {
  std::array<uint64_t, 65536> r{};
  for (uint64_t t = 1; t < 65536; ++t) r[t] = ~uint64_t(0) / t;
  return r;
}();

QN_HOT uint64_t divideByTotal(uint64_t a, uint32_t total) {
  const unsigned __int128 p = static_cast<unsigned __int128>(a) * kReciprocal[total] + a;
  return uint64_t(p >> 64);
}

// Selects the counts [cum, cum + freq) of total; the old L is used in both lines.
QN_HOT void narrowRange(uint32_t& L, uint32_t& H, uint32_t cum, uint32_t freq, uint32_t total) {
  const uint64_t range = uint64_t(H) - L + 1;
  const uint32_t low = L;
  H = uint32_t(low + divideByTotal(uint64_t(cum + freq) * range, total) - 1);
  L = uint32_t(low + divideByTotal(uint64_t(cum) * range, total));
}

// ((M - L + 1) * total - 1) div range; below total on a valid stream. M - L wraps in 32
// bits, so a state with M outside [L, H] gives a target at or beyond total.
QN_HOT uint64_t decodeTarget(uint32_t L, uint32_t H, uint32_t M, uint32_t total) {
  const uint64_t range = uint64_t(H) - L + 1;
  return ((uint64_t(uint32_t(M - L)) + 1) * total - 1) / range;
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
// the decoding loop. Input supplies the stream: Input::refill(core) is called when bufBin
// is used up (it makes bufBin[iBin..iBlockBin) the next words), and Input::damaged()
// stops the run on a stream the compressor cannot have written.
template <class Input>
struct BitDecoder {
  uint32_t L, H, M, bufBit;
  int32_t iBit;          // bits of bufBit not yet taken
  const uint8_t* bufBin;
  int32_t iBin, iBlockBin;

  [[noreturn]] static void damaged() { Input::damaged(); }

  // Loads the next 32-bit little-endian word, switching buffers when this one is used up.
  QN_HOT void nextWord() {
    if (iBin == iBlockBin) [[unlikely]]
      Input::refill(*this);
    std::memcpy(&bufBit, bufBin + iBin, 4);
    iBin += 4;
  }

  // The next n stream bits (1..32), first bit highest.
  QN_HOT uint32_t takeBits(int n) {
    if (n <= iBit) {
      iBit -= n;
      return uint32_t((uint64_t(bufBit) >> iBit) & ((uint64_t(1) << n) - 1));
    }
    const int need = n - iBit;
    const uint64_t high = uint64_t(bufBit) & ((uint64_t(1) << iBit) - 1);
    nextWord();
    iBit = 32 - need;
    return uint32_t((high << need) | (uint64_t(bufBit) >> iBit));
  }

  QN_HOT void startDecoder() {
    M = takeBits(32);
  }

  QN_HOT void renorm() {
    renormalize(L, H, [this](int n, uint32_t) __attribute__((always_inline)) {
      M = uint32_t((uint64_t(M) << n) | takeBits(n));
    });
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

  // One symbol of table t (A leaves): decode, resolve an escape, count it.
  template <int A, bool kEscape, bool kByte = false>
  QN_HOT uint32_t decodeSym(Model& m, uint16_t* t) {
    if constexpr (kByte) {
      if (t[1] == 0) [[unlikely]]
        deriveTable(m, t);
    }
    const uint32_t total = t[1];
    if (total == 0) [[unlikely]]
      damaged();
    const uint64_t target = decodeTarget(L, H, M, total);
    if (target >= total) [[unlikely]]
      damaged();
    uint32_t rest = uint32_t(target);
    const int leaf = findLeaf<A>(t, rest);
    const uint32_t freq = t[leaf], cum = uint32_t(target) - rest;
    if (freq == 0 || cum + freq > total) [[unlikely]]
      damaged();
    narrowRange(L, H, cum, freq, total);
    renorm();
    uint32_t s = uint32_t(leaf - A);
    if constexpr (kEscape) {
      if (s == A - 1) [[unlikely]]
        s = decodeNewSym<A>(m, t);
    }
    updateSym<A, kEscape>(m, t, s);
    return s;
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
