// Data-stream layout: the files' bytes in the order the decompressor's rotation takes them.
#pragma once
#include <cstdint>
#include <cstdio>
#include <map>
#include <vector>

#include "quarnzip/index_xml.h"

// Batches of `column` files, turns of `cluster` bytes, every piece (1 MiB chunk or block)
// ending the current turn; and readers that produce the stream in that order.
namespace qn::zip {

// A run of bytes of one file record of the plan.
struct Segment {
  size_t item;    // index into IndexPlan::items
  uint64_t len;
};

// The rotation of the decompressor's block writer, replayed: each piece (a 1 MiB chunk in
// plain mode, a block in block mode) is spread over the open files exactly as it will be
// when the archive is extracted.
class Rotation {
 public:
  Rotation(const IndexPlan& plan, uint32_t clusterBytes);
  // Appends the segments of a piece of n bytes in stream order; bytes beyond the last
  // file are dropped (they get no segment).
  void piece(uint64_t n, std::vector<Segment>& out);

 private:
  struct Open {
    size_t item;
    uint64_t left;
  };
  bool openBatch();          // the next batch, as the index parser forms it
  void complete();           // the current file is complete: it leaves the rotation
  void advance();
  uint64_t turnSize() const;

  const IndexPlan& plan_;
  uint64_t cluster_;
  size_t next_ = 0;          // next plan item to read
  uint32_t column_ = 1;      // the decompressor's default until a column line
  std::vector<Open> open_;
  int64_t cur_ = 0;
};

// Produces the data stream: the plan's files read in rotation order, piece by piece.
class StreamSource {
 public:
  StreamSource(const IndexPlan& plan, uint64_t pieceBytes);
  ~StreamSource();
  // Reads up to n bytes of the stream; returns fewer only at its end.
  size_t read(uint8_t* dst, size_t n);
  uint64_t total() const { return total_; }
  int errors() const { return errors_; }   // files that could not be read as announced

 private:
  void nextPiece();
  void readSegment(const Segment& s, uint8_t* dst);

  const IndexPlan& plan_;
  Rotation rot_;
  uint64_t piece_, total_, produced_ = 0;
  std::vector<uint8_t> buf_;
  size_t bufPos_ = 0;
  std::vector<Segment> segs_;
  std::map<size_t, FILE*> files_;
  std::map<size_t, uint64_t> done_;   // bytes read so far per record
  int errors_ = 0;
};

}  // namespace qn::zip

namespace qn::zip {

// Block mode: the stream cut into blocks of blockBytes, each of more than 8 bytes replaced
// by its forward transform; remembers each transformed block's start index.
class BlockSource {
 public:
  BlockSource(StreamSource& raw, uint64_t blockBytes) : raw_(raw), block_(blockBytes) {}
  size_t read(uint8_t* dst, size_t n);
  // The start index of the block that begins at stream position pos, if it has one.
  bool startAt(uint64_t pos, uint64_t& index) const;

 private:
  void nextBlock();
  StreamSource& raw_;
  uint64_t block_;
  uint64_t blockPos_ = 0;      // stream position of the current block
  std::vector<uint8_t> cur_;
  size_t curPos_ = 0;
  std::map<uint64_t, uint64_t> starts_;
  bool done_ = false;
};

// ---- The stream's contexts: block size, and the optimal levels' search ----
//
// The inverse transform walks a block from context to context, and keeps about one cache line
// of each three-byte context in use: a block of text holds some 60,000 contexts, one of
// machine code millions, and then nearly every byte of the walk waits for memory while a larger
// block saves little (2% on shared libraries). So block mode takes the largest block of
// 16, 8, ..., 1 MiB whose stream prefix of that length holds at most kBlockContexts contexts.
// Not 32 MiB: on text that saves 1.4% of the archive and costs a sixth more extraction time
// and 180 MB more of the decompressor's memory. A sample of kSampleMiB beyond the bound also
// tells the optimal levels to key their trees for machine code (levelPreset).
inline constexpr uint32_t kAutoBlockMiB = 16;
inline constexpr uint32_t kSampleMiB = 32;
inline constexpr uint32_t kBlockContexts = 1u << 18;

class ContextSample {
 public:
  ContextSample() : seen_((uint64_t(1) << 24) / 64) {}
  // The stream's next bytes; true while more are wanted.
  bool add(const uint8_t* p, size_t n);
  // The block size in MiB for the bytes added so far.
  uint32_t blockMiB() const;
  // More than kBlockContexts contexts in the bytes added so far.
  bool manyContexts() const { return contexts() > kBlockContexts; }

 private:
  uint32_t contexts() const;     // distinct contexts in the bytes added so far
  std::vector<uint64_t> seen_;   // a bit per context
  uint64_t bytes_ = 0, mark_ = uint64_t(1) << 20;
  uint32_t key_ = 0, fits_ = 0;  // fits_: the largest mark within the bound, MiB
};

// The plan's stream sampled: its files read in plan order, up to kSampleMiB MiB of them.
// Files that cannot be read are passed over here; the compression reports them.
ContextSample sampleStream(const IndexPlan& plan);

}  // namespace qn::zip
