// The grammar's pinned cases: symbols and words of given instructions, the long length
// code, control codes, the block start ring, the end of input, and damaged streams.
#include <random>

#include "quarnzip/stream_writer.h"
#include "harness.h"
#include "raw_writer.h"

namespace qn::test {
namespace {

constexpr const char* kDamaged = "Compressed data is damaged";

// Writes with the stream writer on a fresh model (no filler), ends the buffer with code 6
// and decodes that buffer with a fresh decoder model. Returns the words.
template <class F>
std::vector<uint32_t> writeAndDecode(core::Model& enc, F body) {
  enc = core::Model{};
  enc.init();
  zip::StreamWriter w(enc);
  body(w);
  const std::vector<uint8_t> bytes = w.endStream(core::kCtlEndBuffer);
  freshModel();
  return decodeOneBuffer(bytes);
}

TEST(StreamGrammar, SymbolsAndWordsOfPinnedInstructions) {
  core::Model m;
  // Length 300 at distance 70000: head 14, extension 12, symbol 24 of byte table 1; then
  // in context 4 the width 2 from aIdx3 table 3 and bytes 0, 16, 111 from tables 19, 15
  // and 16 (D = 69999 = 0x10100 + 0x106F).
  auto words = writeAndDecode(m, [](zip::StreamWriter& w) { w.match(300, 70000); });
  EXPECT_EQ(words, (std::vector<uint32_t>{0x8000012C, 70000, 262}));
  EXPECT_EQ(m.aIdx4[0][17 + 14], 2);  // head 14 twice: the match and the control code
  EXPECT_EQ(m.aIdx4[1][17 + 12], 1);
  EXPECT_EQ(m.aIdx8[1][257 + 24], 1);
  EXPECT_EQ(m.aIdx3[3][7 + 2], 2);     // 1 from the start, 1 from this distance
  EXPECT_EQ(m.aIdx8[19][257 + 0], 1);
  EXPECT_EQ(m.aIdx8[15][257 + 16], 1);
  EXPECT_EQ(m.aIdx8[16][257 + 111], 1);
  EXPECT_EQ(std::memcmp(&m, &dec::model, sizeof m), 0);

  // 0x41 is head 2 and symbol 1 of aIdx5 table 2; 0xFF head 7 and symbol 31 of table 7.
  words = writeAndDecode(m, [](zip::StreamWriter& w) { w.literal(0x41), w.literal(0xFF); });
  EXPECT_EQ(words, (std::vector<uint32_t>{0x41, 0xFF, 262}));
  EXPECT_EQ(m.aIdx4[0][17 + 2], 1);
  EXPECT_EQ(m.aIdx5[2][33 + 1], 1);
  EXPECT_EQ(m.aIdx4[0][17 + 7], 1);
  EXPECT_EQ(m.aIdx5[7][33 + 31], 1);

  // D = 0x7FFFFFFE is one word 0x7FFFFFFF; D = 0x7FFFFFFF two words 0x80000000, 0x80000000.
  // Distance 1 is width 0 byte 0, 257 width 1 bytes 0 0, 256 width 0 byte 255.
  words = writeAndDecode(m, [](zip::StreamWriter& w) {
    w.match(6, 0x7FFFFFFF), w.match(6, 0x80000000), w.match(3, 1), w.match(3, 257),
        w.match(3, 256), w.match(2, 256);
  });
  EXPECT_EQ(words, (std::vector<uint32_t>{0x80000006, 0x7FFFFFFF, 0x80000006, 0x80000000,
                                          0x80000000, 0x80000003, 1, 0x80000003, 257,
                                          0x80000003, 256, 0x80000002, 256, 262}));
  EXPECT_EQ(m.aIdx3[0][7 + 0], 3);       // widths in context 1: 0 (twice) and 1
  EXPECT_EQ(m.aIdx3[0][7 + 1], 2);
  EXPECT_EQ(m.aIdx8[6][257 + 0], 1);     // distance 1: byte 0 of table 5 + ctx 1
  EXPECT_EQ(m.aIdx8[6][257 + 255], 1);   // distance 256
  EXPECT_EQ(m.aIdx8[11][257 + 0], 1);    // distance 257: bytes 0, 0 in tables 11 and 10
  EXPECT_EQ(m.aIdx8[10][257 + 0], 1);
  EXPECT_EQ(m.aIdx8[5][257 + 255], 1);   // length 2, distance 256: byte 255 of table 5
}

// Head 14, extension 14, then the long code v in tables 3 and 4 and a distance of 1.
std::vector<uint8_t> longCode(uint32_t v) {
  core::Model m{};
  m.init();
  RawWriter w(m);
  w.head(core::kHeadExt);
  w.ext(core::kExtLong);
  w.byteSym(3, v >> 8);
  w.byteSym(4, v & 0xFF);
  w.width(4, 0);
  w.byteSym(9, 0);
  w.control(core::kCtlEndBuffer);
  return w.finish();
}

TEST(StreamGrammar, LongLengthCode) {
  freshModel();
  EXPECT_EQ(decodeOneBuffer(longCode(788)), (std::vector<uint32_t>{0x80000314, 1, 262}));
  freshModel();
  EXPECT_EQ(decodeOneBuffer(longCode(0)), (std::vector<uint32_t>{0x80010000, 1, 262}));
  freshModel();
  EXPECT_EQ(decodeOneBuffer(longCode(48)), (std::vector<uint32_t>{0x80010030, 1, 262}));
  freshModel();
  EXPECT_EQ(decodeOneBuffer(longCode(0xFFFF)), (std::vector<uint32_t>{0x8000FFFF, 1, 262}));
  for (uint32_t v : {49u, 787u}) {
    const auto r = runChild([&] {
      freshModel();
      decodeOneBuffer(longCode(v));
    });
    EXPECT_EQ(r.status, 1) << v;
    EXPECT_NE(r.output.find("Unused length code"), std::string::npos) << r.output;
  }
}

TEST(StreamGrammar, ControlCodes) {
  // A buffer of code 6 alone returns 1: its 262 word.
  core::Model m{};
  m.init();
  RawWriter w(m);
  w.control(core::kCtlEndBuffer);
  freshModel();
  EXPECT_EQ(decodeOneBuffer(w.finish()), (std::vector<uint32_t>{262}));

  // Unknown codes halt after writing their word.
  for (uint32_t code : {0u, 3u, 4u, 8u, 15u}) {
    const auto r = runChild([&] {
      core::Model em{};
      em.init();
      RawWriter bad(em);
      bad.control(code);
      freshModel();
      decodeOneBuffer(bad.finish());
    });
    EXPECT_EQ(r.status, 1) << code;
    EXPECT_NE(r.output.find("Unknown control code"), std::string::npos) << r.output;
  }
}

TEST(StreamGrammar, BlockStartRing) {
  // 4095 unread indexes fit; the push that makes the tail meet the head halts.
  auto stream = [](int count) {
    core::Model m{};
    m.init();
    RawWriter w(m);
    for (int i = 0; i < count; ++i) {
      if (i % 2) {
        w.control(core::kCtlBlock27), w.uniform(uint32_t(i) & 0x1FFF, 1 << 13);
        w.uniform(0x2AAA, 1 << 14);
      } else {
        w.control(core::kCtlBlock40), w.uniform(0x1FFF, 1 << 13), w.uniform(uint32_t(i), 1 << 13);
        w.uniform(0x3FFF, 1 << 14);
      }
    }
    w.control(core::kCtlEndBuffer);
    return w.finish();
  };
  freshModel();
  const auto words = decodeOneBuffer(stream(4095));
  ASSERT_EQ(words.size(), 4096u);
  EXPECT_EQ(words[0], 258u);
  EXPECT_EQ(words[1], 257u);
  EXPECT_EQ(rec::stTail, 4095u);
  EXPECT_EQ(rec::st[0], (uint64_t(0x1FFF) << 27) | (0 << 14) | 0x3FFF);
  EXPECT_EQ(rec::st[1], (uint64_t(1) << 14) | 0x2AAA);
  EXPECT_EQ(rec::st[4094], (uint64_t(0x1FFF) << 27) | (uint64_t(4094) << 14) | 0x3FFF);

  const auto r = runChild([&] {
    freshModel();
    decodeOneBuffer(stream(4096));
  });
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("BWT block overflow"), std::string::npos) << r.output;
}

std::vector<uint8_t> literalStream(size_t count, bool endCode) {
  core::Model m{};
  m.init();
  zip::StreamWriter w(m);
  w.beginStream(true, 99);
  for (size_t i = 0; i < count; ++i) w.literal(uint8_t('a' + i % 7));
  return w.endStream(endCode ? core::kCtlEndData : core::kCtlEndBuffer);
}

TEST(StreamGrammar, EndOfInputClosesTheBuffer) {
  // The stream cut after about half: the last buffer holds the decoded prefix and two
  // end words, handed over as the stream's end.
  std::vector<uint8_t> bytes = literalStream(20000, true);
  bytes.resize(bytes.size() / 2 & ~size_t(7));
  freshModel();
  resetPass();
  Decoded d = runDecoder(bytes);
  ASSERT_TRUE(d.ended);
  ASSERT_EQ(d.buffers.size(), 1u);
  const auto& b = d.buffers[0];
  ASSERT_GE(b.size(), 1000u);
  EXPECT_EQ(b[b.size() - 1], 263u);
  EXPECT_EQ(b[b.size() - 2], 263u);
  for (size_t i = 0; i + 2 < b.size(); ++i) ASSERT_EQ(b[i], uint32_t('a' + i % 7)) << i;
  EXPECT_EQ(rec::statCmd[0], 2u);
  EXPECT_EQ(rec::lenCmd[0], b.size());
  EXPECT_EQ(ctr::statZip[0] + ctr::statZip[1], 0u);
  EXPECT_EQ(ctr::msgCode[2], 0u);  // the stop request was acknowledged

  // A pass without any input: the buffer carries the end words alone.
  freshModel();
  resetPass();
  d = runDecoder({});
  ASSERT_TRUE(d.ended);
  EXPECT_EQ(flatten(d), (std::vector<uint32_t>{263, 263}));
}

TEST(StreamGrammar, EndCodesHandTheLastBufferOver) {
  for (unsigned code : {5u, 7u}) {
    freshModel();
    resetPass();
    core::Model m{};
    m.init();
    zip::StreamWriter w(m);
    w.beginStream(true, 1);
    w.literal('x');
    w.endOfBuffer();
    w.literal('y');
    const Decoded d = runDecoder(w.endStream(code));
    ASSERT_TRUE(d.ended);
    EXPECT_EQ(d.buffers, (std::vector<std::vector<uint32_t>>{{'x', 262}, {'y', 256 + code}}));
    EXPECT_EQ(rec::statCmd[1], 2u);
    EXPECT_EQ(rec::lenCmd[1], 2u);
    EXPECT_EQ(rec::nCmdW, 1);
    EXPECT_TRUE(ctr::inzipDone);
    EXPECT_EQ(ctr::statZip[0] + ctr::statZip[1], 0u);
  }
}

// A child decodes a broken stream: it must end with status 1 and one of the decoder's
// reports, or finish cleanly; never crash or hang.
void expectCleanOrReported(const std::vector<uint8_t>& bytes, const char* what) {
  const auto r = runChild([&] {
    freshModel();
    resetPass();
    runDecoder(bytes);
  });
  const bool reported = r.output.find(kDamaged) != std::string::npos ||
                        r.output.find("Unknown control code") != std::string::npos ||
                        r.output.find("Unused length code") != std::string::npos ||
                        r.output.find("BWT block overflow") != std::string::npos;
  EXPECT_TRUE((r.status == 1 && reported) || (r.status == 0 && r.output.empty()))
      << what << ": status " << r.status << " output " << r.output;
}

TEST(DamagedStream, NeverCrashes) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 16; ++i) {
    std::vector<uint8_t> noise(size_t(8) << (i % 16));
    for (auto& b : noise) b = uint8_t(rng());
    expectCleanOrReported(noise, "random bytes");
  }
  const std::vector<uint8_t> good = literalStream(5000, true);
  for (int i = 0; i < 12; ++i) {
    std::vector<uint8_t> bad = good;
    bad[rng() % bad.size()] ^= uint8_t(1u << (rng() % 8));
    expectCleanOrReported(bad, "flipped bit");
  }
}

