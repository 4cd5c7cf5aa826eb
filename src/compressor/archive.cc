// Archive writer: the 16-byte header, the two streams cut into checked chunks, the
// data-stream end field, and the split into volume files as the reader counts them.
#include "compressor/archive.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "frontend/frontend.h"

namespace qn::zip {
namespace {

void put64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

class Out {
 public:
  explicit Out(std::string name) : name_(std::move(name)), fp_(std::fopen(name_.c_str(), "wb")) {
    if (!fp_) fail();
  }
  ~Out() { close(); }
  void write(const void* p, uint64_t n) {
    if (fp_ && std::fwrite(p, 1, n, fp_) != n) fail();
    bytes_ += n;
  }
  // One stored chunk: payload and its sum.
  void chunk(const uint8_t* p, uint64_t n) {
    uint8_t sum[8];
    put64(sum, chunkSum(p, n));
    write(p, n);
    write(sum, 8);
  }
  void close() {
    if (fp_ && std::fclose(fp_) != 0) ok_ = false;
    fp_ = nullptr;
  }
  bool ok() const { return ok_; }
  uint64_t bytes() const { return bytes_; }

 private:
  void fail() {
    if (ok_) fe::errf(txt::kZipFailWrite, name_.c_str());
    ok_ = false;
  }
  std::string name_;
  FILE* fp_;
  bool ok_ = true;
  uint64_t bytes_ = 0;
};

}  // namespace

uint64_t chunkCount(uint64_t n) { return n == 0 ? 0 : (n + kChunkPayload - 1) / kChunkPayload; }

uint64_t chunkSum(const uint8_t* p, uint64_t n) {
  uint64_t s = 0;
  for (uint64_t i = 0; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);  // little-endian host
    s += w;
  }
  return s;
}

std::vector<uint32_t> dataChunkFiles(uint64_t indexChunks, uint64_t dataChunks, uint32_t volumeMiB) {
  std::vector<uint32_t> files;
  uint32_t count = static_cast<uint32_t>(2 * indexChunks);  // the index pass never switches
  uint32_t file = 0;
  for (uint64_t i = 0; i < dataChunks; ++i) {
    if (volumeMiB != 0 && count >= volumeMiB) {
      ++file;
      count = 0;
    }
    files.push_back(file);
    count += 2;
  }
  return files;
}

uint64_t writeArchive(const std::string& path, uint32_t volumeMiB, uint32_t indexLength,
                      bool password, const std::vector<uint8_t>& indexStream,
                      const std::vector<uint8_t>& dataStream) {
  uint64_t idxChunks = chunkCount(indexStream.size());
  uint64_t datChunks = chunkCount(dataStream.size());
  uint64_t dataPos = 16 + indexStream.size() + 8 * idxChunks;
  uint64_t dataEnd = dataPos + 8 + dataStream.size() + 8 * datChunks;

  uint8_t head[16] = {0xA5, 4, static_cast<uint8_t>(password ? 1 : 0), 0};
  for (int i = 0; i < 4; ++i) head[4 + i] = static_cast<uint8_t>(indexLength >> (8 * i));
  put64(head + 8, dataPos);

  Out first(path);
  first.write(head, 16);
  for (uint64_t i = 0; i < idxChunks; ++i) {
    uint64_t at = i * kChunkPayload;
    first.chunk(indexStream.data() + at, std::min<uint64_t>(kChunkPayload, indexStream.size() - at));
  }
  uint8_t end[8];
  put64(end, dataEnd);  // the true end: a split archive needs it
  first.write(end, 8);

  std::vector<uint32_t> files = dataChunkFiles(idxChunks, datChunks, volumeMiB);
  bool ok = true;
  uint64_t total = 0;
  std::unique_ptr<Out> vol;
  auto closeVolume = [&] {
    if (!vol) return;
    vol->close();
    ok = ok && vol->ok();
    total += vol->bytes();
    vol.reset();
  };
  for (uint64_t i = 0; i < datChunks; ++i) {
    if (files[i] != 0 && (i == 0 || files[i] != files[i - 1])) {
      closeVolume();
      vol = std::make_unique<Out>(path + "." + std::to_string(files[i]));
    }
    uint64_t at = i * kChunkPayload;
    (vol ? *vol : first).chunk(dataStream.data() + at,
                               std::min<uint64_t>(kChunkPayload, dataStream.size() - at));
  }
  closeVolume();
  first.close();
  ok = ok && first.ok();
  return ok ? total + first.bytes() : 0;
}

}  // namespace qn::zip
