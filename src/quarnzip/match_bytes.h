// Byte helpers of the match finders: word reads, match lengths and the head hashes.
#pragma once
#include <cstdint>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace qn::zip {

inline uint32_t read32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

inline uint64_t read64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// How many bytes a and b share from the start, at most limit.
inline uint32_t matchLen(const uint8_t* a, const uint8_t* b, uint32_t limit) {
  uint32_t n = 0;
#ifdef __SSE2__
  // Sixteen bytes a step: the walk's comparisons on text run past a word, and the step's
  // loads, compare and mask take fewer instructions than two words do.
  while (n + 16 <= limit) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + n));
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + n));
    const uint32_t differ = uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(x, y))) ^ 0xFFFFu;
    if (differ) return n + static_cast<uint32_t>(__builtin_ctz(differ));
    n += 16;
  }
#endif
  while (n + 8 <= limit) {
    uint64_t x, y;
    std::memcpy(&x, a + n, 8);
    std::memcpy(&y, b + n, 8);
    if (x != y) return n + static_cast<uint32_t>(__builtin_ctzll(x ^ y) >> 3);
    n += 8;
  }
  while (n < limit && a[n] == b[n]) ++n;
  return n;
}

// The heads of three and four bytes, from the four bytes at a position.
inline uint32_t hash3(uint32_t v) { return ((v & 0xFFFFFF) * 506832829u) >> 16; }
inline uint32_t hash4(uint32_t v, int bits) { return (v * 2654435761u) >> (32 - bits); }
// The trees' buckets, from up to eight bytes (those past the key shifted out).
inline uint32_t hash8(uint64_t v, int bits) { return uint32_t((v * 0x9E3779B97F4A7C15ull) >> (64 - bits)); }

}  // namespace qn::zip
