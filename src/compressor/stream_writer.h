// Stream writer: turns instructions (literals, matches, control codes, block start
// indexes) into the compressed bit stream, the exact mirror of the decoder's grammar.
#pragma once
#include <cstdint>
#include <vector>

#include "decoder/model.h"

namespace qn::zip {

class StreamWriter {
 public:
  // The model is shared: the index stream and then the data stream of one archive run
  // on the same tables, as the decoder's do.
  explicit StreamWriter(dec::Model& model);

  // Password priming (the mirror of the decoder's syncInit): codes the password bytes and
  // then 0..8 through table 5 of the byte group; keeps the interval, drops the bits.
  void prime(const uint8_t* pwd, int len);

  // Starts a stream: optionally resets the interval to [0, 0xFFFFFFFF] (the data stream
  // does, the index stream keeps what priming left), then codes eight random filler pairs.
  void beginStream(bool resetInterval, uint64_t seed);

  void literal(uint8_t byte);
  // lengthField: 2..65535, or 0x10000 + v for v = 0..47 (65536, then 2^(16+v)).
  // distance: 1 .. 2^40 (D + 1 of the grammar); a length of 2 takes distances 1..256.
  void match(uint32_t lengthField, uint64_t distance);
  void endOfBuffer();                 // control code 6
  void blockStart(uint64_t index);    // control code 1 (27 bits) or 2 (40 bits)
  // Control code 5 (data) or 7 (index), then the final bits; returns the stream's bytes,
  // padded with zero bytes to a multiple of 8.
  std::vector<uint8_t> endStream(unsigned code);

  // Prices in 1/16 bit under the model's current counts (no update), for the parser.
  uint32_t priceLiteral(uint8_t byte) const;
  uint32_t priceMatch(uint32_t lengthField, uint64_t distance) const;

  uint64_t bytesSoFar() const { return out_.size(); }

 private:
  dec::Model& m_;
  uint32_t L_ = 0, H_ = 0xFFFFFFFF;
  uint32_t bufBit_ = 0;
  int iBit_ = 0;
  std::vector<uint8_t> out_;
};

}  // namespace qn::zip
