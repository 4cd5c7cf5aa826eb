// Binary-tree match finder of the optimal parser; worker threads share it by hash bucket.
#pragma once
#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "quarnzip/match_bytes.h"

namespace qn::zip {

struct Match {
  uint32_t len;
  uint32_t dist;
};

// The stream's bytes as the finder sees them while a group of chunks is searched.
struct View {
  const uint8_t* buf;   // the byte at position oldest
  uint32_t oldest;      // the oldest position still held
  uint32_t end;         // one past the last byte held
  const uint8_t* at(uint32_t p) const { return buf + (p - oldest); }
};

// Finds, for every position of a chunk, the matches longer than any closer one (at most
// kMaxMatches, closest first for each length), from the two-, three- and four-byte heads and
// a binary tree per hash of the key (a position's first four to eight bytes). What it finds
// at a position depends only on the bytes, so the parser may ask for any subset of positions
// in increasing order.
//
// With several threads, each owns some slices of the buckets: a position is searched and
// inserted by the owner of its bucket, and a tree is only ever touched by its owner, so the
// matches are the same for every thread count. The heads are the parser's own, kept over
// every position as it asks. The threads work ahead of the parser on stretches of kStretch
// positions, through a ring of up to kSlots stretches.
class MatchTree {
 public:
  static constexpr int kMaxMatches = 64;
  static constexpr int kMaxThreads = 16;

  // window: the farthest distance; links: a power of two at least that (a node's slot is its
  // position modulo links, raised to reach the window plus kLead, up to kMinLinks); hashBits:
  // the buckets' hash width; key: the bytes a bucket is keyed on, 4 to 8.
  MatchTree(uint32_t window, uint32_t links, int hashBits, uint32_t key, uint32_t sight, uint32_t nice, int threads);
  ~MatchTree();
  MatchTree(const MatchTree&) = delete;
  MatchTree& operator=(const MatchTree&) = delete;

  // Starts the search of the positions [from, v.end): chunks of `chunk` bytes from `from` on,
  // whose ends no match reaches beyond. Unless the buffer only grew (the same bytes, from at
  // the old end on the chunks' grid), every position posted before must have been parsed;
  // and before the buffer moves, endChunks.
  void beginChunks(const View& v, uint32_t from, uint32_t chunk);
  // The matches at p, which must lie in those chunks and above the last position asked for.
  int matchesAt(uint32_t p, Match* out);
  // Waits until every position posted is in the trees; the buffer may then move.
  void endChunks();
  // Lowers every stored position by delta (positions at or below it become 0, "none").
  void rebase(uint32_t delta);

 private:
  static constexpr uint32_t kStretch = 1u << 12;
  static constexpr uint32_t kSlots = 128;
  struct Entry {
    uint32_t offset;
    uint32_t count;
  };
  // A stretch's results, laid out so that no cache line is written by two threads: which
  // worker searched each position (-1: none; the first worker notes them all), and per worker
  // the entries of the positions it owns (by position in the stretch) and their matches.
  struct Slot {
    std::vector<int16_t> owners;  // not a char type, whose stores could alias anything
    std::vector<std::vector<Entry>> where;
    std::vector<std::vector<Match>> lists;
  };
  struct alignas(64) Worker {  // a line of its own: each writes its next
    uint64_t next = 0;                       // the next stretch it searches
    std::vector<uint32_t> pos, hash;         // its positions of the stretch, and their buckets
    std::vector<int16_t> owners;             // aside: only the first worker's are kept
  };

  // A zeroed table of 32-bit positions in huge pages: the tree is read at random.
  struct Unmap {
    size_t bytes = 0;
    void operator()(uint32_t* p) const;
  };
  using Table = std::unique_ptr<uint32_t[], Unmap>;
  static Table table(size_t entries);

