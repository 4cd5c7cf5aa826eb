// Archive compressor: codes the index and data streams and writes the archive.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "quarnzip/index_xml.h"
#include "quarnzip/lz.h"
#include "quarnzip/progress.h"

namespace qn::zip {

class StreamWriter;

// A stream's bytes, read in order (the index text, the rotation, the transformed blocks).
class ByteReader {
 public:
  virtual ~ByteReader() = default;
  virtual size_t read(uint8_t* dst, size_t n) = 0;
  // The start index that must precede the chunk at stream position pos, if any.
  virtual bool blockStart(uint64_t, uint64_t&) { return false; }
};

// Where a stream's coded bytes go as they are made (null: kept until the end).
using ByteSink = std::function<void(const uint8_t*, size_t)>;

// Codes one whole stream of exactly total bytes: filler head, the parse of each 1 MiB chunk
// (a block start index first where a block begins), an end of buffer after every full chunk,
// then the end code.
// Returns the coded bytes that were not handed to the sink. progress, if given, hears of the
// bytes read and written after every chunk.
std::vector<uint8_t> encodeStream(StreamWriter& w, ByteReader& in, uint64_t total,
                                  const LzConfig& cfg, bool resetInterval, unsigned endCode,
                                  const ByteSink& sink = nullptr, Progress* progress = nullptr);

// Sends a chunk's parse to the writer; long matches become several length fields, and a
// piece too short for its distance becomes literals.
void emitOps(StreamWriter& w, const std::vector<Op>& ops, const uint8_t* chunk, uint64_t& pos);

struct ArchiveJob {
  std::string archive;
  std::string indexText;      // the index stream's text, verbatim
  IndexPlan plan;             // files and column lines, parameters
  std::string password;       // empty: none
  int level = 6;
  int threads = 1;            // match finding threads of the data stream
  uint32_t pipes = 4, tails = 6;
  uint32_t key = 6;           // bytes the optimal parser's trees are keyed on
  bool force = false;         // replace existing files of the archive's names
  ProgressMode progress = ProgressMode::kAuto;
};

struct ArchiveResult {
  uint64_t inputBytes = 0, archiveBytes = 0;
  bool ok = false;
};

ArchiveResult compressArchive(const ArchiveJob& job);

}  // namespace qn::zip
