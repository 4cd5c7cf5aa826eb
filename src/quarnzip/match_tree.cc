// Binary-tree match finder of the optimal parser; worker threads share it by hash bucket.
#include "quarnzip/match_tree.h"

#include <algorithm>
#include <new>
#include <utility>

#include "core/codes.h"
#include "core/huge.h"
#include "quarnzip/match_bytes.h"

namespace qn::zip {

// A worker can run ahead of another by kLead positions, and the node slots are reused every
// `links` positions: so the tree reaches back no further than links - kLead, where no slot it
// reads can be another worker's newer node, whatever the thread count. A small window gets just
// enough slots to reach all of it, so that a small input takes little memory.
static uint32_t linkCount(uint32_t window, uint32_t links, uint32_t lead, uint32_t most) {
  uint32_t enough = 1;
  while (enough < uint64_t(window) + lead) enough <<= 1;
  return std::max(links, std::min(enough, most));
}

MatchTree::MatchTree(uint32_t window, uint32_t links, int hashBits, uint32_t key, uint32_t sight, uint32_t nice,
                     int threads)
    : window_(window), chainMask_(linkCount(window, links, kLead, kMinLinks) - 1),
      reach_(std::min(window, chainMask_ + 1 - kLead)), key_(std::clamp(key, 4u, 8u)), sight_(sight), nice_(nice),
      hashBits_(hashBits), parts_(std::clamp(threads, 1, kMaxThreads)), keyShift_(64 - 8 * int(key_)),
      head4Bits_(std::min(hashBits, 18)), buckets_(size_t(1) << hashBits),
      linkEntries_((size_t(chainMask_) + 1) * 2), roots_(table(buckets_)), links_(table(linkEntries_)) {
  workers_.resize(size_t(parts_));
  for (Worker& k : workers_) {
    k.pos.resize(kStretch);
    k.hash.resize(kStretch);
    k.owners.resize(kStretch);
  }
  for (uint32_t top = 0; top < 256; ++top)
    classBits_[top] = ((top * 2654435761u) >> (32 - kClassBits)) << (hashBits_ - kClassBits);
  head2_.assign(1u << 16, 0);
  head3_.assign(1u << 16, 0);
  head4_.assign(size_t(1) << head4Bits_, 0);
  // As many slots as the window has stretches, up to kSlots: one thread searches in place
  // and needs one.
  slots_.resize(parts_ > 1 ? std::clamp<size_t>(window / kStretch, 1, kSlots) : 1);
  for (Slot& s : slots_) {
    s.where.assign(size_t(parts_), std::vector<Entry>(kStretch));
    s.owners.assign(kStretch, -1);
    s.lists.resize(size_t(parts_));
  }
  doneBy_.assign(slots_.size(), 0);
  batch_ = std::max<uint64_t>(1, slots_.size() / 4);
  if (parts_ > 1)
    for (int w = 0; w < parts_; ++w) threads_.emplace_back([this, w] { workerLoop(w); });
}

MatchTree::~MatchTree() {
  {
    std::lock_guard lk(mu_);
    stop_ = true;
  }
  workCv_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void MatchTree::beginChunks(const View& v, uint32_t from, uint32_t chunk) {
  // The view is the parser's to write: the workers only read it.
  const bool grows = v.buf == view_.buf && v.oldest == view_.oldest && from == view_.end && chunk == chunk_ &&
                     (from - chunkFrom_) % chunk == 0;
  if (!grows) endChunks();  // the bytes moved, or the chunks' grid: no job may be left
  {
    std::lock_guard lk(mu_);
    if (grows) {
      view_.end = v.end;  // the jobs stay numbered from chunkFrom_
    } else {
      view_ = v;
      shareSlices(from, v.end);
      chunkFrom_ = from;
      chunk_ = chunk;
      chunkFirstJob_ = posted_;
    }
    postedEnd_.store(v.end, std::memory_order_relaxed);  // published to the workers by the mutex
    posted_ += (v.end - from + kStretch - 1) / kStretch;
  }
  workCv_.notify_all();
}

int MatchTree::matchesAt(uint32_t p, Match* out) {
  const uint64_t job = chunkFirstJob_ + (p - chunkFrom_) / kStretch;
  if (job != current_) {  // a new stretch: the parser never goes back, earlier ones are free
    current_ = job;
    // A stretch lies in one chunk, whose end stays where it is: a chunk is posted whole or
    // is the stream's last.
    currentEnd_ = endOf(p);
    if (threads_.empty()) {
      while (completed_ <= job) search(0, completed_++);
    } else {
      std::unique_lock lk(mu_);
      release(job);
      if (completed_ <= job) waitDone(lk, job);
    }
  }
  if (!threads_.empty()) prefetchLists(job, p);
  int n = headMatches(p, currentEnd_, out);
  const Slot& s = slotOf(job);
  const uint32_t at = (p - chunkFrom_) % kStretch;  // p's place in its stretch
  const int w = s.owners[at];
  if (w < 0) return n;
  // The tree's matches longer than the heads' best, in the order found (each longer).
  const Entry e = s.where[size_t(w)][at];
  const Match* tree = s.lists[size_t(w)].data() + e.offset;
  const uint32_t best = n ? out[n - 1].len : 1;
  for (uint32_t i = 0; i < e.count && n < kMaxMatches; ++i)
    if (tree[i].len > best) out[n++] = tree[i];
  return n;
}

// The workers wrote the lists on the other cores: fetch the entry of a later position of the
// stretch and the matches of a nearer one.
void MatchTree::prefetchLists(uint64_t job, uint32_t p) const {
  constexpr uint32_t kEntryAhead = 16, kListAhead = 8;
  const Slot& s = slotOf(job);
  const uint32_t from = chunkFrom_ + uint32_t(job - chunkFirstJob_) * kStretch;
  if (const uint32_t q = p + kEntryAhead; q - from < kStretch) {
    if (const int w = s.owners[q - from]; w >= 0) __builtin_prefetch(&s.where[size_t(w)][q - from]);
  }
  if (const uint32_t q = p + kListAhead; q - from < kStretch) {
    if (const int w = s.owners[q - from]; w >= 0)
      __builtin_prefetch(s.lists[size_t(w)].data() + s.where[size_t(w)][q - from].offset);
  }
}

// The two-, three- and four-byte heads' candidates at p: one counts when it is longer than the
// best so far and its distance can be coded with that length. Every position enters the heads
// once its four bytes are known, also those the parser skipped (inside a long match) and a
// chunk's last three, when the next chunk comes.
int MatchTree::headMatches(uint32_t p, uint32_t end, Match* out) {
  // The stores into the heads may alias any 32-bit member: keep what the loops read in locals.
  const View view = view_;
  uint32_t* const heads2 = head2_.data();
  uint32_t* const heads3 = head3_.data();
  uint32_t* const heads4 = head4_.data();
  uint32_t to = std::max(headsTo_, view.oldest);
  for (; to < p && to + 4 <= view.end; ++to) {
    const uint32_t v = read32(view.at(to));
    heads2[v & 0xFFFF] = to;
    heads3[hash3(v)] = to;
    heads4[hash4(v, head4Bits_)] = to;
  }
  headsTo_ = to;
  if (p + 4 > end) return 0;  // too near the chunk's end to hash
  headsTo_ = p + 1;
  const uint8_t* cur = view.at(p);
  const uint32_t v = read32(cur);
  // The candidates' bytes are read at random in the window: fetch those of a later position
  // ahead (heads that change before then cost only the fetch), and the heads' entries of a
  // later one still (the finder threads' walks share the core and evict them).
  constexpr uint32_t kAhead = 8, kHeadsAhead = 16;
  if (p + kHeadsAhead + 4 <= view.end) {
    const uint32_t later = read32(view.at(p + kHeadsAhead));
    __builtin_prefetch(&heads2[later & 0xFFFF]);
    __builtin_prefetch(&heads3[hash3(later)]);
    __builtin_prefetch(&heads4[hash4(later, head4Bits_)]);
  }
  if (p + kAhead + 4 <= view.end) {
    const uint32_t later = read32(view.at(p + kAhead));
    for (uint32_t c : {heads2[later & 0xFFFF], heads3[hash3(later)], heads4[hash4(later, head4Bits_)]})
      if (c >= view.oldest && c < p) __builtin_prefetch(view.at(c));
  }
  const uint32_t c2 = std::exchange(heads2[v & 0xFFFF], p);
  const uint32_t c3 = std::exchange(heads3[hash3(v)], p);
  const uint32_t c4 = std::exchange(heads4[hash4(v, head4Bits_)], p);
  // Like the tree, the heads compare no further than nice: the parser extends a long match.
  const uint32_t maxLen = std::min(nice_, end - p);
  // None (0), not older than p, older than the oldest position or beyond the window: one bound.
  const uint32_t reach = std::min(window_, p - view.oldest);
  uint32_t best = 1;
  int n = 0;
  for (uint32_t c : {c2, c3, c4}) {
    const uint32_t d = p - c;
    if (d - 1 >= reach || best >= maxLen) continue;
    const uint8_t* at = view.at(c);
    if (at[best] != cur[best]) continue;
    const uint32_t len = matchLen(at, cur, best >= 4 || read32(at) == v ? maxLen : std::min(maxLen, 3u));
    if (len > best && len >= core::minMatchLength(d)) {
      best = len;
      out[n++] = {len, d};
    }
  }
  return n;
}

// Shares the slices out by how many of the positions [from, end) fall in each, from a sample,
// the largest first to the least loaded worker. A class goes whole, so that its neighbours stay
// on one core, unless it holds more than a worker's share. Which worker searches a bucket
// never changes the matches, so this is free to follow the data.
void MatchTree::shareSlices(uint32_t from, uint32_t end) {
  if (parts_ == 1) return;  // every slice is worker 0's
  constexpr uint32_t kSample = 1u << 23, kStep = 7, kPerClass = kSlices >> kClassBits;
  std::array<uint64_t, kSlices> count{};
  uint64_t total = 0;
  for (uint32_t p = from; p + key_ <= end && p - from < kSample; p += kStep, ++total)
    ++count[bucketAt(view_.at(p), end - p) >> (hashBits_ - kSliceBits)];
  struct Unit {
    uint64_t n;
    uint32_t first, slices;
  };
  std::vector<Unit> units;
  for (uint32_t s = 0; s < kSlices; s += kPerClass) {
    uint64_t n = 0;
    for (uint32_t k = 0; k < kPerClass; ++k) n += count[s + k];
    if (n * uint32_t(parts_) <= total) {
      units.push_back({n, s, kPerClass});
    } else {
      for (uint32_t k = 0; k < kPerClass; ++k) units.push_back({count[s + k], s + k, 1});
    }
  }
  std::stable_sort(units.begin(), units.end(), [](const Unit& a, const Unit& b) { return a.n > b.n; });
  std::vector<uint64_t> load(size_t(parts_), 0);
  for (const Unit& u : units) {
    const auto w = std::min_element(load.begin(), load.end()) - load.begin();
    load[size_t(w)] += u.n + 1;  // + 1: slices nothing fell in are dealt round too
    for (uint32_t k = 0; k < u.slices; ++k) sliceOwner_[u.first + k] = uint8_t(w);
  }
}

void MatchTree::endChunks() {
  if (threads_.empty()) {
    while (completed_ < posted_) search(0, completed_++);
    return;
  }
  std::unique_lock lk(mu_);
  release(posted_);
  if (completed_ < posted_) waitDone(lk, posted_ - 1);
}

// Every wake-up is a system call and, on a busy core, a switch: the workers are woken only
// when the parser's stretch crosses a multiple of the batch, not at every stretch.
void MatchTree::release(uint64_t job) {
  const uint64_t was = std::exchange(released_, job);
  if (was / batch_ != job / batch_) workCv_.notify_all();
}

// The parser waits until job is searched, and then a few more, so that it runs for a while
// before it waits again. First every worker looks again: the one furthest behind can then
// always run, so that nobody waits for ever.
void MatchTree::waitDone(std::unique_lock<std::mutex>& lk, uint64_t job) {
  // A worker may stand still a batch short of the ring's end: so no more than that.
  waitFor_ = std::min(posted_ - 1, job + std::min<uint64_t>(kParserBatch, slots_.size() - batch_));
  workCv_.notify_all();
  doneCv_.wait(lk, [&] { return completed_ > waitFor_; });
  waitFor_ = ~uint64_t(0);
}

MatchTree::Table MatchTree::table(size_t entries) {
  const size_t bytes = entries * sizeof(uint32_t);
  auto* p = static_cast<uint32_t*>(core::allocZeroedHuge(bytes));
  if (p == nullptr) throw std::bad_alloc();
  return Table(p, Unmap{bytes});
}

void MatchTree::Unmap::operator()(uint32_t* p) const { core::freeZeroedHuge(p, bytes); }

void MatchTree::rebase(uint32_t delta) {
  auto shift = [delta](uint32_t* t, size_t n) {
    for (size_t i = 0; i < n; ++i) t[i] = t[i] > delta ? t[i] - delta : 0;
  };
  shift(roots_.get(), buckets_);
  shift(links_.get(), linkEntries_);
  shift(head2_.data(), head2_.size());
  shift(head3_.data(), head3_.size());
  shift(head4_.data(), head4_.size());
  headsTo_ = headsTo_ > delta ? headsTo_ - delta : 0;
}

// ---- Workers ----

bool MatchTree::runnable(uint64_t job, uint64_t room) const {
  // The job's slot is free once the parser has left the job a ring back and every worker
  // has finished it; a worker that stopped for a slot waits until a batch more are free.
  const uint64_t ring = slots_.size();
  return job < posted_ && job + room < released_ + ring && job + room < completed_ + ring;
}

void MatchTree::workerLoop(int w) {
  std::unique_lock lk(mu_);
  uint64_t& next = workers_[size_t(w)].next;
  for (;;) {
    if (!stop_ && !runnable(next, 0)) workCv_.wait(lk, [&] { return stop_ || runnable(next, batch_ - 1); });
    if (stop_) return;
    const uint64_t job = next++;
    lk.unlock();
    search(w, job);
    lk.lock();
    // A worker takes its jobs in order, so the jobs complete in order.
    if (++doneBy_[job % slots_.size()] == parts_) {
      doneBy_[job % slots_.size()] = 0;
      completed_ = job + 1;
      if (job == waitFor_) doneCv_.notify_one();
      if (completed_ % batch_ == 0) workCv_.notify_all();
    }
  }
}

// The walk is a chain of cache misses: fetch ahead the bucket of a later position and the
// root of a nearer one (a stale root costs nothing but the fetch). i counts the worker's own
// positions of the stretch, n of them.
void MatchTree::prefetch(const Worker& k, uint32_t i, uint32_t n) const {
  constexpr uint32_t kBucketAhead = 16, kRootAhead = 8;
  if (i + kBucketAhead < n) __builtin_prefetch(&roots_[k.hash[i + kBucketAhead]]);
  if (i + kRootAhead < n) {
    const uint32_t c = roots_[k.hash[i + kRootAhead]];
    if (c >= view_.oldest && c < k.pos[i]) {
      __builtin_prefetch(&links_[size_t(c & chainMask_) * 2]);
      __builtin_prefetch(view_.at(c));
    }
  }
}

// Searches and inserts the positions of one stretch whose bucket worker w owns.
void MatchTree::search(int w, uint64_t job) {
  Slot& s = slotOf(job);
  Worker& k = workers_[size_t(w)];
  const uint32_t from = chunkFrom_ + uint32_t(job - chunkFirstJob_) * kStretch;
  // Stretches lie inside one chunk (a chunk is a whole number of them).
  const uint32_t end = endOf(from);
  const uint32_t to = std::min(from + kStretch, end - std::min(end, key_ - 1));  // the rest hold no key
  // The worker's own positions first, picked without a branch: which worker owns a
  // position is a coin toss that a branch would mispredict half the time. Each position's
  // owner is noted too, by the first worker for the parser, which hashed each position again
  // otherwise (with two threads three times: 5% of the instructions), by the others aside.
  int16_t* owners = w == 0 ? s.owners.data() : k.owners.data();
  uint32_t* const pos = k.pos.data();  // locals: the stores may alias the members
  uint32_t* const hash = k.hash.data();
  const uint8_t* const bytes = view_.at(from);
  uint32_t n = 0;
  auto note = [&](uint32_t p, uint32_t h) {
    const int o = partOf(h);
    pos[n] = p;
    hash[n] = h;
    n += uint32_t(o == w);
    owners[p - from] = int16_t(o);
  };
  uint32_t p = from;
#ifdef __SSE2__
  // The largest of each position's first four bytes, sixteen positions at once, while each
  // position's eight bytes are held.
  for (; p + 16 <= to && p + 16 + 7 <= end; p += 16) {
    const uint8_t* b = bytes + (p - from);
    auto at = [b](int i) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i)); };
    alignas(16) uint8_t tops[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(tops), _mm_max_epu8(_mm_max_epu8(at(0), at(1)), _mm_max_epu8(at(2), at(3))));
    for (uint32_t i = 0; i < 16; ++i) note(p + i, bucketOf(read64(b + i), tops[i]));
  }
