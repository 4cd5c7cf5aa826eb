// Stream writer: turns instructions (literals, matches, control codes, block start
// indexes) into the compressed bit stream, the exact mirror of the decoder's grammar.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/coder.h"
#include "core/model.h"

namespace qn::zip {

class StreamWriter {
 public:
  // The model is shared: the index stream and then the data stream of one archive run
  // on the same tables, as the decoder's do. The decoder takes the archive's esc/flush
  // into the model before the data stream's filler, so call model.setParams before
  // beginStream of the data stream.
  explicit StreamWriter(core::Model& model);

  // Password priming (the mirror of the decoder's syncInit): codes the password bytes and
  // then 0..8 through table 5 of the byte group; keeps the interval, drops the bits.
  void prime(const uint8_t* pwd, int len);

  // Starts a stream: optionally resets the interval to a fresh one (the data stream
  // does, the index stream keeps what priming left), then codes eight random filler pairs.
  void beginStream(bool resetInterval, uint64_t seed);

  void literal(uint8_t byte);
  // lengthField: 2..65535, or 0x10000 + v for v = 0..47 (65536, then 2^(16+v)).
  // distance: 1 .. 2^40 (D + 1 of the grammar); a length of 2 takes distances 1..256.
  // The distance must not exceed maxDistance(lengthField).
  void match(uint32_t lengthField, uint64_t distance);
  void endOfBuffer();                 // control code 6
  void blockStart(uint64_t index);    // control code 1 (27 bits) or 2 (40 bits); index < 2^40
  // Control code 5 (data) or 7 (index), then the final bits; returns the stream's bytes,
  // padded with zero bytes to a multiple of 8. The writer is then empty, ready for the
  // next beginStream on the same model.
  std::vector<uint8_t> endStream(unsigned code);

  // Prices in 1/16 bit under the model's current counts (no update), for the parser.
  void priceLiterals(uint32_t out[256]) const;  // every byte's, worked out together
  uint32_t priceLength(uint32_t lengthField) const;
  uint32_t priceDistance(uint32_t lengthField, uint64_t distance) const;  // in the length's context
  void priceDistances(uint64_t distance, uint32_t out[5]) const;          // in contexts 0..4

  // The farthest distance a match of this length field can code (its context limits the
  // distance width): 256 for length 2, 65792 for 3, 16843008 for 4, 4311810304 for 5,
  // 2^40 + 0x101010100 for longer ones.
  static uint64_t maxDistance(uint32_t lengthField);

  // Whole bytes written so far (the stream's final bytes come with endStream).
  uint64_t bytesSoFar() const { return out_.size(); }
  // Moves up to n of the bytes written so far to dst (for chunked output); returns how many.
  size_t takeBytes(uint8_t* dst, size_t n);

  // True once the model met a state it cannot code (a broken table: a count wrapped, a
  // total of 0; possible only with esc above 63) or an instruction out of range was asked
  // for. The stream is then not decodable and must not be written.
  bool broken() const { return broken_; }

 private:
  void putBits(int n, uint32_t bits);  // n = 1..32, highest first
  template <int A, bool kEscape, bool kByte = false>
  void code(uint16_t* table, uint32_t s);
  void uniform(uint32_t v, uint32_t total);
  void control(uint32_t c);
  void distance(int ctx, uint64_t dist);

  // A byte table's prices, all 256 worked out together the first time the parser asks for one
  // in each stretch of 2^kPriceEpochBits coded bytes: a distance's bytes then cost a look-up
  // each, not a pass over the table's counts (a tenth of one thread's instructions on text).
  static constexpr int kPriceEpochBits = 14;
  static constexpr size_t kByteTables = std::size(decltype(core::Model::aIdx8){});
  uint64_t priceEpoch() const { return (coded_ >> kPriceEpochBits) + 1; }
  const uint16_t* bytePrices(int table, uint64_t epoch) const {
    if (pricedIn_[size_t(table)] != epoch) [[unlikely]]
      priceTable(table, epoch);
    return bytePrices_[size_t(table)].data();
  }
  void priceTable(int table, uint64_t epoch) const;
  void priceWidths(uint64_t epoch) const;

  core::Model& m_;
  uint64_t coded_ = 0;  // bytes that the literals and matches coded so far stand for
  mutable std::array<uint64_t, kByteTables> pricedIn_{};  // epoch + 1 of each table's prices
  mutable std::array<std::array<uint16_t, 256>, kByteTables> bytePrices_{};
  mutable uint64_t widthsIn_ = 0;  // the same for the width symbols' tables
  mutable std::array<std::array<uint16_t, 5>, std::size(decltype(core::Model::aIdx3){})> widthPrices_{};
  uint32_t L_ = core::kInitialLow, H_ = core::kInitialHigh;
  uint64_t acc_ = 0;   // pending bits, fewer than 32
  int nAcc_ = 0;
  bool broken_ = false;
  std::vector<uint8_t> out_;
};

}  // namespace qn::zip