  void search(int w, uint64_t job);
  int headMatches(uint32_t p, uint32_t end, Match* out);  // the parser's: enters positions up to p
  // The fetch-ahead helpers are inlined by force: a function that only reads and prefetches
  // looks pure to g++, which then drops every call to it as unused.
  [[gnu::always_inline]] inline void prefetchLists(uint64_t job, uint32_t p) const;
  uint32_t endOf(uint32_t p) const {  // one past the last byte of p's chunk
    return std::min(postedEnd_.load(std::memory_order_relaxed), chunkFrom_ + ((p - chunkFrom_) / chunk_ + 1) * chunk_);
  }
  // The worker that owns bucket h, by its slice: the top bits of the bucket (bucketOf). A worker
  // owns whole slices, so no cache line of the bucket heads is written by two workers.
  int partOf(uint32_t h) const { return sliceOwner_[h >> (hashBits_ - kSliceBits)]; }
  // The bucket of the key at b, whose first avail bytes are held (at least key_). Its top bits
  // are a class of the largest of the first four bytes, by which a position mostly has the
  // owner of the next one (with two threads about four in five on text, against one in two by
  // a hash): the walk at p + 1 often visits the neighbour of a node the walk at p visited, and
  // on the same core that line is still in the cache (two threads, the first 40 MB and the
  // whole /usr/include tar: 2-3% less time).
  uint32_t bucketAt(const uint8_t* b, uint32_t avail) const {
    uint64_t v = 0;
    std::memcpy(&v, b, std::min<uint32_t>(avail, 8));
    return bucketOf(v, topByte(uint32_t(v)));
  }
  uint32_t bucketOf(uint64_t v, uint32_t top) const {  // v: eight bytes from the key's first
    return classBits_[top] | hash8(v << keyShift_, hashBits_ - kClassBits);
  }
  static uint32_t topByte(uint32_t v) {
    return std::max(std::max(v & 0xFF, (v >> 8) & 0xFF), std::max((v >> 16) & 0xFF, v >> 24));
  }
  void shareSlices(uint32_t from, uint32_t end);
  [[gnu::always_inline]] inline void prefetch(const Worker& k, uint32_t i, uint32_t n) const;
  int treeWalk(uint32_t p, uint32_t end, uint32_t hash, uint32_t best, Match* out);  // end: one past p's chunk
  bool runnable(uint64_t job, uint64_t room) const;
  void release(uint64_t job);
  void waitDone(std::unique_lock<std::mutex>& lk, uint64_t job);
  void workerLoop(int w);
  Slot& slotOf(uint64_t job) { return slots_[job % slots_.size()]; }
  const Slot& slotOf(uint64_t job) const { return slots_[job % slots_.size()]; }

  static constexpr int kClassBits = 4, kSliceBits = 6;  // 16 classes of 4 slices
  static constexpr uint32_t kSlices = 1u << kSliceBits;
  static constexpr uint32_t kLead = (kSlots + 1) * kStretch;
  static constexpr uint32_t kMinLinks = 1u << 21;  // well above kLead; less for a small window
  static constexpr uint64_t kParserBatch = 8;     // stretches the parser waits for at once
  const uint32_t window_, chainMask_, reach_, key_, sight_, nice_;
  const int hashBits_, parts_;
  const int keyShift_;                       // drops the bytes past the key
  const int head4Bits_;                      // the four-byte head's width: 1 MiB, less for a small window
  const size_t buckets_, linkEntries_;
  Table roots_, links_;                      // per bucket the newest node; per node two links
  std::vector<Worker> workers_;
  // Newest position per two-, three- and four-byte key: the trees hold no shorter match than
  // their key, and these give the nearest ones.
  std::vector<uint32_t> head2_, head3_, head4_;
  std::vector<Slot> slots_;
  std::vector<int> doneBy_;                  // per slot: workers that finished its job
  std::vector<std::thread> threads_;
  // Read by every thread at every position, written only while no job is left; but the end,
  // which grows as chunks are posted, is the parser's alone: the workers read postedEnd_,
  // where it only clips the stream's last chunk.
  View view_{};
  std::array<uint8_t, kSlices> sliceOwner_{};
  std::array<uint32_t, 256> classBits_{};    // a bucket's top bits, by the largest of its four bytes
  uint32_t chunkFrom_ = 0, chunk_ = 1;
  uint64_t chunkFirstJob_ = 0;
  std::atomic<uint32_t> postedEnd_{0};

  // The parser writes these at every position it asks for, and the workers lock the mutex
  // for every stretch: each group has a cache line of its own, away from the view above
  // (sharing one made every thread reload it: a tenth of two threads' CPU time).
  alignas(64) uint32_t headsTo_ = 0;         // positions below it are in the heads
  uint64_t current_ = ~uint64_t(0);          // the stretch the parser reads (parser only)
  uint32_t currentEnd_ = 0;                  // one past its chunk

  // Jobs are stretches numbered across chunks: posted_ are known, completed_ searched by
  // every worker, released_ no longer read by the parser.
  alignas(64) std::mutex mu_;
  std::condition_variable workCv_, doneCv_;
  uint64_t posted_ = 0, completed_ = 0, released_ = 0;
  uint64_t batch_ = 1;                       // slots a stopped worker waits for
  uint64_t waitFor_ = ~uint64_t(0);          // the job the parser waits for, if it does
  bool stop_ = false;
};

}  // namespace qn::zip