// One symbol of aIdx4 table 0 decoded from a prepared state, in a child: the run must stop
// with the damaged message.
void expectDamagedSymbol(const char* what, const std::function<void(dec::DecoderCore&)>& prepare) {
  const auto r = runChild([&] {
    freshModel();
    static const uint8_t zeros[64] = {};
    dec::DecoderCore c{};
    c.L = 0, c.H = 0xFFFFFFFF, c.M = 0;
    c.bufBin = zeros, c.iBin = 0, c.iBlockBin = 64, c.iBit = 0;
    prepare(c);
    c.decodeSym<core::kLeaves4, true>(dec::model, dec::model.aIdx4[0]);
  });
  EXPECT_EQ(r.status, 1) << what;
  EXPECT_NE(r.output.find(kDamaged), std::string::npos) << what << ": " << r.output;
}

TEST(DamagedStream, EachSymbolCheckStopsTheRun) {
  expectDamagedSymbol("M below L", [](dec::DecoderCore& c) { c.L = 0x80000000, c.M = 0x10; });
  expectDamagedSymbol("total 0", [](dec::DecoderCore&) {
    std::memset(dec::model.aIdx4[0], 0, sizeof dec::model.aIdx4[0]);
  });
  expectDamagedSymbol("leaf of count 0", [](dec::DecoderCore&) {
    uint16_t* t = dec::model.aIdx4[0];  // a root that disagrees with its leaves
    t[1] = 100, t[2] = 0, t[3] = 0;
  });
  expectDamagedSymbol("sub-interval beyond the total", [](dec::DecoderCore&) {
    uint16_t* t = dec::model.aIdx4[0];  // a root below its leaf, as after a wrap: [0, 10) of 8
    t[33] = 0, t[17] = 10;
    core::rebuildNodes<17>(t);
    t[1] = 8;
  });
  expectDamagedSymbol("escape with nothing unseen", [](dec::DecoderCore& c) {
    uint16_t* t = dec::model.aIdx4[0];  // every symbol seen, yet the escape still counts
    for (int n = 17; n < 33; ++n) t[n] = 1;
    t[33] = 63;
    core::rebuildNodes<17>(t);
    c.M = 0x10000000;  // target 4 of 79: inside the escape's [1, 64)
  });
}

TEST(DamagedStream, InstructionBufferOverflowIsReported) {
  // 0x180000 literals without an end of buffer cannot fit one instruction buffer.
  const auto bytes = literalStream(0x180000, true);
  const auto r = runChild([&] {
    freshModel();
    resetPass();
    runDecoder(bytes);
  });
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find(kDamaged), std::string::npos) << r.output;
}

TEST(DamagedStream, EscapeAboveSixtyThreeBreaksTheWritersModel) {
  // Tables set up with esc 63, then run with esc 16384: removing an escape that holds 63
  // wraps the counts, and the writer must notice before it writes an unreadable stream.
  core::Model m{};
  m.init();
  zip::StreamWriter w(m);
  w.beginStream(false, 3);
  m.setParams(16384, 5);
  std::mt19937_64 rng(11);
  for (int i = 0; i < 400000 && !w.broken(); ++i) w.literal(uint8_t(rng()));
  EXPECT_TRUE(w.broken());
}

}  // namespace
}  // namespace qn::test
