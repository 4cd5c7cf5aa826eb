// Round trips: instruction lists written by the stream writer and read back by the
// decoder, with the instruction words, block start indexes and final tables compared.
#include <cstring>
#include <random>

#include "quarnzip/stream_writer.h"
#include "decoder/decoder.h"
#include "harness.h"

namespace qn::test {
namespace {

struct Instr {
  enum Kind { kLiteral, kMatch, kBlock, kEndBuffer } kind;
  uint32_t len = 0;    // literal byte or length field
  uint64_t value = 0;  // distance or block start index
};

// Distance classes end where the next begins: 1..256, ..65792, ..16843008, ..2^32+..
constexpr uint64_t kWidthEnd[6] = {0, 0x100, 0x10100, 0x1010100, 0x101010100, 0x10101010100};

uint32_t randomLength(std::mt19937_64& rng) {
  auto in = [&](uint32_t lo, uint32_t hi) { return uint32_t(lo + rng() % (hi - lo + 1)); };
  switch (rng() % 8) {
    case 0: return 2;
    case 1: return in(3, 7);
    case 2: return in(8, 19);
    case 3: return in(20, 275);
    case 4: return in(276, 531);
    case 5: return in(532, 787);
    case 6: return in(788, 65535);
    default: return 0x10000 + in(0, 47);
  }
}

// A distance of a random width allowed by the length's context (distance = D + 1).
uint64_t randomDistance(std::mt19937_64& rng, uint32_t len) {
  const int ctx = len == 2 ? 0 : len <= 5 ? int(len) - 2 : 4;
  const int w = int(rng() % uint64_t(ctx + 1));
  const uint64_t lo = kWidthEnd[w], span = kWidthEnd[w + 1] - kWidthEnd[w];
  // Favour the ends of each class, where off-by-one faults show.
  const uint64_t pick = rng() % 4 == 0 ? (rng() & 1 ? 0 : span - 1) : rng() % span;
  return lo + pick + 1;
}

std::vector<Instr> randomInstructions(uint64_t seed, size_t count, bool blocks) {
  std::mt19937_64 rng(seed);
  std::vector<Instr> list;
  for (size_t i = 0; i < count; ++i) {
    const unsigned r = unsigned(rng() % 100);
    if (r < 45) {
      // Text-like bytes most of the time, any byte sometimes.
      const uint32_t byte = rng() % 4 ? uint32_t(" etaoinshrdlu\n"[rng() % 14]) : uint32_t(rng() & 255);
      list.push_back({Instr::kLiteral, byte, 0});
    } else if (r < 93) {
      const uint32_t len = randomLength(rng);
      list.push_back({Instr::kMatch, len, randomDistance(rng, len)});
    } else if (r < 96 && blocks) {
      const uint64_t index = rng() & 1 ? rng() % (uint64_t(1) << 27) : rng() % (uint64_t(1) << 40);
      list.push_back({Instr::kBlock, 0, index});
    } else {
      list.push_back({Instr::kEndBuffer, 0, 0});
    }
  }
  return list;
}

void write(zip::StreamWriter& w, const std::vector<Instr>& list) {
  for (const Instr& in : list) {
    switch (in.kind) {
      case Instr::kLiteral: w.literal(uint8_t(in.len)); break;
      case Instr::kMatch: w.match(in.len, in.value); break;
      case Instr::kBlock: w.blockStart(in.value); break;
      case Instr::kEndBuffer: w.endOfBuffer(); break;
    }
  }
}

// The instruction words the list must produce, buffer by buffer, built from the word
// format alone (literal = byte, match word + one or two distance words, 256 + code).
std::vector<std::vector<uint32_t>> expectedWords(const std::vector<Instr>& list, unsigned endCode) {
  std::vector<std::vector<uint32_t>> bufs(1);
  for (const Instr& in : list) {
    auto& b = bufs.back();
    switch (in.kind) {
      case Instr::kLiteral: b.push_back(in.len); break;
      case Instr::kMatch:
        b.push_back(0x80000000u | in.len);
        if (in.value <= 0x7FFFFFFF) {
          b.push_back(uint32_t(in.value));
        } else {
          b.push_back(uint32_t(in.value >> 32) | 0x80000000u);
          b.push_back(uint32_t(in.value & 0xFFFFFFFF));
        }
        break;
      case Instr::kBlock: b.push_back(in.value < (uint64_t(1) << 27) ? 257 : 258); break;
      case Instr::kEndBuffer:
        b.push_back(262);
        bufs.emplace_back();
        break;
    }
  }
  bufs.back().push_back(256 + endCode);
  return bufs;
}

std::vector<uint64_t> expectedBlocks(const std::vector<Instr>& list) {
  std::vector<uint64_t> v;
  for (const Instr& in : list)
    if (in.kind == Instr::kBlock) v.push_back(in.value);
  return v;
}

// Writes list with a fresh model (primed with pwd), decodes it with the decoder's own
// fresh model (primed the decoder's way), and compares words, indexes and tables.
size_t roundTrip(const std::vector<Instr>& list, unsigned endCode, const std::string& pwd,
               uint32_t esc = 63, uint32_t flush = 5, size_t piece = 0x1FFFF8,
               bool emptyPieces = false) {
  core::Model encModel{};
  encModel.setParams(esc, flush);
  encModel.init();
  zip::StreamWriter w(encModel);
  w.prime(reinterpret_cast<const uint8_t*>(pwd.data()), int(pwd.size()));
  w.beginStream(false, 12345);
  write(w, list);
  const std::vector<uint8_t> bytes = w.endStream(endCode);
  EXPECT_FALSE(w.broken());
  EXPECT_EQ(bytes.size() % 8, 0u);

  freshModel(esc, flush);
  resetPass();
  std::memcpy(fe::bufPwd, pwd.data(), pwd.size());
  fe::iPwdLen = int32_t(pwd.size());
  dec::syncInit();
  resetPass();  // the ring reset comes after priming, as in a pass
  const Decoded got = runDecoder(bytes, piece, emptyPieces);

  fe::iPwdLen = 0;
  EXPECT_TRUE(got.ended);
  const auto want = expectedWords(list, endCode);
  EXPECT_EQ(got.buffers.size(), want.size());
  for (size_t i = 0; i < std::min(want.size(), got.buffers.size()); ++i)
    EXPECT_EQ(got.buffers[i], want[i]) << "buffer " << i;
  const auto blocks = expectedBlocks(list);
  EXPECT_EQ(rec::stTail, blocks.size() % 4096);
  for (size_t i = 0; i < blocks.size(); ++i) EXPECT_EQ(rec::st[i], blocks[i]) << "index " << i;
  EXPECT_EQ(std::memcmp(&encModel, &dec::model, sizeof(core::Model)), 0);
  return bytes.size();
}

TEST(RoundTrip, RandomInstructionsEveryClassAndWidth) {
  const auto list = randomInstructions(1, 20000, true);
  // Every length class and every width of context 4 (widths 3 and 4 included) occur.
  int widths[5] = {};
  for (const Instr& in : list)
    if (in.kind == Instr::kMatch && in.len >= 6) {
      int w = 0;
      while (in.value - 1 >= kWidthEnd[w + 1]) ++w;
      ++widths[w];
    }
  for (int w = 0; w < 5; ++w) EXPECT_GT(widths[w], 100) << "width " << w;
  roundTrip(list, 5, "");
  roundTrip(randomInstructions(2, 20000, false), 7, "");
}

TEST(RoundTrip, PinnedDistanceAndLengthEdges) {
  std::vector<Instr> list;
  for (uint64_t d : {1ull, 256ull}) list.push_back({Instr::kMatch, 2, d});
  const uint64_t edges[] = {1, 256, 257, 65792, 65793, 16843008, 16843009, 0x7FFFFFFF,
                            0x80000000, 0x80000001, 4311810304ull, 4311810305ull,
                            0x10101010100ull};
  for (uint64_t d : edges) list.push_back({Instr::kMatch, 6, d});
  for (uint32_t len : {3u, 7u, 8u, 19u, 20u, 275u, 276u, 531u, 532u, 787u, 788u, 65535u,
                       0x10000u, 0x1002Fu})
    list.push_back({Instr::kMatch, len, 1000});
  list.push_back({Instr::kMatch, 3, 65792});
  list.push_back({Instr::kMatch, 4, 16843008});
  list.push_back({Instr::kMatch, 5, 4311810304ull});
  list.push_back({Instr::kBlock, 0, (uint64_t(1) << 27) - 1});
  list.push_back({Instr::kBlock, 0, uint64_t(1) << 27});
  list.push_back({Instr::kBlock, 0, (uint64_t(1) << 40) - 1});
  list.push_back({Instr::kEndBuffer, 0, 0});
  list.push_back({Instr::kEndBuffer, 0, 0});  // a buffer of the 262 word alone
  roundTrip(list, 5, "");
}

TEST(RoundTrip, PasswordPrimingStartsInTheWritersState) {
  const auto list = randomInstructions(3, 3000, false);
  roundTrip(list, 7, std::string(64, 'x').replace(10, 5, "Q7#z!"));
  roundTrip(list, 7, std::string(1, '\x05'));  // a byte that priming codes again among 0..8
  roundTrip(list, 7, "7");
}

TEST(RoundTrip, OtherEscapeAndFlushValues) {
  // Small limits make the tables rescale often; flush 16 empties them on rescale.
  const auto list = randomInstructions(4, 30000, false);
  roundTrip(list, 5, "", 1, 1);
  roundTrip(list, 5, "", 20, 3);
  roundTrip(list, 5, "", 63, 16);
}

TEST(RoundTrip, StreamOverSeveralInputBuffers) {
  // About 1 MiB of stream in pieces of 256 KiB, which split symbols anywhere; then in
  // small pieces with an empty hand-over before each.
  const auto list = randomInstructions(5, 400000, false);
  EXPECT_GT(roundTrip(list, 5, "", 63, 5, 0x40000), 3u * 0x40000);
  roundTrip(randomInstructions(6, 20000, false), 7, "", 63, 5, 4096 + 4, true);
}

}  // namespace
}  // namespace qn::test
