// Stream writer: codes instructions with the shared coder and tables, mirroring the
// decoder's grammar symbol for symbol, and prices them for the compressor's parser.
#include "quarnzip/stream_writer.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>

#include "core/coder.h"
#include "core/codes.h"

namespace qn::zip {

using namespace qn::core;

StreamWriter::StreamWriter(core::Model& model) : m_(model) {}

void StreamWriter::putBits(int n, uint32_t bits) {
  acc_ = (acc_ << n) | bits;
  nAcc_ += n;
  if (nAcc_ >= 32) {  // one whole word, stored little-endian
    nAcc_ -= 32;
    const uint32_t word = uint32_t(acc_ >> nAcc_);
    uint8_t bytes[4];
    std::memcpy(bytes, &word, 4);
    out_.insert(out_.end(), bytes, bytes + 4);
    acc_ &= (uint64_t(1) << nAcc_) - 1;
  }
}

template <int A, bool kEscape, bool kByte>
void StreamWriter::code(uint16_t* table, uint32_t s) {
  auto emit = [this](int n, uint32_t l) { putBits(n, uint32_t(uint64_t(l) >> (32 - n))); };
  if (!encodeSym<A, kEscape, kByte>(m_, table, s, L_, H_, emit)) broken_ = true;
}

void StreamWriter::uniform(uint32_t v, uint32_t total) {
  encodeUniform(v, total, L_, H_,
                [this](int n, uint32_t l) { putBits(n, uint32_t(uint64_t(l) >> (32 - n))); });
}

void StreamWriter::prime(const uint8_t* pwd, int len) {
  // The bits of priming are dropped: the decoder keeps only the tables and the interval.
  if (!primeModel(m_, L_, H_, pwd, len, [](int, uint32_t) {})) broken_ = true;
}

void StreamWriter::beginStream(bool resetInterval, uint64_t seed) {
  if (resetInterval) L_ = kInitialLow, H_ = kInitialHigh;
  out_.clear();
  acc_ = 0, nAcc_ = 0;
  uint64_t x = seed;
  for (int i = 0; i < 8; ++i) {  // filler pairs from a splitmix64 sequence
    x += 0x9E3779B97F4A7C15ull;
    uint64_t z = x;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    code<kLeaves4, true>(m_.aIdx4[0], uint32_t(z & 15));
    code<kLeaves5, true>(m_.aIdx5[0], uint32_t((z >> 8) & 31));
  }
}

void StreamWriter::literal(uint8_t byte) {
  ++coded_;
  const uint32_t top = byte >> 5;
  code<kLeaves4, true>(m_.aIdx4[0], top);
  code<kLeaves5, true>(m_.aIdx5[top], byte & 31u);
}

uint64_t StreamWriter::maxDistance(uint32_t lengthField) { return core::maxDistance(lengthField); }

// Width symbol, then the bytes of D - base, top byte first.
void StreamWriter::distance(int ctx, uint64_t dist) {
  const uint64_t D = dist - 1;
  const int w = distWidth(D);
  code<kLeaves3, false>(m_.aIdx3[ctx - 1], uint32_t(w));
  const uint64_t x = D - kDistBase[w];
  code<kLeaves8, true, true>(m_.aIdx8[distHighTable(w, ctx)], uint32_t(x >> (8 * w)) & 0xFF);
  for (int j = 0; j < w; ++j)
    code<kLeaves8, true, true>(m_.aIdx8[distLowTable(w, j)],
                               uint32_t(x >> (8 * (w - 1 - j))) & 0xFF);
}

void StreamWriter::match(uint32_t len, uint64_t dist) {
  const bool longForm = len >= kLongForm;
  if (len < 2 || (longForm && len - kLongForm >= kLongPowers) || dist < 1 ||
      dist > maxDistance(len)) {
    broken_ = true;  // not an instruction the grammar can carry
    return;
  }
  coded_ += longForm ? uint64_t(1) << 16 : len;  // enough for the price epochs
  uint16_t* head = m_.aIdx4[0];
  uint16_t* ext = m_.aIdx4[1];
  if (len == 2) {
    code<kLeaves4, true>(head, kHeadMatch2);
    code<kLeaves8, true, true>(m_.aIdx8[kSeedTable], uint32_t(dist - 1));
    return;
  }
  const LengthCode lc = lengthCode(len);
  code<kLeaves4, true>(head, lc.head);
  if (lc.ext >= 0) code<kLeaves4, true>(ext, uint32_t(lc.ext));
  if (lc.table == 3) {
    code<kLeaves8, true, true>(m_.aIdx8[3], lc.value >> 8);
    code<kLeaves8, true, true>(m_.aIdx8[4], lc.value & 0xFF);
  } else if (lc.table >= 0) {
    code<kLeaves8, true, true>(m_.aIdx8[lc.table], lc.value);
  }
  distance(distContext(len), dist);
}

void StreamWriter::control(uint32_t c) {
  code<kLeaves4, true>(m_.aIdx4[0], kHeadExt);
  code<kLeaves4, true>(m_.aIdx4[1], kExtControl);
  uniform(c, 16);
}

void StreamWriter::endOfBuffer() { control(kCtlEndBuffer); }

void StreamWriter::blockStart(uint64_t index) {
  if (index >> 40) {
    broken_ = true;
    return;
  }
  if (index < (uint64_t(1) << kStart27Bits)) {
    control(kCtlBlock27);
  } else {
    control(kCtlBlock40);
    uniform(uint32_t(index >> kStart27Bits), 1u << kStartHighBits);
  }
  uniform(uint32_t(index >> kStartLowBits) & ((1u << kStartHighBits) - 1), 1u << kStartHighBits);
  uniform(uint32_t(index) & ((1u << kStartLowBits) - 1), 1u << kStartLowBits);
}

std::vector<uint8_t> StreamWriter::endStream(unsigned code) {
  control(code);
  // The decoder holds 32 bits ahead of the last symbol: give it L, then fill the word.
  putBits(32, L_);
  if (nAcc_ > 0) putBits(32 - nAcc_, 0);
  while (out_.size() % 8) out_.push_back(0);
  std::vector<uint8_t> bytes;
  bytes.swap(out_);
  return bytes;
}

size_t StreamWriter::takeBytes(uint8_t* dst, size_t n) {
  n = std::min(n, out_.size());
  std::memcpy(dst, out_.data(), n);
  out_.erase(out_.begin(), out_.begin() + ptrdiff_t(n));
  return n;
}

// ---- Prices ----

namespace {

// 16 * log2(x) for 1 <= x < 4096, to about 1/16 bit.
const std::array<uint16_t, 4096> kLog16 = [] {
  std::array<uint16_t, 4096> t{};
  for (int i = 1; i < 4096; ++i) t[i] = uint16_t(std::lround(16.0 * std::log2(double(i))));
  return t;
}();

// 16 * log2(x) for x >= 1: larger values lose their low bits first.
uint32_t log16(uint32_t x) {
  const int shift = std::max(int(std::bit_width(x)) - 12, 0);
  return kLog16[x >> shift] + 16 * uint32_t(shift);
}

uint32_t priceOf(uint32_t freq, uint32_t total) {
  if (freq == 0 || total == 0) return 16 * 32;  // cannot occur in a sound model
  const uint32_t whole = log16(total), part = log16(freq);
  return whole > part ? whole - part : 0;
}

// The cost of a symbol t has not seen: the escape, then the uniform choice among the unseen.
template <int A>
uint32_t unseenPrice(const uint16_t* t) {
  uint32_t unseen = 0;
  for (int i = 0; i < A - 1; ++i) unseen += t[A + i] == 0;
  return priceOf(t[2 * A - 1], t[1]) + (unseen > 1 ? log16(unseen) : 0);
}

// The cost of s in t.
template <int A, bool kEscape>
uint32_t symbolPrice(const uint16_t* t, uint32_t s) {
  if (!kEscape || t[A + s] != 0) return priceOf(t[A + s], t[1]);
  return unseenPrice<A>(t);
}

// A byte table not yet used starts from table 5: price it there.
const uint16_t* priceSource(const Model& m, int k) { return m.aIdx8[k][1] ? m.aIdx8[k] : m.aIdx8[kSeedTable]; }

uint32_t bytePrice(const Model& m, int k, uint32_t s) { return symbolPrice<kLeaves8, true>(priceSource(m, k), s); }

// Every symbol's price in t, as symbolPrice gives it, the unseen symbols counted once.
template <int A = kLeaves8>
void tablePrices(const uint16_t* t, uint16_t* out) {
  const uint32_t unseen = unseenPrice<A>(t);
  for (int s = 0; s < A - 1; ++s) out[s] = uint16_t(t[A + s] == 0 ? unseen : priceOf(t[A + s], t[1]));
}

}  // namespace

void StreamWriter::priceLiterals(uint32_t out[256]) const {
  uint16_t low[kLeaves5 - 1];
  for (uint32_t top = 0; top < 8; ++top) {
    const uint32_t head = symbolPrice<kLeaves4, true>(m_.aIdx4[0], top);
    tablePrices<kLeaves5>(m_.aIdx5[top], low);
    for (uint32_t s = 0; s < 32; ++s) out[top << 5 | s] = head + low[s];
  }
}

uint32_t StreamWriter::priceLength(uint32_t len) const {
  const uint16_t* head = m_.aIdx4[0];
  const uint16_t* ext = m_.aIdx4[1];
  if (len == 2) return symbolPrice<kLeaves4, true>(head, kHeadMatch2);
  const LengthCode lc = lengthCode(len);
  uint32_t p = symbolPrice<kLeaves4, true>(head, lc.head);
  if (lc.ext >= 0) p += symbolPrice<kLeaves4, true>(ext, uint32_t(lc.ext));
  if (lc.table == 3) {
    p += bytePrice(m_, 3, (lc.value >> 8) & 0xFF) + bytePrice(m_, 4, lc.value & 0xFF);
  } else if (lc.table >= 0) {
    p += bytePrice(m_, lc.table, lc.value);
  }
  return p;
}

void StreamWriter::priceTable(int k, uint64_t epoch) const {
  pricedIn_[size_t(k)] = epoch;
  tablePrices(priceSource(m_, k), bytePrices_[size_t(k)].data());
}

void StreamWriter::priceWidths(uint64_t epoch) const {
  widthsIn_ = epoch;
  for (size_t t = 0; t < widthPrices_.size(); ++t)
    for (uint32_t w = 0; w <= t + 1; ++w) widthPrices_[t][w] = uint16_t(symbolPrice<kLeaves3, false>(m_.aIdx3[t], w));
}

uint32_t StreamWriter::priceDistance(uint32_t len, uint64_t dist) const {
  uint32_t all[5];
  priceDistances(dist, all);
  return all[distContext(len)];
}

void StreamWriter::priceDistances(uint64_t dist, uint32_t out[5]) const {
  // Context 0 (length 2) has one byte from the seed table; the others share the width's lower
  // bytes and differ in the width symbol and the top byte. A context too short for the width
  // gets a price no parse takes.
  constexpr uint32_t kNever = 1u << 20;
  const uint64_t epoch = priceEpoch();
  const uint64_t D = dist - 1;
  out[0] = D < 256 ? bytePrices(kSeedTable, epoch)[D] : kNever;
  const int w = distWidth(D);
  const uint64_t x = D - kDistBase[w];
  if (widthsIn_ != epoch) [[unlikely]]
    priceWidths(epoch);
  uint32_t low = 0;
  for (int j = 0; j < w; ++j) low += bytePrices(distLowTable(w, j), epoch)[uint32_t(x >> (8 * (w - 1 - j))) & 0xFF];
  const uint32_t top = uint32_t(x >> (8 * w)) & 0xFF;
  for (int ctx = 1; ctx <= 4; ++ctx)
    out[ctx] = ctx < w ? kNever : low + widthPrices_[size_t(ctx - 1)][size_t(w)] + bytePrices(distHighTable(w, ctx), epoch)[top];
}

}  // namespace qn::zip
