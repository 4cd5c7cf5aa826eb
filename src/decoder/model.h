// Adaptive frequency tables shared by the decoder and the compressor: four groups of
// 16-bit count trees in heap order, with escape symbols, rescaling and derivation.
#pragma once
#include <cstdint>

namespace qn::dec {

struct Model {
  uint16_t aIdx3[4][14];    // distance width symbol, contexts 1..4 (no escape)
  uint16_t aIdx4[2][34];    // head symbol, extension symbol
  uint16_t aIdx5[8][66];    // low five bits of a literal, by its top three bits
  uint16_t aIdx8[30][514];  // lengths and distance bytes; table 5 seeds the others
  uint16_t b[256];          // scratch: unseen-symbol flags after an escape
  uint32_t esc = 63, flush = 5, limit = 65535 - 63;

  void setParams(uint32_t escape, uint32_t flushShift) {
    esc = escape;
    flush = flushShift;
    limit = 65535 - escape;
  }
  void init();  // initial contents, with the current esc
};

}  // namespace qn::dec
