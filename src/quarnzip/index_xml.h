// Index document: written from a tree, or read as the decompressor reads it, into a plan.
#pragma once
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "quarnzip/tree.h"

// The plan is the order of file records and column lines that the data stream follows.
namespace qn::zip {

// One step of the record order the decompressor follows: a file record or a column line.
struct PlanItem {
  bool column = false;   // a column line: count applies from the next batch
  uint32_t count = 0;    // its column count
  uint64_t size = 0;     // file record: bytes of the data stream that belong to it
  std::string src;       // file record: where the compressor reads them
  std::string entry;     // file record: its path and name as the index states them
  uint64_t time = 0;     // file record: modification time, seconds since the epoch
};

struct IndexPlan {
  uint32_t param[11];            // the parameters the index states (defaults elsewhere)
  std::vector<PlanItem> items;   // in document order
  uint64_t totalSize() const;
};

// The index XML text for a tree with the given parameters and creation time.
std::string writeIndex(const SourceTree& t, const uint32_t param[11], int64_t now);
// The plan of a tree written by writeIndex: its files in order, one column line first.
IndexPlan planFromTree(const SourceTree& t, const uint32_t param[11]);
// Reads a hand-written index as the decompressor's reader would (line rules, keywords,
// values, column lines); file sources are sourceDir/path/name.
IndexPlan planFromIndex(const std::string& text, const std::string& sourceDir);
// The same reading of the size bytes at fp's position, each record and column line handed
// to sink as it closes instead of kept: an index of any length in little memory. The
// returned plan holds the parameters only.
using ItemSink = std::function<void(PlanItem&&)>;
IndexPlan scanIndex(FILE* fp, int64_t size, const ItemSink& sink);

}  // namespace qn::zip
