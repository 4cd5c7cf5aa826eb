// Archive writer: the 16-byte header, the two streams cut into checked chunks, the
// data-stream end field, and the split into volume files as the reader counts them.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace qn::zip {

inline constexpr uint32_t kChunkBytes = 0x200000;          // stored chunk: payload + sum
inline constexpr uint32_t kChunkPayload = kChunkBytes - 8;

// Number of chunks a stream of n coded bytes (a multiple of 8) is stored in.
uint64_t chunkCount(uint64_t n);

// The file (0 = the archive itself, k = "ARCHIVE.k") of each data chunk. The reader counts
// 2 MiB per chunk read, index chunks included, and switches files only in the data pass,
// before a chunk, once the count has reached the volume size.
std::vector<uint32_t> dataChunkFiles(uint64_t indexChunks, uint64_t dataChunks, uint32_t volumeMiB);

// Chunk check: the sum of the payload's 64-bit little-endian words, modulo 2^64.
uint64_t chunkSum(const uint8_t* p, uint64_t n);

// Writes the archive and its volume files; returns the number of bytes written in all, or
// 0 after reporting a write failure.
uint64_t writeArchive(const std::string& path, uint32_t volumeMiB, uint32_t indexLength,
                      bool password, const std::vector<uint8_t>& indexStream,
                      const std::vector<uint8_t>& dataStream);

}  // namespace qn::zip
