// Archive compressor: codes the index and data streams and writes the archive.
#include "quarnzip/compress.h"

#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>

#include "quarnzip/archive.h"
#include "quarnzip/layout.h"
#include "quarnzip/options.h"
#include "quarnzip/stream_writer.h"
#include "core/codes.h"
#include "core/model.h"
#include "core/params.h"
#include "quarnzip/report.h"

namespace qn::zip {
namespace {

constexpr uint32_t kChunk = core::kSlot;  // the compressor reads and codes one ring slot at a time
constexpr uint64_t kIndexHistory = 4u << 20;   // the index pass's ring is 8 MiB
constexpr uint32_t kIndexEsc = 63, kIndexFlush = 5;
constexpr unsigned kEndIndex = 7, kEndData = 5;

class WriterPricer : public Pricer {
 public:
  explicit WriterPricer(const StreamWriter& w) : w_(w) {}
  uint32_t literal(uint8_t b) const override {  // the parser asks for all at once
    uint32_t all[256];
    w_.priceLiterals(all);
    return all[b];
  }
  void literals(uint32_t out[256]) const override { w_.priceLiterals(out); }
  uint32_t length(uint32_t len) const override { return w_.priceLength(len); }
  uint32_t distance(uint32_t len, uint64_t dist) const override { return w_.priceDistance(len, dist); }
  void distances(uint64_t dist, uint32_t out[5]) const override { w_.priceDistances(dist, out); }

 private:
  const StreamWriter& w_;
};

class TextReader : public ByteReader {
 public:
  explicit TextReader(const std::string& t) : t_(t) {}
  size_t read(uint8_t* dst, size_t n) override {
    size_t k = std::min(n, t_.size() - pos_);
    std::memcpy(dst, t_.data() + pos_, k);
    pos_ += k;
    return k;
  }

 private:
  const std::string& t_;
  size_t pos_ = 0;
};

class PlainReader : public ByteReader {
 public:
  explicit PlainReader(StreamSource& s) : s_(s) {}
  size_t read(uint8_t* dst, size_t n) override { return s_.read(dst, n); }

 private:
  StreamSource& s_;
};

class BlockReader : public ByteReader {
 public:
  explicit BlockReader(BlockSource& s) : s_(s) {}
  size_t read(uint8_t* dst, size_t n) override { return s_.read(dst, n); }
  bool blockStart(uint64_t pos, uint64_t& index) override { return s_.startAt(pos, index); }

