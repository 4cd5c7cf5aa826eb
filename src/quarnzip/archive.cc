// Archive writer: header, checked chunks, data-stream end field and volume files.
#include "quarnzip/archive.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "core/checksum.h"
#include "core/format.h"
#include "core/params.h"
#include "quarnzip/report.h"

namespace qn::zip {
namespace {

void put64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The files being written, for the signal handler: a list that only grows, each entry
// published whole; the handler removes the entries still live (unlink is safe there).
struct Written {
  std::string name;
  std::atomic<bool> live{true};
  Written* next = nullptr;
};
std::atomic<Written*> writtenHead{nullptr};
std::atomic<uint32_t> tmpSequence{0};  // new names for the run's files, never reused

Written* remember(const std::string& name) {
  auto* w = new Written{name};  // lives to the end of the process: the handler may read it
  w->next = writtenHead.load();
  while (!writtenHead.compare_exchange_weak(w->next, w)) {
  }
  return w;
}

extern "C" void removeWritten(int sig) {
  for (Written* w = writtenHead.load(); w; w = w->next)
    if (w->live.load()) unlink(w->name.c_str());
  signal(sig, SIG_DFL);
  raise(sig);
}

}  // namespace

void removeOnSignal() {
  struct sigaction sa {};
  sa.sa_handler = removeWritten;
  constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
  sigemptyset(&sa.sa_mask);
  for (int sig : kSignals) sigaddset(&sa.sa_mask, sig);  // one handler at a time
  for (int sig : kSignals) sigaction(sig, &sa, nullptr);
}

// One file of the archive, written under a new name beside its own and put in its place only
// once complete: a failed run (a write error, no memory) leaves what was there before.
class Out {
 public:
  Out(std::string name, bool force) : name_(std::move(name)), force_(force) {
    struct stat st {};
    if (!force_ && lstat(name_.c_str(), &st) == 0) {
      refuse();
      return;
    }
    fp_ = openBeside();
    if (!fp_) fail();
  }
  ~Out() {
    close();
    if (!tmp_.empty()) std::remove(tmp_.c_str());  // never committed
    if (written_) written_->live = false;
  }
  void write(const void* p, uint64_t n) {
    if (fp_ && std::fwrite(p, 1, n, fp_) != n) fail();
    bytes_ += n;
  }
  // One stored chunk: payload and its sum.
  void chunk(const uint8_t* p, uint64_t n) {
    uint8_t sum[core::kChunkSumSize];
    put64(sum, core::chunkSum(p, static_cast<uint32_t>(n)));  // the reader's own sum
    write(p, n);
    write(sum, 8);
  }
  void close() {
    if (fp_ && std::fclose(fp_) != 0) fail();
    fp_ = nullptr;
  }
  // Writes n bytes at an earlier position (the end field, once the data is known).
  void rewrite(uint64_t at, const void* p, uint64_t n) {
    if (!fp_) return;
    if (fseeko(fp_, static_cast<off_t>(at), SEEK_SET) != 0 || std::fwrite(p, 1, n, fp_) != n) fail();
  }
  // Closes the file and puts it in its place, replacing an older file of that name only with
  // force (one made since the check at the start is refused too).
  bool commit() {
    close();
    if (ok_ && place() != 0) errno == EEXIST ? refuse() : fail();
    if (ok_) tmp_.clear();
    return ok_;
  }
  bool ok() const { return ok_; }
  uint64_t bytes() const { return bytes_; }

