// Archive writer: header, checked chunks, data-stream end field and volume files.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/checksum.h"
#include "core/format.h"

// Volume files are cut where the reader, counting 2 MiB per chunk, switches files.
namespace qn::zip {

using core::kChunkPayload;

// Number of chunks a stream of n coded bytes (a multiple of 8) is stored in.
uint64_t chunkCount(uint64_t n);

// The file (0 = the archive itself, k = "ARCHIVE.k") of each data chunk. The reader counts
// 2 MiB per chunk read, index chunks included, and switches files only in the data pass,
// before a chunk, once the count has reached the volume size.
std::vector<uint32_t> dataChunkFiles(uint64_t indexChunks, uint64_t dataChunks, uint32_t volumeMiB);

// Chunk check: the sum of the payload's 64-bit little-endian words, modulo 2^64.

// Counts chunks as the reader does and names the file each data chunk goes to.
class VolumeCounter {
 public:
  VolumeCounter(uint64_t indexChunks = 0, uint32_t volumeMiB = 0)
      : volume_(volumeMiB), count_(static_cast<uint32_t>(core::kVolumeMiBPerChunk * indexChunks)) {}
  uint32_t next();  // the file of the next data chunk

 private:
  uint32_t volume_, count_;
  uint32_t file_ = 0;
};

class Out;

// Writes an archive as its streams are made: the header and the index stream first, then
// the data stream in chunks as its bytes arrive (into volume files as the reader counts
// them), and at the end the data-stream end field. The files take their names only when
// finish() succeeds; until then (and after abandon() or a throw) any older archive stays.
// Without force, a file of one of those names is never replaced: the run fails instead.
class ArchiveWriter {
 public:
  ArchiveWriter(std::string path, uint32_t volumeMiB, bool force);
  ~ArchiveWriter();
  void begin(uint32_t indexLength, bool password, const std::vector<uint8_t>& indexStream);
  void data(const uint8_t* p, size_t n);
  // The last chunk and the end field; returns the bytes written in all, 0 after a failure
  // (already reported).
  uint64_t finish();
  // Removes what was written (a stream that must not be stored); an older archive stays.
  void abandon();
  bool ok() const;

 private:
  void flushChunk();
  void closeVolume();
  std::string path_;
  uint32_t volumeMiB_;
  bool force_;
  std::unique_ptr<Out> first_, vol_;
  std::vector<std::unique_ptr<Out>> closed_;  // volumes written, put in place by finish()
  uint32_t volNum_ = 0;
  VolumeCounter counter_;
  std::vector<uint8_t> pending_;
  uint64_t dataPos_ = 0, dataBytes_ = 0, total_ = 0;
  bool ok_ = true;
};

// On SIGINT, SIGTERM or SIGHUP the files being written are removed before the signal ends
// the process, as it would have.
void removeOnSignal();

}  // namespace qn::zip
