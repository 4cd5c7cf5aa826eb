// Data-stream layout: the files' bytes in the order the decompressor's rotation takes them.
#include "quarnzip/layout.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "core/bwt.h"
#include "core/params.h"
#include "quarnzip/report.h"

namespace qn::zip {
namespace {
constexpr uint32_t kMaxColumn = 128;  // the decompressor's file table
}

Rotation::Rotation(const IndexPlan& plan, uint32_t clusterBytes)
    : plan_(plan), cluster_(clusterBytes) {
  openBatch();
}

bool Rotation::openBatch() {
  while (next_ < plan_.items.size()) {
    const PlanItem& it = plan_.items[next_++];
    if (it.column) {
      column_ = it.count;
      if (!open_.empty()) return true;  // a column line ends a started batch
      continue;
    }
    if (it.size == 0) continue;         // created at once, never in a batch
    open_.push_back({next_ - 1, it.size});
    uint32_t limit = column_ == 0 || column_ > kMaxColumn ? kMaxColumn : column_;
    if (open_.size() >= limit) return true;
  }
  return !open_.empty();
}

void Rotation::complete() {
  open_.erase(open_.begin() + cur_);
  if (!open_.empty()) --cur_;  // the next advance lands on the file that followed
}

void Rotation::advance() {
  cur_ = open_.empty() ? 0 : (cur_ + 1) % static_cast<int64_t>(open_.size());
}

uint64_t Rotation::turnSize() const { return std::min(open_[cur_].left, cluster_); }

void Rotation::piece(uint64_t n, std::vector<Segment>& out) {
  if (open_.empty() || n == 0) return;
  uint64_t turn = turnSize();
  while (turn < n) {
    out.push_back({open_[cur_].item, turn});
    open_[cur_].left -= turn;
    n -= turn;
    if (open_[cur_].left == 0) {
      complete();
      if (open_.empty() && !openBatch()) return;
    }
    advance();
    turn = turnSize();
  }
  out.push_back({open_[cur_].item, n});
  open_[cur_].left -= n;
  if (open_[cur_].left == 0) {
    complete();
    if (open_.empty()) openBatch();
  }
  advance();
}

StreamSource::StreamSource(const IndexPlan& plan, uint64_t pieceBytes)
    : plan_(plan), rot_(plan, plan.param[core::kCluster] * 1024u), piece_(pieceBytes),
      total_(plan.totalSize()) {}

StreamSource::~StreamSource() {
  for (auto& f : files_)
    if (f.second) std::fclose(f.second);
}

void StreamSource::readSegment(const Segment& s, uint8_t* dst) {
  const PlanItem& it = plan_.items[s.item];
  auto f = files_.find(s.item);
  if (f == files_.end()) {
    FILE* fp = std::fopen(it.src.c_str(), "rb");
    if (!fp) {
      errf(txt::kZipFailOpenSrc, it.src.c_str());
      ++errors_;
    }
    f = files_.emplace(s.item, fp).first;
  }
  size_t got = f->second ? std::fread(dst, 1, s.len, f->second) : s.len;
  if (got < s.len) {  // the file shrank: the archive keeps its announced size
    std::memset(dst + got, 0, s.len - got);
    if (f->second) errf(txt::kZipSizeChanged, it.src.c_str());
    ++errors_;
    if (f->second) std::fclose(f->second);
    f->second = nullptr;
  }
  uint64_t& done = done_[s.item];
  done += s.len;
  if (done == it.size) {
    if (f->second && std::fgetc(f->second) != EOF) {  // it grew: the archive keeps the old size
      errf(txt::kZipSizeChanged, it.src.c_str());
      ++errors_;
    }
    if (f->second) std::fclose(f->second);
    files_.erase(f);
    done_.erase(s.item);
  }
}

void StreamSource::nextPiece() {
  uint64_t n = std::min(piece_, total_ - produced_);
  buf_.assign(n, 0);
  bufPos_ = 0;
  segs_.clear();
  rot_.piece(n, segs_);
  uint64_t at = 0;
  for (const Segment& s : segs_) {
    readSegment(s, buf_.data() + at);
    at += s.len;
  }
  produced_ += n;
}

size_t StreamSource::read(uint8_t* dst, size_t n) {
  size_t got = 0;
  while (got < n) {
    if (bufPos_ == buf_.size()) {
      if (produced_ == total_) break;
      nextPiece();
    }
    size_t k = std::min(n - got, buf_.size() - bufPos_);
    std::memcpy(dst + got, buf_.data() + bufPos_, k);
    bufPos_ += k;
    got += k;
  }
  return got;
}

}  // namespace qn::zip

