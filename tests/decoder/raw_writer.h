// A symbol-level writer for the decoder tests: codes any symbol of any table, so a test
// can build streams the stream writer refuses (unused long codes, unknown control codes).
#pragma once
#include <cstdint>
#include <cstring>
#include <vector>

#include "decoder/decoder.h"
#include "core/codes.h"
#include "harness.h"

namespace qn::test {

struct RawWriter {
  core::Model& m;
  uint32_t L = 0, H = 0xFFFFFFFF;
  std::vector<int> bits;  // every emitted bit, in order

  explicit RawWriter(core::Model& model) : m(model) {}

  auto emitter() {
    return [this](int n, uint32_t l) {
      for (int i = 31; i > 31 - n; --i) bits.push_back(int(l >> i) & 1);
    };
  }
  void head(uint32_t s) { core::encodeSym<core::kLeaves4, true>(m, m.aIdx4[0], s, L, H, emitter()); }
  void ext(uint32_t s) { core::encodeSym<core::kLeaves4, true>(m, m.aIdx4[1], s, L, H, emitter()); }
  void byteSym(int k, uint32_t s) {
    core::encodeSym<core::kLeaves8, true, true>(m, m.aIdx8[k], s, L, H, emitter());
  }
  void width(int ctx, uint32_t w) {
    core::encodeSym<core::kLeaves3, false>(m, m.aIdx3[ctx - 1], w, L, H, emitter());
  }
  void uniform(uint32_t v, uint32_t total) { core::encodeUniform(v, total, L, H, emitter()); }
  void control(uint32_t c) {
    head(core::kHeadExt);
    ext(core::kExtControl);
    uniform(c, 16);
  }
  // The final 32 bits of L, zero bits to a whole word; the stream's bytes.
  std::vector<uint8_t> finish() {
    for (int i = 31; i >= 0; --i) bits.push_back(int(L >> i) & 1);
    while (bits.size() % 64) bits.push_back(0);
    std::vector<uint8_t> out;
    for (size_t w = 0; w < bits.size(); w += 32) {
      uint32_t word = 0;
      for (size_t i = 0; i < 32; ++i) word = word << 1 | uint32_t(bits[w + i]);
      for (int b = 0; b < 4; ++b) out.push_back(uint8_t(word >> (8 * b)));
    }
    return out;
  }
};

// Decodes a stream without filler (the writer wrote none) from buffer 0 of the input ring,
// which holds all of it: the first binUnzip call's words. The stream must end with code 6.
inline std::vector<uint32_t> decodeOneBuffer(const std::vector<uint8_t>& bytes) {
  resetPass();
  dec::L = 0, dec::H = 0xFFFFFFFF;
  std::memcpy(ctr::bufZip[0], bytes.data(), bytes.size());
  dec::bufBin = ctr::bufZip[0];
  dec::iBin = 0;
  dec::iBlockBin = int32_t(bytes.size());
  dec::DecoderCore c;
  dec::load(c);
  c.startDecoder();
  dec::save(c);
  rec::iCmdW = 0;
  const int32_t n = dec::binUnzip();
  return std::vector<uint32_t>(rec::bufCmd[0], rec::bufCmd[0] + n);
}

}  // namespace qn::test