 private:
  BlockSource& s_;
};

// The filler pairs are random by design; QN_FILLER_SEED (set only by tests and benchmarks)
// fixes them so that two builds can be compared byte for byte.
uint64_t randomSeed() {
  if (const char* fixed = std::getenv("QN_FILLER_SEED")) return std::strtoull(fixed, nullptr, 10);
  std::random_device rd;
  return (static_cast<uint64_t>(rd()) << 32) ^ rd();
}


LzConfig lzConfig(const ArchiveJob& job, uint64_t history, int threads) {
  LevelPreset p = levelPreset(job.level);
  LzConfig c;
  c.maxDist = history;
  c.sight = job.plan.param[core::kSight];
  c.pipes = job.pipes;
  c.nice = 16 * job.tails;
  c.optimal = p.optimal;
  c.threads = threads;
  c.key = job.key;
  return c;
}

}  // namespace

void emitOps(StreamWriter& w, const std::vector<Op>& ops, const uint8_t* chunk, uint64_t& pos) {
  uint32_t fields[24];
  for (const Op& op : ops) {
    if (op.len == 1) {
      w.literal(chunk[pos++]);
      continue;
    }
    int n = lengthFields(op.len, fields);
    for (int i = 0; i < n; ++i) {
      uint32_t len = uint32_t(core::fieldLength(fields[i]));
      if (len < minLengthFor(op.dist)) {
        for (uint32_t k = 0; k < len; ++k) w.literal(chunk[pos + k]);
      } else {
        w.match(fields[i], op.dist);
      }
      pos += len;
    }
  }
}

namespace {

// One chunk as the reader gave it.
struct ChunkRead {
  uint32_t bytes;
  bool blockStart;   // a block of block mode starts here, with this index
  uint64_t index;
};

// Reads the next group of chunks into group; the last may be short (the stream's end).
void readGroup(ByteReader& in, uint64_t pos, std::vector<uint8_t>& group, std::deque<ChunkRead>& chunks,
               uint32_t& bytes) {
  bytes = 0;
  while (bytes < group.size()) {
    ChunkRead c{};
    c.bytes = uint32_t(in.read(group.data() + bytes, std::min<size_t>(kChunk, group.size() - bytes)));
    if (c.bytes == 0) return;
    c.blockStart = in.blockStart(pos + bytes, c.index);  // known once its first chunk is read
    chunks.push_back(c);
    bytes += c.bytes;
    if (c.bytes < kChunk) return;
  }
}

}  // namespace

std::vector<uint8_t> encodeStream(StreamWriter& w, ByteReader& in, uint64_t total,
                                  const LzConfig& cfg, bool resetInterval, unsigned endCode,
                                  const ByteSink& sink, Progress* progress) {
  w.beginStream(resetInterval, randomSeed());
  LzEncoder lz(cfg, total);
  WriterPricer pricer(w);
  // total: the stream's exact length
  std::vector<uint8_t> group(std::min<uint64_t>(uint64_t(lz.groupChunks()) * kChunk, total));
  std::deque<ChunkRead> waiting;  // posted, not yet parsed
  std::vector<Op> ops;
  std::vector<uint8_t> out;
  uint64_t pos = 0, readTo = 0, sent = 0;
  bool more = true;
  auto parseNext = [&] {
    const ChunkRead c = waiting.front();
    waiting.pop_front();
    if (c.blockStart) w.blockStart(c.index);  // before the block's data
    const uint8_t* chunk = lz.nextChunk();
    ops.clear();
    uint64_t at = 0;
    lz.parseChunk(c.bytes, &pricer, ops, [&](std::vector<Op>& span) { emitOps(w, span, chunk, at); });
    emitOps(w, ops, chunk, at);  // what the sink did not take: the lazy parser's parse
    pos += c.bytes;
    if (sink && w.bytesSoFar() >= kChunkPayload) {  // whole chunk payloads: multiples of 8
      size_t k = w.bytesSoFar() / kChunkPayload * kChunkPayload;
      out.resize(k);
      sink(out.data(), w.takeBytes(out.data(), k));
      sent += k;
    }
    if (progress) progress->update(pos, sent + w.bytesSoFar());
    if (c.bytes == kChunk) w.endOfBuffer();  // every full chunk closes its instruction buffer
  };
  for (;;) {
    // Keep a group posted ahead of the parse, so that the finder has work at a group's end.
    if (more && waiting.size() < lz.groupChunks()) {
      const size_t before = waiting.size();
      uint32_t bytes;
      readGroup(in, readTo, group, waiting, bytes);
      more = bytes == group.size() && bytes > 0 && waiting.back().bytes == kChunk;
      if (bytes > 0) {
        if (!lz.fits(bytes))  // the buffer moves: what it holds must be parsed first
          for (size_t i = 0; i < before; ++i) parseNext();
        lz.post(group.data(), bytes);
        readTo += bytes;
      }
    }
    if (waiting.empty()) break;
    parseNext();
  }
  std::vector<uint8_t> tail = w.endStream(endCode);
  if (!sink) return tail;
  sink(tail.data(), tail.size());
  return {};
}

ArchiveResult compressArchive(const ArchiveJob& job) {
  ArchiveResult r;
  const uint32_t* par = job.plan.param;
  core::Model model;
  model.setParams(kIndexEsc, kIndexFlush);
  model.init();
  StreamWriter w(model);
  if (!job.password.empty())
    w.prime(reinterpret_cast<const uint8_t*>(job.password.data()), static_cast<int>(job.password.size()));

  TextReader text(job.indexText);
  std::vector<uint8_t> index = encodeStream(w, text, job.indexText.size(),
                                            lzConfig(job, kIndexHistory, 1), false, kEndIndex);

  model.setParams(par[core::kEsc], par[core::kFlush]);
  if (w.broken()) {  // never write what the decompressor cannot read back
    errf(txt::kZipBroken);
    return r;
  }
  ArchiveWriter archive(job.archive, par[core::kVolume], job.force);
  if (!archive.ok()) return r;
  archive.begin(static_cast<uint32_t>(job.indexText.size()), !job.password.empty(), index);
  ByteSink sink = [&archive](const uint8_t* p, size_t n) { archive.data(p, n); };
  uint64_t total = job.plan.totalSize();
  Progress progress(progressWanted(job.progress), total);
  LzConfig cfg = lzConfig(job, static_cast<uint64_t>(par[core::kCache]) << 20, job.threads);
  int readErrors;
  if (par[core::kBwt]) {
    uint64_t block = static_cast<uint64_t>(par[core::kBlock]) << 20;
    StreamSource raw(job.plan, block);
    BlockSource blocks(raw, block);
    BlockReader in(blocks);
    encodeStream(w, in, total, cfg, true, kEndData, sink, &progress);
    readErrors = raw.errors();
  } else {
    StreamSource raw(job.plan, kChunk);
    PlainReader in(raw);
    encodeStream(w, in, total, cfg, true, kEndData, sink, &progress);
    readErrors = raw.errors();
  }
  r.inputBytes = total;
  if (w.broken()) {  // never leave what the decompressor cannot read back
    archive.abandon();
    errf(txt::kZipBroken);
    return r;
  }
  r.archiveBytes = archive.finish();
  r.ok = r.archiveBytes != 0 && readErrors == 0;
  return r;
}

}  // namespace qn::zip