#endif
  for (; p < to; ++p) note(p, bucketAt(bytes + (p - from), end - p));
  std::fill(owners + (std::max(to, from) - from), owners + kStretch, int16_t(-1));
  // The walk writes straight into the list, which keeps room for one more walk's matches
  // (its size is that room; used is what holds matches).
  std::vector<Match>& list = s.lists[size_t(w)];
  uint32_t used = 0;
  for (uint32_t i = 0; i < n; ++i) {
    prefetch(k, i, n);
    if (list.size() < used + kMaxMatches) list.resize(std::max<size_t>(2 * list.size(), used + kMaxMatches));
    // Every position is searched, also inside long runs: the parser extends a long match.
    const uint32_t p = k.pos[i];
    const int found = treeWalk(p, end, k.hash[i], 1, list.data() + used);
    s.where[size_t(w)][p - from] = {used, uint32_t(found)};
    used += uint32_t(found);
  }
}

// Binary tree of the positions with the same four-byte hash, ordered by the bytes that follow
// them: p becomes the root, the old tree is split into its two subtrees on the way down, and
// each node met is a candidate. Records the matches longer than best.
int MatchTree::treeWalk(uint32_t p, uint32_t end, uint32_t hash, uint32_t best, Match* out) {
  const uint32_t limit = std::min(nice_, end - p);
  // The stores into the links may alias any 32-bit member: keep what the loop reads in locals.
  const View view = view_;
  // A node older than the oldest position lies more than p - oldest back: one bound for both.
  const uint32_t reach = std::min(reach_, p - view.oldest), mask = chainMask_;
  uint32_t* const links = links_.get();
  const uint8_t* cur = view.at(p);
  uint32_t* left = &links[size_t(p & mask) * 2];  // smaller suffixes
  uint32_t* right = left + 1;                     // larger suffixes
  uint32_t c = std::exchange(roots_[hash], p);
  int n = 0;
  for (uint32_t depth = sight_;; --depth) {
    // No node (0) lies below the oldest position, which is never 0; a node not older than p
    // makes d - 1 wrap to reach or more.
    const uint32_t d = p - c;
    if (depth == 0 || d - 1 >= reach) {
      *left = *right = 0;
      return n;
    }
    uint32_t* pair = &links[size_t(c & mask) * 2];
    const uint8_t* m = cur - d;  // the node's bytes, without the view in a register
    // Every node is compared from its first byte: nodes inserted near a chunk's end were
    // placed by shorter comparisons, so the prefix the bounds share cannot be taken on trust.
    const uint32_t len = matchLen(m, cur, limit);
    if (len > best && len >= core::minMatchLength(d) && n < kMaxMatches - 2) {
      best = len;
      out[n++] = {len, d};
    }
    if (len >= limit) {  // as long as we look: c's subtrees become p's
      *left = pair[0];
      *right = pair[1];
      return n;
    }
    if (m[len] < cur[len]) {
      *left = c;
      left = pair + 1;
      c = *left;
    } else {
      *right = c;
      right = pair;
      c = *right;
    }
  }
}

}  // namespace qn::zip