 private:
  // A file of a new name in the archive's folder (created here, so never an existing file),
  // known to the signal handler before it exists.
  FILE* openBeside() {
    const size_t slash = name_.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : name_.substr(0, slash + 1);
    for (int tries = 0; tries < 100; ++tries) {
      tmp_ = dir + ".quarnzip-" + std::to_string(getpid()) + "-" + std::to_string(tmpSequence++);
      written_ = remember(tmp_);
      int fd = ::open(tmp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd >= 0) return fdopen(fd, "wb");
      written_->live = false;  // someone else's file
      if (errno != EEXIST) break;
    }
    tmp_.clear();
    return nullptr;
  }
  int place() {
    if (force_) return std::rename(tmp_.c_str(), name_.c_str());
    return renameat2(AT_FDCWD, tmp_.c_str(), AT_FDCWD, name_.c_str(), RENAME_NOREPLACE);
  }
  void fail() {
    if (ok_) errf(txt::kZipFailWrite, name_.c_str());
    ok_ = false;
  }
  void refuse() {
    if (ok_) errf(txt::kZipExists, name_.c_str());
    ok_ = false;
  }
  std::string name_, tmp_;
  bool force_;
  FILE* fp_ = nullptr;
  Written* written_ = nullptr;
  bool ok_ = true;
  uint64_t bytes_ = 0;
};

uint64_t chunkCount(uint64_t n) { return n == 0 ? 0 : (n + kChunkPayload - 1) / kChunkPayload; }


uint32_t VolumeCounter::next() {
  if (volume_ != 0 && count_ >= volume_) {
    ++file_;
    count_ = 0;
  }
  count_ += core::kVolumeMiBPerChunk;
  return file_;
}

std::vector<uint32_t> dataChunkFiles(uint64_t indexChunks, uint64_t dataChunks, uint32_t volumeMiB) {
  VolumeCounter v(indexChunks, volumeMiB);
  std::vector<uint32_t> files;
  for (uint64_t i = 0; i < dataChunks; ++i) files.push_back(v.next());
  return files;
}

ArchiveWriter::ArchiveWriter(std::string path, uint32_t volumeMiB, bool force)
    : path_(std::move(path)), volumeMiB_(volumeMiB), force_(force), first_(std::make_unique<Out>(path_, force)) {
  pending_.reserve(kChunkPayload);
}

bool ArchiveWriter::ok() const { return ok_ && first_ && first_->ok(); }

ArchiveWriter::~ArchiveWriter() = default;

void ArchiveWriter::begin(uint32_t indexLength, bool password, const std::vector<uint8_t>& index) {
  uint64_t chunks = chunkCount(index.size());
  dataPos_ = core::kHeaderSize + index.size() + core::kChunkSumSize * chunks;
  uint8_t head[core::kHeaderSize] = {core::kMagic, core::kVersion};
  head[core::kHeaderFlags] = password ? core::kFlagPassword : 0;
  for (int i = 0; i < 4; ++i) head[core::kHeaderIndexLen + i] = static_cast<uint8_t>(indexLength >> (8 * i));
  put64(head + core::kHeaderDataPos, dataPos_);
  first_->write(head, core::kHeaderSize);
  for (uint64_t i = 0; i < chunks; ++i) {
    uint64_t at = i * kChunkPayload;
    first_->chunk(index.data() + at, std::min<uint64_t>(kChunkPayload, index.size() - at));
  }
  uint8_t end[core::kEndFieldSize] = {};
  first_->write(end, core::kEndFieldSize);  // the end field, filled in by finish()
  counter_ = VolumeCounter(chunks, volumeMiB_);
}

void ArchiveWriter::data(const uint8_t* p, size_t n) {
  while (n > 0) {
    size_t k = std::min(n, kChunkPayload - pending_.size());
    pending_.insert(pending_.end(), p, p + k);
    p += k;
    n -= k;
    if (pending_.size() == kChunkPayload) flushChunk();
  }
}

void ArchiveWriter::flushChunk() {
  uint32_t file = counter_.next();
  if (file != 0 && file != volNum_) {
    closeVolume();
    volNum_ = file;
    vol_ = std::make_unique<Out>(path_ + "." + std::to_string(file), force_);
  }
  (vol_ ? *vol_ : *first_).chunk(pending_.data(), pending_.size());
  dataBytes_ += pending_.size() + 8;
  pending_.clear();
}

void ArchiveWriter::closeVolume() {
  if (!vol_) return;
  vol_->close();
  ok_ = ok_ && vol_->ok();
  total_ += vol_->bytes();
  closed_.push_back(std::move(vol_));
}

uint64_t ArchiveWriter::finish() {
  if (!pending_.empty()) flushChunk();
  closeVolume();
  uint8_t end[8];
  put64(end, dataPos_ + 8 + dataBytes_);  // the true end: a split archive needs it
  first_->rewrite(dataPos_, end, 8);
  first_->close();
  ok_ = ok_ && first_->ok();
  // Only a complete archive takes the place of the files of that name, the volumes first.
  for (auto& v : closed_) ok_ = ok_ && v->commit();
  ok_ = ok_ && first_->commit();
  return ok_ ? total_ + first_->bytes() : 0;
}

void ArchiveWriter::abandon() {
  first_.reset();  // each file removes what it wrote; the files of that name stay as they were
  vol_.reset();
  closed_.clear();
}

}  // namespace qn::zip