namespace qn::zip {

void BlockSource::nextBlock() {
  blockPos_ += cur_.size();
  // A block never holds more than the stream still has: the parameter may ask for far more.
  std::vector<uint8_t> raw(std::min(block_, raw_.total() - blockPos_));
  raw.resize(raw_.read(raw.data(), raw.size()));
  if (raw.empty()) {
    done_ = true;
    cur_.clear();
    curPos_ = 0;
    return;
  }
  if (raw.size() > core::kBwtStoredMax) {
    cur_.resize(raw.size());
    starts_[blockPos_] = core::bwtForward(raw.data(), cur_.data(), raw.size());
  } else {
    cur_ = std::move(raw);  // short blocks are stored as they are
  }
  curPos_ = 0;
}

size_t BlockSource::read(uint8_t* dst, size_t n) {
  size_t got = 0;
  while (got < n && !done_) {
    if (curPos_ == cur_.size()) {
      nextBlock();
      continue;
    }
    size_t k = std::min(n - got, cur_.size() - curPos_);
    std::memcpy(dst + got, cur_.data() + curPos_, k);
    curPos_ += k;
    got += k;
  }
  return got;
}

bool BlockSource::startAt(uint64_t pos, uint64_t& index) const {
  auto it = starts_.find(pos);
  if (it == starts_.end()) return false;
  index = it->second;
  return true;
}

// ---- The stream's contexts ----

bool ContextSample::add(const uint8_t* p, size_t n) {
  constexpr uint64_t kSample = uint64_t(kSampleMiB) << 20;
  size_t i = 0;
  for (; i < n && bytes_ < 2; ++i, ++bytes_) key_ = key_ << 8 | p[i];  // no context yet
  while (i < n && bytes_ < kSample) {
    // Up to the next mark, only bits are set (no count to wait for); counts at the marks.
    const size_t run = size_t(std::min<uint64_t>(n - i, std::min(mark_, kSample) - bytes_));
    uint32_t key = key_;
    for (size_t k = i; k < i + run; ++k) {
      key = (key << 8 | p[k]) & 0xFFFFFF;
      seen_[key >> 6] |= uint64_t(1) << (key & 63);
    }
    key_ = key;
    i += run;
    bytes_ += run;
    if (bytes_ == mark_) {
      if (contexts() <= kBlockContexts) fits_ = uint32_t(mark_ >> 20);
      mark_ <<= 1;
    }
  }
  return bytes_ < kSample;
}

uint32_t ContextSample::contexts() const {
  uint32_t c = 0;
  for (const uint64_t w : seen_) c += uint32_t(std::popcount(w));
  return c;
}

uint32_t ContextSample::blockMiB() const {
  // A stream shorter than a mark within the bound fits any block from there on.
  if (contexts() <= kBlockContexts) return kAutoBlockMiB;
  return std::clamp<uint32_t>(fits_, 1, kAutoBlockMiB);
}

ContextSample sampleStream(const IndexPlan& plan) {
  ContextSample sample;
  std::vector<uint8_t> buf(1 << 16);
  bool more = true;
  for (size_t i = 0; i < plan.items.size() && more; ++i) {
    const PlanItem& it = plan.items[i];
    FILE* f = it.column || it.size == 0 ? nullptr : std::fopen(it.src.c_str(), "rb");
    if (f == nullptr) continue;
    for (uint64_t left = it.size; left > 0 && more;) {
      const size_t n = std::fread(buf.data(), 1, size_t(std::min<uint64_t>(left, buf.size())), f);
      if (n == 0) break;
      more = sample.add(buf.data(), n);
      left -= n;
    }
    std::fclose(f);
  }
  return sample;
}

}  // namespace qn::zip
