// Match finder and parsers: hash chains or binary trees, lazy or price-driven optimal parse.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "quarnzip/match_tree.h"

// The stream is parsed one 1 MiB chunk at a time; no match crosses the end of its chunk.
namespace qn::zip {

// Prices in 1/16 bit of what the coder would spend now (the optimal parser's guide).
class Pricer {
 public:
  virtual ~Pricer() = default;
  virtual uint32_t literal(uint8_t byte) const = 0;
  virtual void literals(uint32_t out[256]) const {  // every byte's: a coder may share the work
    for (uint32_t b = 0; b < 256; ++b) out[b] = literal(uint8_t(b));
  }
  // A match costs its length's symbols plus its distance's, which the length's context
  // selects: the parser prices the two apart and reuses each.
  virtual uint32_t length(uint32_t lengthField) const = 0;
  virtual uint32_t distance(uint32_t lengthField, uint64_t distance) const = 0;
  // The same distance in each of the five contexts (lengths 2, 3, 4, 5, and 6 or more): a
  // coder may share what the contexts have in common.
  virtual void distances(uint64_t dist, uint32_t out[5]) const {
    for (uint32_t c = 0; c < 5; ++c) out[c] = distance(c + 2, dist);
  }
  uint32_t match(uint32_t lengthField, uint64_t dist) const { return length(lengthField) + distance(lengthField, dist); }
};

// One parsed instruction: a literal (len 1, the chunk's byte) or a match of len bytes
// (2 .. 1 MiB) at distance dist (1 = the byte just before).
struct Op {
  uint32_t len;
  uint64_t dist;
};

struct LzConfig {
  uint64_t maxDist;   // farthest distance used: the history the decompressor's ring keeps
  uint32_t sight;     // chain candidates visited per position
  uint32_t pipes;     // lazy steps (1 = greedy); the optimal parser ignores it
  uint32_t nice;      // a match this long is taken at once
  bool optimal;
  int threads = 1;    // the optimal parser's match finding threads (the parse is the same)
  uint32_t group = 0; // chunks posted at a time, which the buffer has room for twice
                      // (0: 8 with threads; one thread gains nothing from more than 1)
  uint32_t rebaseAt = 0xE0000000u;  // positions are 32-bit: tables are rebased past this
  uint32_t key = 6;   // bytes the optimal parser's trees are keyed on (4 to 8): more bytes make
                      // smaller trees, which the same visits search further back; the parser's
                      // heads give the shorter matches
};

// The shortest length a distance can be coded with (the length's context limits the width).
uint32_t minLengthFor(uint64_t dist);
// Splits a match length into length fields the grammar carries: plain 3..65535, 0x10000
// (65536) and 0x10000 + v (2^(16+v)); pieces are at least 3 long. Returns the count.
int lengthFields(uint32_t len, uint32_t fields[24]);

class LzEncoder {
 public:
  LzEncoder(const LzConfig& cfg, uint64_t streamBytes);
  ~LzEncoder();
  LzEncoder(const LzEncoder&) = delete;
  LzEncoder& operator=(const LzEncoder&) = delete;

  // Chunks of 1 MiB, the stream's last may be shorter, come in groups: the finder's threads
  // search a group as soon as it is posted, while the parser takes the groups before it one
  // chunk at a time, so that they never wait for it at a chunk's end.
  uint32_t groupChunks() const { return groupChunks_; }
  // Whether a group of n bytes can be posted while chunks posted before are not yet parsed
  // (the buffer will not move).
  bool fits(uint32_t n) const;
  // Posts the next n bytes of the stream. Unless fits(n), every chunk posted before must have
  // been parsed.
  void post(const uint8_t* data, uint32_t n);
  // The bytes of the next chunk to parse, valid until the next post.
  const uint8_t* nextChunk() const { return at(next_); }
  // Parses the next posted chunk, n bytes, and appends its parse to ops. pricer may be null
  // (fixed estimates). With a sink, the optimal parser hands over each decided span as soon
  // as it has it (and clears ops), so that the coder's tables, and with them the prices of
  // the next spans, follow the parse.
  using SpanSink = std::function<void(std::vector<Op>&)>;
  void parseChunk(uint32_t n, const Pricer* pricer, std::vector<Op>& ops, const SpanSink& sink = {});
  // One chunk posted and parsed on its own.
  void parseChunk(const uint8_t* data, uint32_t n, const Pricer* pricer, std::vector<Op>& ops,
                  const SpanSink& sink = {}) {
    post(data, n);
    parseChunk(n, pricer, ops, sink);
  }
  uint32_t rebases() const { return rebases_; }

 private:
  void append(const uint8_t* data, uint32_t n);
  void rebase();
  void insert(uint32_t p);
  void catchUp(uint32_t p);
  // The lazy parser's matches at p, of increasing length (closest first for each); inserts p.
  int find(uint32_t p, uint32_t maxLen, Match* out);
  const uint8_t* at(uint32_t p) const { return buf_.data() + (p - bufStart_); }
  void parseLazy(uint32_t p, uint32_t end, std::vector<Op>& ops);
  void parseOptimal(uint32_t p, uint32_t end, const Pricer* pricer, std::vector<Op>& ops,
                    const SpanSink& sink);
  void refreshPrices(const Pricer* pricer);
  const int16_t* distExtras(uint32_t dist);  // in contexts 0..4, over distance 1

  LzConfig cfg_;
  uint32_t window_;            // distance bound of the finder (a power of two or less)
  uint32_t chainMask_;
  std::vector<uint8_t> buf_;   // the window's bytes: positions [bufStart_, end_)
  uint32_t bufStart_, end_, ins_;
  uint32_t next_, chunkEnd_;  // the next chunk to parse, and the end of the one parsed
  uint32_t groupChunks_;
  uint32_t rebases_ = 0;
  std::vector<uint32_t> head3_, head4_, chain_;   // the lazy parser's hash chains
  int hashBits_;
  std::unique_ptr<MatchTree> tree_;               // the optimal parser's finder
  // Optimal parser state.
  std::vector<uint32_t> cost_, fromLen_, fromDist_;
  uint32_t litPrice_[256];
  std::vector<uint32_t> lenPrice_;   // a match of len at distance 1
  uint32_t distBase_[5];             // distance 1 in context c
  const Pricer* pricer_ = nullptr;
  uint64_t sincePrices_ = 0;
  // A slot holds a distance's price in every context: a new distance is mostly asked for in
  // several, and they share its lower bytes. Distance 0 (never asked for) marks an empty slot.
  struct PriceSlot {
    uint32_t dist;
    int16_t extra[5];
  };
  void priceSlot(PriceSlot& slot, uint32_t dist);  // a new distance: kept out of the parse's loop
  static constexpr uint32_t kDistCache = 4096;
  std::vector<PriceSlot> distCache_ = std::vector<PriceSlot>(kDistCache, PriceSlot{});
  uint32_t refreshes_ = 0;
};

}  // namespace qn::zip
