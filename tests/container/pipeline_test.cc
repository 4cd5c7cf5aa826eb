// Whole streams through the real pipeline threads in plain mode: coded by the stream writer,
// handed over in pieces, decoded, interpreted and written out by the output thread.
#include <cstring>
#include <random>

#include "quarnzip/stream_writer.h"
#include "index/index.h"
#include "support.h"

namespace qn {
namespace {

constexpr size_t kMiB = 0x100000;

struct Plan {
  std::vector<uint8_t> stream;  // the compressed stream, a multiple of 8 bytes
  std::vector<uint8_t> expect;  // what it decodes to, built byte by byte
};

// Random literals and matches (overlapping and apart, up to 131072 bytes), closing an
// instruction buffer at every 1 MiB of output and sometimes earlier. Distances count in the
// character ring, where a chunk closed early is followed by zeros up to the next 1 MiB.
Plan makeStream(std::mt19937_64& rng, size_t total, const std::string& head, unsigned endCode) {
  core::Model writerModel;
  writerModel.setParams(63, 5);
  writerModel.init();
  zip::StreamWriter w(writerModel);
  w.beginStream(true, rng());
  Plan p;
  std::vector<uint8_t> ring;  // the ring's contents from offset 0 (the streams stay below 8 MiB)
  auto put = [&](uint8_t b) {
    ring.push_back(b);
    p.expect.push_back(b);
  };
  auto emitted = [&] {
    const size_t inChunk = ring.size() % kMiB;
    // Never early inside the opening text: the check reads it at the start of the ring.
    if (inChunk == 0 || (p.expect.size() > 64 && rng() % 400 == 0)) {
      w.endOfBuffer();
      if (inChunk != 0) ring.resize(ring.size() - inChunk + kMiB, 0);
    }
  };
  for (char c : head) {
    w.literal(uint8_t(c));
    put(uint8_t(c));
    emitted();
  }
  while (p.expect.size() < total) {
    const size_t limit = std::min(total - p.expect.size(), kMiB - ring.size() % kMiB);
    const unsigned kind = unsigned(rng() % 100);
    if (ring.empty() || limit < 3 || kind < 45) {
      const uint8_t b = uint8_t(rng() % 7 == 0 ? rng() : 'a' + rng() % 4);
      w.literal(b);
      put(b);
      emitted();
      continue;
    }
    uint32_t field;
    size_t len;
    if (kind < 90) len = field = uint32_t(3 + rng() % std::min<size_t>(limit - 2, 300));
    else if (kind < 98 || limit < 65536) len = field = uint32_t(3 + rng() % std::min<size_t>(limit - 2, 65533));
    else if (limit < 131072) len = 65536, field = 0x10000;
    else len = 131072, field = 0x10001;
    const uint64_t far = std::min<uint64_t>({ring.size(), 4 * kMiB, zip::StreamWriter::maxDistance(field)});
    const uint64_t dist = rng() % 2 ? 1 + rng() % std::min<uint64_t>(far, 12) : 1 + rng() % far;
    w.match(field, dist);
    for (size_t k = 0; k < len; ++k) put(ring[ring.size() - dist]);
    emitted();
  }
  p.stream = w.endStream(endCode);
  EXPECT_FALSE(w.broken());
  return p;
}

std::vector<uint8_t> readAll(const char* name) {
  std::vector<uint8_t> v;
  FILE* fp = std::fopen(name, "rb");
  if (fp == nullptr) return v;
  int c;
  while ((c = std::fgetc(fp)) != EOF) v.push_back(uint8_t(c));
  std::fclose(fp);
  return v;
}

// One pass as the driver runs it, with the stream handed over in random pieces.
void runPass(std::mt19937_64& rng, const Plan& p, const char* check) {
  fe::iEscape = 63;  // the decoder takes the parameters into the model at the stream's start
  fe::iFlush = 5;
  dec::model = core::Model{};
  dec::model.setParams(63, 5);
  dec::model.init();
  test::makeRing();
  drv::initStreamUnzip(check);
  idx::fpOut = std::fopen("out.bin", "wb");
  ASSERT_NE(idx::fpOut, nullptr);
  idx::fpXml = nullptr;
  ctr::fLen = p.expect.size();
  ctr::d = 100.0 / double(p.expect.size());
  fe::sTime = std::time(nullptr);
  dec::syncUnzip(0);
  drv::threadStart();
  for (size_t at = 0; at < p.stream.size();) {
    const size_t piece = std::min<size_t>(p.stream.size() - at, 8 * (1 + rng() % (0x1FFFF8 / 8)));
    std::memcpy(ctr::bufInStream, p.stream.data() + at, piece);
    drv::inStreamUnzip(ctr::bufInStream, int32_t(piece));
    at += piece;
  }
  drv::flushStreamUnzip(263);
  drv::threadStop();
  std::fclose(idx::fpOut);
  idx::fpOut = nullptr;
}

TEST(Pipeline, WholeStreamsInPlainMode) {
  test::enterScratch();
  std::mt19937_64 rng(42);
  for (int round = 0; round < 32; ++round) {
    const bool index = round % 2 == 0;
    const size_t total = round % 4 == 1 ? 1 + rng() % (5 * kMiB / 2) : rng() % 100000;
    const Plan p = makeStream(rng, total, index ? "<?xml version=\"1.0\"?>" : "", index ? 7 : 5);
    runPass(rng, p, index ? "<?xml version=" : nullptr);
    ASSERT_EQ(ctr::fPos, int64_t(p.expect.size())) << "round " << round;
    ASSERT_TRUE(readAll("out.bin") == p.expect) << "round " << round;
    EXPECT_EQ(ctr::msgCode, nullptr);
  }
  // A pass without any chunk: the decoder meets the end of input at once and the output is empty.
  runPass(rng, Plan{}, nullptr);
  EXPECT_EQ(ctr::fPos, 0);
  EXPECT_TRUE(readAll("out.bin").empty());
}

TEST(Pipeline, StreamCutShortIsReported) {
  test::enterScratch();
  std::strcpy(fe::sFileZip, "cut.qn");
  std::mt19937_64 rng(9);
  const Plan p = makeStream(rng, 300000, "", 5);
  Plan cut = p;
  cut.stream.resize(cut.stream.size() / 2 & ~size_t{7});
  EXPECT_HALT(runPass(rng, cut, nullptr),
              "\nCompressed stream ends without its end code, zip file cut\\.qn is damaged\n");
}

}  // namespace
}  // namespace qn
