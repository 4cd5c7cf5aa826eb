// Match finder and parsers: hash chains or binary trees, lazy or price-driven optimal parse.
#include "quarnzip/lz.h"

#include <algorithm>
#include <cstring>

#include "core/codes.h"
#include "core/format.h"
#include "quarnzip/match_bytes.h"

namespace qn::zip {
namespace {

constexpr uint32_t kChunk = core::kSlot;       // the input is parsed one ring slot at a time
constexpr uint64_t kMaxWindow = 1u << 30;          // the finder's own bound on history
constexpr uint32_t kOptWindow = 2048;              // positions one optimal parse decides at once
constexpr uint32_t kMaxNice = 4096;
constexpr uint32_t kInf = 0xFFFFFFFFu;
constexpr uint64_t kPriceRefresh = 1u << 12;       // bytes between price refreshes
constexpr uint32_t kDistRefreshes = 4;             // price refreshes between distance ones
constexpr int kMaxMatches = MatchTree::kMaxMatches;
constexpr uint32_t kGoodLength = 48;               // past this, the chain walk is cut short

inline int bitLength(uint64_t v) { return v ? 64 - __builtin_clzll(v) : 0; }

// Offers one match, at every length lo..hi (each with its price above base), to the positions
// ahead: a length wins where it is strictly cheaper, as one comparison at a time would have
// it. Four lengths at a time, without a branch: the plain loop kept its counter and the
// arrays' addresses in memory, and its reloads were a fifth of the parse's time on text.
void relaxLengths(uint32_t* cost, uint32_t* fromLen, uint32_t* fromDist, const uint32_t* lenPrice,
                  uint32_t lo, uint32_t hi, uint32_t base, uint32_t dist) {
  using V = uint32_t __attribute__((vector_size(16)));
  auto load = [](const uint32_t* p) { V v; std::memcpy(&v, p, sizeof v); return v; };
  auto store = [](uint32_t* p, V v) { std::memcpy(p, &v, sizeof v); };
  uint32_t len = lo;
  V lens = V{0, 1, 2, 3} + len;
  for (; len + 3 <= hi; len += 4, lens += 4) {
    const V c = base + load(lenPrice + len), old = load(cost + len);
    const V take = V(c < old);  // all ones where the length wins
    store(cost + len, old ^ ((old ^ c) & take));
    const V fl = load(fromLen + len), fd = load(fromDist + len);
    store(fromLen + len, fl ^ ((fl ^ lens) & take));
    store(fromDist + len, fd ^ ((fd ^ dist) & take));
  }
  for (; len <= hi; ++len) {
    const uint32_t c = base + lenPrice[len];
    if (c < cost[len]) {
      cost[len] = c;
      fromLen[len] = len;
      fromDist[len] = dist;
    }
  }
}

uint64_t pow2AtLeast(uint64_t v) {
  uint64_t p = 1;
  while (p < v) p <<= 1;
  return p;
}

// Fixed estimates when no coder is at hand (tests, first chunk of a parse).
class FlatPricer : public Pricer {
 public:
  uint32_t literal(uint8_t) const override { return 16 * 9; }
  uint32_t length(uint32_t len) const override { return 16 * ((len < 8 ? 4 : len < 20 ? 7 : 12) + 3); }
  uint32_t distance(uint32_t, uint64_t dist) const override { return 16 * static_cast<uint32_t>(bitLength(dist)); }
};
const FlatPricer kFlat;

using core::contextLength;
using core::distContext;

}  // namespace

uint32_t minLengthFor(uint64_t dist) { return core::minMatchLength(dist); }

int lengthFields(uint32_t len, uint32_t fields[24]) {
  int n = 0;
  while (len >= core::kLongForm) {
    uint32_t v = 0;
    while (v < 4 && core::fieldLength(core::kLongForm + v + 1) <= len) ++v;  // 2^17 .. 2^20 at most
    uint32_t field = core::kLongForm + v;
    uint32_t piece = uint32_t(core::fieldLength(field));
    if (len - piece > 0 && len - piece < 3) {     // never leave a piece shorter than 3
      piece = 65533;
      field = 65533;
    }
    fields[n++] = field;
    len -= piece;
  }
  if (len > 0) fields[n++] = len;
  return n;
}

LzEncoder::LzEncoder(const LzConfig& cfg, uint64_t streamBytes) : cfg_(cfg) {
  cfg_.nice = std::clamp<uint32_t>(cfg_.nice, 8, kMaxNice);
  cfg_.sight = std::max<uint32_t>(cfg_.sight, 1);
  cfg_.pipes = std::max<uint32_t>(cfg_.pipes, 1);
  uint64_t w = std::min<uint64_t>({cfg_.maxDist, kMaxWindow, pow2AtLeast(std::max<uint64_t>(streamBytes, 256))});
  window_ = static_cast<uint32_t>(w);
  chainMask_ = static_cast<uint32_t>(pow2AtLeast(w) - 1);
  hashBits_ = std::clamp(bitLength(w) - 1, 12, 22);
  groupChunks_ = cfg_.group ? cfg_.group : cfg_.optimal && cfg_.threads > 1 ? 8 : 1;
  // Room for two groups past the window, so that the next is posted while one is parsed.
  uint64_t cap = std::min<uint64_t>(w + std::max<uint64_t>(w, 2 * uint64_t(groupChunks_) * kChunk),
                                    std::max<uint64_t>(streamBytes, 1));
  buf_.reserve(cap);
  bufStart_ = end_ = ins_ = next_ = chunkEnd_ = chainMask_ + 1;  // position 0 never names a byte
  if (cfg_.optimal) {
    tree_ = std::make_unique<MatchTree>(window_, chainMask_ + 1, hashBits_, cfg_.key, cfg_.sight, cfg_.nice, cfg_.threads);
    size_t arr = kOptWindow + kMaxNice + 2;
    cost_.resize(arr);
    fromLen_.resize(arr);
    fromDist_.resize(arr);
    lenPrice_.resize(kMaxNice + 1);
  } else {
    head3_.assign(1u << 16, 0);
    head4_.assign(1u << hashBits_, 0);
    chain_.assign(chainMask_ + 1, 0);
  }
}

LzEncoder::~LzEncoder() = default;

void LzEncoder::rebase() {
  // Whole multiples of the link array's size keep every position's slot; everything the
  // window or the buffer still holds stays above 0.
  uint32_t size = chainMask_ + 1;
  uint32_t delta = (std::min(end_ - window_, bufStart_) - 1) / size * size;
  if (delta == 0) return;
  ++rebases_;
  auto shift = [delta](std::vector<uint32_t>& t) {
    for (uint32_t& e : t) e = e > delta ? e - delta : 0;
  };
  shift(head3_);
  shift(head4_);
  shift(chain_);
  if (tree_) tree_->rebase(delta);
  bufStart_ -= delta;
  end_ -= delta;
  ins_ -= delta;
  next_ -= delta;  // everything posted was parsed
  chunkEnd_ -= delta;
}

void LzEncoder::append(const uint8_t* data, uint32_t n) {
  if (end_ > cfg_.rebaseAt) rebase();
  size_t used = end_ - bufStart_;
  if (used + n > buf_.capacity()) {  // slide: keep the window's history only
    size_t keep = std::min<size_t>(used, window_);
    std::memmove(buf_.data(), buf_.data() + (used - keep), keep);
    buf_.resize(keep);
    bufStart_ = end_ - static_cast<uint32_t>(keep);
    if (keep + n > buf_.capacity()) buf_.reserve(keep + n);
  }
  buf_.insert(buf_.end(), data, data + n);
  end_ += n;
}

void LzEncoder::insert(uint32_t p) {
  const uint32_t v = read32(at(p));
  head3_[hash3(v)] = p;
  const uint32_t h = hash4(v, hashBits_);
  chain_[p & chainMask_] = head4_[h];
  head4_[h] = p;
}

void LzEncoder::catchUp(uint32_t p) {
  while (ins_ < p && ins_ + 4 <= chunkEnd_) insert(ins_++);
  if (ins_ < p) ins_ = p;
}

int LzEncoder::find(uint32_t p, uint32_t maxLen, Match* out) {
  int n = 0;
  if (p + 4 > chunkEnd_ || maxLen < 2) {
    if (ins_ <= p) ins_ = p + 1;
    return 0;
  }
  const uint8_t* cur = at(p);
  const uint32_t v = read32(cur);
  uint32_t best = 1;
  uint32_t steps = cfg_.sight;
  // One candidate: kept when it is longer than the best so far and its distance can be coded
  // with that length.
  auto consider = [&](uint32_t c) __attribute__((always_inline)) {
    if (c == 0 || c >= p || c < bufStart_ || best >= maxLen) return;  // cur[best] must lie inside
    uint32_t d = p - c;
    if (d > window_) return;
    const uint8_t* m = at(c);
    if (m[best] != cur[best]) return;
    uint32_t len = best >= 4 || read32(m) == v ? matchLen(m, cur, maxLen) : matchLen(m, cur, std::min(maxLen, 3u));
    if (len > best && len >= minLengthFor(d)) {
      best = len;
      out[n++] = {len, d};
      if (len >= kGoodLength) steps = std::min(steps, cfg_.sight / 4 + 1);  // good enough: look less
    }
  };
  consider(head3_[hash3(v)]);
  uint32_t c = head4_[hash4(v, hashBits_)];
  while (c != 0 && steps > 0 && n < kMaxMatches && best < cfg_.nice && best < maxLen) {
    --steps;
    if (c >= p || p - c > window_ || c < bufStart_) break;
    uint32_t next = chain_[c & chainMask_];
    consider(c);
    if (next >= c) break;  // an overwritten link
    c = next;
  }
  catchUp(p);
  if (ins_ == p) insert(ins_++);
  return n;
}

bool LzEncoder::fits(uint32_t n) const {
  return end_ <= cfg_.rebaseAt && size_t(end_ - bufStart_) + n <= buf_.capacity();
}

void LzEncoder::post(const uint8_t* data, uint32_t n) {
  if (!fits(n) && tree_) tree_->endChunks();  // the buffer moves: the finder must be through
  append(data, n);
  if (cfg_.optimal) tree_->beginChunks({at(bufStart_), bufStart_, end_}, end_ - n, kChunk);
}

void LzEncoder::parseChunk(uint32_t n, const Pricer* pricer, std::vector<Op>& ops, const SpanSink& sink) {
  const uint32_t start = next_;
  chunkEnd_ = next_ += n;
  if (!cfg_.optimal) return parseLazy(start, chunkEnd_, ops);
  parseOptimal(start, chunkEnd_, pricer ? pricer : &kFlat, ops, sink);
}

void LzEncoder::parseLazy(uint32_t p, uint32_t end, std::vector<Op>& ops) {
  Match m[kMaxMatches];
  auto gain = [](const Match& x) { return 4 * static_cast<int>(x.len) - bitLength(x.dist); };
  while (p < end) {
    catchUp(p);
    int k = find(p, end - p, m);
    if (k == 0) {
      ops.push_back({1, 0});
      ++p;
      continue;
    }
    Match best = m[k - 1];
    for (uint32_t step = 1; step < cfg_.pipes && best.len < cfg_.nice && p + 1 < end; ++step) {
      int k2 = find(p + 1, end - p - 1, m);
      if (k2 == 0 || gain(m[k2 - 1]) <= gain(best) + 1) break;
      ops.push_back({1, 0});
      ++p;
      best = m[k2 - 1];
    }
    ops.push_back({best.len, best.dist});
    p += best.len;
  }
}

void LzEncoder::refreshPrices(const Pricer* pricer) {
  // Distance prices move slowly: the cache keeps them over kDistRefreshes refreshes (1% of
  // one thread's time on binary data; no change in size beyond the noise).
  if (pricer_ != pricer || ++refreshes_ % kDistRefreshes == 0)
    std::fill(distCache_.begin(), distCache_.end(), PriceSlot{});
  pricer_ = pricer;
  pricer->literals(litPrice_);
  pricer->distances(1, distBase_);
  for (uint32_t len = 2; len <= cfg_.nice; ++len) lenPrice_[len] = pricer->length(len) + distBase_[distContext(len)];
  sincePrices_ = 0;
}

[[gnu::noinline]] void LzEncoder::priceSlot(PriceSlot& e, uint32_t dist) {
  uint32_t all[5];
  pricer_->distances(dist, all);
  e.dist = dist;
  for (int c = 0; c < 5; ++c)  // a context the distance cannot be coded in is never asked for
    e.extra[c] = int16_t(std::min<int32_t>(int32_t(all[c]) - int32_t(distBase_[c]), INT16_MAX));
}

// Matches repeat their distance from one position to the next: remember recent prices. The
// look-up is inlined in the parse; the pricing of a new distance is not.
inline const int16_t* LzEncoder::distExtras(uint32_t dist) {
  static constexpr int16_t kNone[5] = {};
  if (dist == 1) return kNone;
  PriceSlot& e = distCache_[dist & (kDistCache - 1)];
  if (e.dist != dist) [[unlikely]]
    priceSlot(e, dist);
  return e.extra;
}

void LzEncoder::parseOptimal(uint32_t p, uint32_t end, const Pricer* pricer, std::vector<Op>& ops,
                             const SpanSink& sink) {
  Match m[kMaxMatches];
  std::vector<Op> path;
  while (p < end) {
    if (pricer_ != pricer || sincePrices_ >= kPriceRefresh) refreshPrices(pricer);
    uint32_t span = std::min<uint32_t>(kOptWindow, end - p);
    uint32_t limit = std::min<uint32_t>(end - p, kOptWindow + kMaxNice);
    // Prices are set up as far as the parse reaches, a stretch at a time: a window that a
    // long match ends early would otherwise clear 24 KB for a few positions.
    cost_[0] = 0;
    uint32_t ready = 0;  // cost_[0..ready] hold a price or kInf
    auto reach = [&](uint32_t j) __attribute__((always_inline)) {
      if (j <= ready) return;
      const uint32_t to = std::min(limit, std::max(j, ready + 64));
      std::fill(&cost_[ready + 1], &cost_[to] + 1, kInf);
      ready = to;
    };
    uint32_t stop = span;        // the parse decides positions up to here
    uint32_t longLen = 0, longDist = 0;
    for (uint32_t i = 0; i < stop; ++i) {
      uint32_t pos = p + i;
      reach(i + 1);
      int k = tree_->matchesAt(pos, m);
      uint32_t lit = cost_[i] + litPrice_[*at(pos)];
      if (lit < cost_[i + 1]) {
        cost_[i + 1] = lit;
        fromLen_[i + 1] = 1;
      }
      if (k == 0) continue;
      if (m[k - 1].len >= cfg_.nice) {  // take a long match at once: the parse ends here
        stop = i;
        longDist = m[k - 1].dist;
        // The finder compares no further than nice: the match may go on.
        longLen = matchLen(at(pos - longDist), at(pos), end - pos);
        break;
      }
      uint32_t from = 2;
      auto relax = [&](uint32_t len, uint32_t dist, uint32_t c) __attribute__((always_inline)) {
        if (c < cost_[i + len]) {
          cost_[i + len] = c;
          fromLen_[i + len] = len;
          fromDist_[i + len] = dist;
        }
      };
      // The matches come longest last: the last sets how far the prices must be ready, and
      // how far the parse must go on.
      reach(i + std::min(m[k - 1].len, limit - i));
      stop = std::max(stop, std::min(i + m[k - 1].len, limit));
      for (int j = 0; j < k; ++j) {
        const uint32_t d = m[j].dist;
        const uint32_t top = std::min(m[j].len, limit - i);
        // Lengths 2..5 each have a distance context of their own; longer ones share the last,
        // so its distance price (over that of distance 1) is added once.
        // The finder reports nothing of nice or longer here (that ended the parse above), so
        // every length has its price in the table.
        uint32_t len = std::max(from, minLengthFor(d));
        const int16_t* extra = distExtras(d);
        for (; len <= top && len < contextLength(4); ++len)
          relax(len, d, cost_[i] + uint32_t(int32_t(lenPrice_[len]) + extra[distContext(len)]));
        if (len <= top)
          relaxLengths(&cost_[i], &fromLen_[i], &fromDist_[i], lenPrice_.data(), len, top,
                       cost_[i] + uint32_t(extra[4]), d);
        from = m[j].len + 1;
      }
    }
    // Walk back from the end of the decided span and emit the path forwards.
    path.clear();
    for (uint32_t i = stop; i > 0;) {
      uint32_t len = fromLen_[i];
      path.push_back({len, len == 1 ? 0 : fromDist_[i]});
      i -= len;
    }
    for (auto it = path.rbegin(); it != path.rend(); ++it) ops.push_back(*it);
    p += stop;
    sincePrices_ += stop;
    if (longLen) {
      ops.push_back({longLen, longDist});
      p += longLen;
      sincePrices_ += longLen;
    }
    if (sink) {
      sink(ops);
      ops.clear();
    }
  }
}

}  // namespace qn::zip
