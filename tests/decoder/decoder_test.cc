// The coder's arithmetic and table rules against numbers worked out by hand, the grammar's
// end of input, block start ring and damage checks, and round trips from the stream
// writer to the decoder.
#include <functional>
#include <thread>

#include "quarnzip/stream_writer.h"
#include "container/container.h"
#include "driver/driver.h"
#include "decoder/decoder.h"
#include "core/codes.h"
#include "reconstruct/reconstruct.h"
#include "support.h"

namespace qn::test {
namespace {

// ---- The decoder's surroundings: buffers, a fresh model, the ring at a pass start ----

void freshModel(uint32_t esc = 63, uint32_t flush = 5) {
  static std::vector<uint8_t> zip[2];
  static std::vector<uint32_t> cmd[2];
  static uint32_t codes[7];
  for (int k = 0; k < 2; ++k) {
    zip[k].assign(ctr::kChunk, 0), cmd[k].assign(ctr::kCmdWords, 0);
    ctr::bufZip[k] = zip[k].data(), ctr::sizeZip[k] = ctr::kChunk, rec::bufCmd[k] = cmd[k].data();
  }
  ctr::msgCode = codes;
  dec::L = 0, dec::H = 0xFFFFFFFF;
  dec::model = core::Model{};
  dec::model.setParams(esc, flush);
  dec::model.init();
  fe::iEscape = int32_t(esc), fe::iFlush = int32_t(flush);
}

void resetPass() {
  ctr::statZip[0] = 0, ctr::statZip[1] = 3, ctr::lenZip[0] = ctr::lenZip[1] = 0;
  dec::bufBin = ctr::bufZip[1], dec::iBin = 0, dec::iBit = 0;
  rec::statCmd[0] = rec::statCmd[1] = rec::lenCmd[0] = rec::lenCmd[1] = 0;
  rec::nCmdW = 0, rec::iCmdW = 0;
  rec::stTail = rec::stHead = 0;
  ctr::inzipWaiting = ctr::inzipDone = false;
  ctr::msgCode[2] = 0;
}

template <class F>
bool underZip(F cond) {
  std::unique_lock lock(ctr::mutexZip);
  return cond();
}

// Runs the stream head and binUnzip on a thread of their own, as inzip does, keeping every
// instruction buffer's words. This thread plays the driver: it hands the stream over in
// pieces (an empty hand-over before each when asked), posts the end-of-input code if the
// decoder still waits, then the stop request once it has closed.
struct Decoded {
  std::vector<std::vector<uint32_t>> buffers;
  bool ended = false;
};
Decoded runDecoder(const Bytes& stream, size_t piece = 0x1FFFF8, bool emptyPieces = false) {
  Decoded r;
  std::thread worker([&] {
    try {
      dec::startStream();
      for (;;) {
        rec::iCmdW = 0, rec::statCmd[rec::nCmdW] = 1, dec::cmdClaimed = true;
        const int32_t n = dec::binUnzip();
        r.buffers.emplace_back(rec::bufCmd[rec::nCmdW], rec::bufCmd[rec::nCmdW] + n);
        rec::nCmdW = 1 - rec::nCmdW;
      }
    } catch (const dec::StreamEnded&) {
      r.buffers.emplace_back(rec::bufCmd[rec::nCmdW], rec::bufCmd[rec::nCmdW] + rec::iCmdW);
      r.ended = true;
    }
  });
  int k = 0;
  auto handOver = [&](const uint8_t* data, size_t n) {
    std::unique_lock lock(ctr::mutexZip);
    while (ctr::statZip[k] != 0 && !ctr::inzipDone) ctr::waitSecond(ctr::lockIn, lock);
    if (ctr::inzipDone) return;
    if (n) std::memcpy(ctr::bufZip[k], data, n);
    ctr::statZip[k] = 2, ctr::lenZip[k] = uint32_t(n);
    lock.unlock();
    ctr::lockZip.notify_all();
    k = 1 - k;
  };
  for (size_t at = 0; at < stream.size(); at += piece) {
    if (emptyPieces) handOver(nullptr, 0);
    handOver(stream.data() + at, std::min(piece, stream.size() - at));
  }
  while (!underZip([] {
    return ctr::inzipDone || (ctr::inzipWaiting && ctr::statZip[0] != 2 && ctr::statZip[1] != 2);
  }))
    ctr::pollSleep();
  underZip([] { return ctr::inzipDone || (ctr::msgCode[2] = ctr::kEndInput); });
  ctr::lockZip.notify_all();
  while (!underZip([] { return ctr::inzipDone; })) ctr::pollSleep();
  underZip([] { return ctr::msgCode[2] = ctr::kStop; });
  ctr::lockZip.notify_all();
  worker.join();
  return r;
}

// Codes symbols of the head and extension tables, keeping every emitted bit.
struct RawWriter {
  core::Model m;
  uint32_t L = 0, H = 0xFFFFFFFF;
  std::vector<int> bits;
  RawWriter(uint32_t esc = 63) { m.setParams(esc, 5), m.init(); }
  auto emit() {
    return [this](int n, uint32_t l) {
      for (int i = 31; i > 31 - n; --i) bits.push_back(int(l >> i) & 1);
    };
  }
  void head(uint32_t s) { core::encodeSym<17, true>(m, m.aIdx4[0], s, L, H, emit()); }
  void ext(uint32_t s) { core::encodeSym<17, true>(m, m.aIdx4[1], s, L, H, emit()); }
};

dec::DecoderCore coreOver(const uint8_t* bytes, int32_t n) {
  dec::DecoderCore c{};
  c.L = 0, c.H = 0xFFFFFFFF, c.setBuffer(bytes, n);
  return c;
}

using Coder = Unit;

TEST_F(Coder, TargetsBitsAndRenormalisation) {
  // A fresh coder has range 2^32: target = ((M + 1) * total - 1) div 2^32.
  const uint32_t ms[] = {0, 0x0FFFFFFF, 0x10000000, 0x80000000, 0xFFFFFFFF}, want[] = {0, 0, 1, 8, 15};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(core::decodeTarget(0, 0xFFFFFFFF, ms[i], 16), want[i]);
  // L = 0x7FFF0000, H = 0x80000FFF: top bits differ but H - L < 0x20000, so L becomes
  // 0x80000000 and 20 shifts follow; the encoder emits a 1 and 19 zeros.
  uint32_t L = 0x7FFF0000, H = 0x80000FFF;
  RawWriter w;
  core::renormalize(L, H, w.emit());
  EXPECT_EQ(L, 0u);
  EXPECT_EQ(H, 0xFFFFFFFFu);
  std::vector<int> bits(20, 0);
  bits[0] = 1;
  EXPECT_EQ(w.bits, bits);
  // The decoder's M loses the same 20 bits: 0x80000500 << 20.
  const uint8_t zeros[8] = {};
  dec::DecoderCore c = coreOver(zeros, 8);
  c.L = 0x7FFF0000, c.H = 0x80000FFF, c.M = 0x80000500;
  c.renorm();
  EXPECT_EQ(c.M, 0x50000000u);
  EXPECT_EQ(c.bitPos, 20u);
  // decodeUniform(2^13) of v = 5 narrows to [5 * 2^19, 6 * 2^19 - 1]; 13 shifts restore it.
  L = 0, H = 0xFFFFFFFF;
  core::narrowRange(L, H, 5, 1, 8192);
  EXPECT_EQ(L, 0x280000u);
  EXPECT_EQ(H, 0x2FFFFFu);
  const uint8_t five[8] = {0x00, 0x00, 0x28, 0x00};
  c = coreOver(five, 8);
  c.startDecoder();
  EXPECT_EQ(c.decodeUniform(8192), 5u);
  EXPECT_EQ(c.L, 0u);
  EXPECT_EQ(c.H, 0xFFFFFFFFu);
  EXPECT_EQ(c.M, 0u);
}

// decodeSym walks on counts times the range instead of dividing. Against the divided target
// (decodeTarget, a scan of the counts, narrowRange, updateSym), at M on either side of every
// count boundary: the symbol, the interval and the counted table.
template <int A>
void checkBoundaries(uint32_t seed) {
  struct Interval {
    uint32_t L, H;
  };
  const Interval intervals[] = {{0, 0xFFFFFFFF}, {0x12345678, 0x9ABCDEF0}, {0x7FFF0000, 0x8001FFFF}};
  uint16_t counts[2 * A];
  for (int i = A; i < 2 * A; ++i) counts[i] = uint16_t((seed = seed * 1103515245 + 12345) >> 27);
  counts[A + 1] = 0, counts[2 * A - 1] = 1;  // an empty leaf, and a non-empty last one
  core::rebuildNodes<A>(counts);
  const uint32_t total = counts[1];
  const uint8_t zeros[8] = {};
  for (const Interval& iv : intervals)
    for (int s = 0; s < A; ++s) {
      const uint64_t range = uint64_t(iv.H) - iv.L + 1;
      const uint32_t edge = iv.L + uint32_t(core::cumCount<A>(counts, A + s) * range / total);
      for (uint32_t M : {edge - 1, edge, edge + 1}) {
        if (M < iv.L || M > iv.H) continue;
        const uint32_t target = uint32_t(core::decodeTarget(iv.L, iv.H, M, total));
        int want = A;  // leaves lie in tree order, not in symbol order
        while (target - core::cumCount<A>(counts, want) >= counts[want]) ++want;
        uint32_t L = iv.L, H = iv.H;
        core::narrowRange(L, H, core::cumCount<A>(counts, want), counts[want], total);
        core::renormalize(L, H, [](int, uint32_t) {});
        core::Model m{};
        m.init();
        uint16_t expect[2 * A], got[2 * A];
        std::copy(counts, counts + 2 * A, expect);
        std::copy(counts, counts + 2 * A, got);
        core::updateSym<A, false>(m, expect, uint32_t(want - A));
        dec::DecoderCore c = coreOver(zeros, 8);
        c.L = iv.L, c.H = iv.H, c.M = M;
        const uint32_t sym = c.decodeSym<A, false>(m, got);
        ASSERT_EQ(sym, uint32_t(want - A)) << A << " " << M;
        EXPECT_EQ(c.L, L);
        EXPECT_EQ(c.H, H);
        EXPECT_TRUE(std::equal(got, got + 2 * A, expect)) << A << " " << M;
      }
    }
}

TEST_F(Coder, WalkMeetsTheDividedTargetAtEveryBoundary) {
  checkBoundaries<7>(1);
  checkBoundaries<17>(2);
  checkBoundaries<33>(3);
  checkBoundaries<257>(4);
}

// ---- The grammar ----

using Grammar = Unit;

Bytes literalStream(size_t count, unsigned endCode) {
  core::Model m{};
  m.init();
  zip::StreamWriter w(m);
  w.beginStream(true, 99);
  for (size_t i = 0; i < count; ++i) w.literal(uint8_t('a' + i % 7));
  return w.endStream(endCode);
}

TEST_F(Grammar, EndOfInputAndTheBlockStartRing) {
  // Cut after about half: the last buffer holds the decoded prefix and two end words.
  Bytes bytes = literalStream(20000, 5);
  bytes.resize(bytes.size() / 2 & ~size_t(7));
  freshModel(), resetPass();
  Decoded d = runDecoder(bytes);
  ASSERT_TRUE(d.ended);
  ASSERT_EQ(d.buffers.size(), 1u);
  const auto& b = d.buffers[0];
  ASSERT_GE(b.size(), 1000u);
  EXPECT_EQ(std::vector<uint32_t>(b.end() - 2, b.end()), (std::vector<uint32_t>{263, 263}));
  for (size_t i = 0; i + 2 < b.size(); ++i) ASSERT_EQ(b[i], uint32_t('a' + i % 7)) << i;
  EXPECT_EQ(rec::statCmd[0], 2u);
  EXPECT_EQ(rec::lenCmd[0], b.size());
  EXPECT_EQ(ctr::statZip[0] + ctr::statZip[1], 0u);
  EXPECT_EQ(ctr::msgCode[2], 0u);  // the stop request was acknowledged
  freshModel(), resetPass();       // a pass without any input: the end words alone
  EXPECT_EQ(runDecoder({}).buffers, (std::vector<std::vector<uint32_t>>{{263, 263}}));
  // 4095 unread block start indexes fit, 27-bit and 40-bit ones, with their values (the
  // push that makes the tail meet the head is in the damaged-archive table).
  auto blocks = [](uint64_t count) {
    core::Model m{};
    m.init();
    zip::StreamWriter w(m);
    w.beginStream(true, 5);
    for (uint64_t i = 0; i < count; ++i) w.blockStart(i % 2 ? i : (i << 27) | 0x3FFF);
    return w.endStream(5);
  };
  freshModel(), resetPass();
  d = runDecoder(blocks(4095));
  EXPECT_EQ(d.buffers.at(0).size(), 4096u);
  EXPECT_EQ(rec::stTail, 4095u);
  for (uint64_t i = 0; i < 4095; ++i) ASSERT_EQ(rec::st[i], i % 2 ? i : (i << 27) | 0x3FFF) << i;
}

// ---- Round trips: instruction lists through the stream writer and the decoder ----

struct Instr {
  enum Kind { kLiteral, kMatch, kBlock, kEndBuffer } kind;
  uint32_t len = 0;    // literal byte or length field
  uint64_t value = 0;  // distance or block start index
};

std::vector<Instr> randomInstructions(uint64_t seed, size_t count, bool blocks) {
  std::mt19937_64 rng(seed);
  auto in = [&](uint64_t lo, uint64_t hi) { return lo + rng() % (hi - lo + 1); };
  // Length classes: 2, 3..7, 8..19, 20..275, 276..531, 532..787, long, exponent forms.
  const uint32_t lo[] = {2, 3, 8, 20, 276, 532, 788, 0x10000}, hi[] = {2, 7, 19, 275, 531, 787, 65535, 0x1002F};
  std::vector<Instr> list;
  for (size_t i = 0; i < count; ++i) {
    const unsigned r = unsigned(rng() % 100);
    if (r < 45) {
      list.push_back({Instr::kLiteral, uint32_t(rng() % 4 ? " etaoinshrdlu\n"[rng() % 14] : rng() & 255), 0});
    } else if (r < 93) {
      const int c = int(rng() % 8);
      const uint32_t len = uint32_t(in(lo[c], hi[c]));
      const int w = int(rng() % uint64_t(core::distContext(len) + 1));  // widths the context allows
      const uint64_t base = core::kDistBase[w], span = core::kDistBase[w + 1] - base;
      // Favour the ends of each class, where off-by-one faults show.
      list.push_back({Instr::kMatch, len, base + 1 + (rng() % 4 == 0 ? (rng() & 1) * (span - 1) : rng() % span)});
    } else if (r < 96 && blocks) {
      list.push_back({Instr::kBlock, 0, rng() & 1 ? rng() % (1ull << 27) : rng() % (1ull << 40)});
    } else {
      list.push_back({Instr::kEndBuffer, 0, 0});
    }
  }
  return list;
}

// Writes the list on a fresh model primed with pwd, decodes it with the decoder's own fresh
// model primed its way, and checks the words against the word format (literal = byte,
// match word + one or two distance words, 256 + code), the block start indexes and the
// final tables. Returns the stream's size.
size_t roundTrip(const std::vector<Instr>& list, unsigned endCode, const std::string& pwd = "",
                 uint32_t esc = 63, uint32_t flush = 5, size_t piece = 0x1FFFF8, bool empties = false) {
  core::Model enc{};
  enc.setParams(esc, flush);
  enc.init();
  zip::StreamWriter w(enc);
  w.prime(reinterpret_cast<const uint8_t*>(pwd.data()), int(pwd.size()));
  w.beginStream(false, 12345);
  std::vector<std::vector<uint32_t>> want(1);
  std::vector<uint64_t> blocks;
  for (const Instr& in : list) {
    auto& b = want.back();
    if (in.kind == Instr::kLiteral) {
      w.literal(uint8_t(in.len)), b.push_back(in.len);
    } else if (in.kind == Instr::kMatch) {
      w.match(in.len, in.value), b.push_back(0x80000000u | in.len);
      if (in.value <= 0x7FFFFFFF) b.push_back(uint32_t(in.value));
      else b.push_back(uint32_t(in.value >> 32) | 0x80000000u), b.push_back(uint32_t(in.value));
    } else if (in.kind == Instr::kBlock) {
      w.blockStart(in.value), blocks.push_back(in.value), b.push_back(in.value < (1ull << 27) ? 257 : 258);
    } else {
      w.endOfBuffer(), b.push_back(262), want.emplace_back();
    }
  }
  want.back().push_back(256 + endCode);
  const Bytes bytes = w.endStream(endCode);
  EXPECT_FALSE(w.broken());
  EXPECT_EQ(bytes.size() % 8, 0u);

  freshModel(esc, flush), resetPass();
  std::memcpy(fe::bufPwd, pwd.data(), pwd.size());
  fe::iPwdLen = int32_t(pwd.size());
  dec::syncInit();
  fe::iPwdLen = 0;
  resetPass();  // the ring reset comes after priming, as in a pass
  const Decoded got = runDecoder(bytes, piece, empties);
  EXPECT_TRUE(got.ended);
  EXPECT_EQ(got.buffers.size(), want.size());
  for (size_t i = 0; i < std::min(want.size(), got.buffers.size()); ++i)
    EXPECT_EQ(got.buffers[i], want[i]) << "buffer " << i;
  EXPECT_EQ(rec::stTail, blocks.size() % 4096);
  for (size_t i = 0; i < blocks.size(); ++i) EXPECT_EQ(rec::st[i], blocks[i]) << "index " << i;
  EXPECT_EQ(std::memcmp(&enc, &dec::model, sizeof enc), 0);
  return bytes.size();
}

TEST_F(Grammar, RoundTripsOfEveryLengthClassAndDistanceWidth) {
  roundTrip(randomInstructions(1, 20000, true), 5);
  roundTrip(randomInstructions(2, 20000, false), 7);
  // The edges of every class; lengths 3, 4, 5 at the farthest distance of their context.
  std::vector<Instr> edges = {{Instr::kMatch, 2, 1}, {Instr::kMatch, 2, 256}, {Instr::kMatch, 3, 65792},
                              {Instr::kMatch, 4, 16843008}, {Instr::kMatch, 5, 4311810304ull}};
  for (uint64_t d : {1ull, 256ull, 257ull, 65792ull, 65793ull, 16843008ull, 16843009ull, 0x7FFFFFFFull,
                     0x80000000ull, 0x80000001ull, 4311810304ull, 4311810305ull, 0x10101010100ull})
    edges.push_back({Instr::kMatch, 6, d});
  for (uint32_t len : {3u, 7u, 8u, 19u, 20u, 275u, 276u, 531u, 532u, 787u, 788u, 65535u, 0x10000u, 0x1002Fu})
    edges.push_back({Instr::kMatch, len, 1000});
  for (uint64_t b : {(1ull << 27) - 1, 1ull << 27, (1ull << 40) - 1}) edges.push_back({Instr::kBlock, 0, b});
  edges.push_back({Instr::kEndBuffer, 0, 0}), edges.push_back({Instr::kEndBuffer, 0, 0});  // a buffer of 262 alone
  roundTrip(edges, 5);
  // Priming: 64 bytes, a byte that priming codes again among 0..8, one digit.
  const auto list = randomInstructions(3, 3000, false);
  for (const std::string& pwd : {std::string(64, 'x').replace(10, 5, "Q7#z!"), std::string(1, '\x05'), std::string("7")})
    roundTrip(list, 7, pwd);
  // Small limits rescale often; flush 16 empties the tables on rescale.
  const auto many = randomInstructions(4, 30000, false);
  for (auto [esc, flush] : std::vector<std::pair<uint32_t, uint32_t>>{{1, 1}, {20, 3}, {63, 16}}) roundTrip(many, 5, "", esc, flush);
  // About 1 MiB of stream in pieces of 256 KiB, which split symbols anywhere; then small
  // pieces with an empty hand-over before each.
  EXPECT_GT(roundTrip(randomInstructions(5, 400000, false), 5, "", 63, 5, 0x40000), 3u * 0x40000);
  roundTrip(randomInstructions(6, 20000, false), 7, "", 63, 5, 4096 + 4, true);
  // A table decodes at its rescale limit: 32767 'a's bring table 3 of the literal group
  // to it (esc 16384), then 'b' is new (an escape at the limit) and 'a' counts again.
  std::vector<Instr> fill(32767, {Instr::kLiteral, 'a'});
  fill.push_back({Instr::kLiteral, 'b'}), fill.push_back({Instr::kLiteral, 'a'});
  for (uint32_t flush : {1u, 16u}) roundTrip(fill, 5, "", 16384, flush);
}

}  // namespace
}  // namespace qn::test
