// Tree walk: the command line's paths as the archive's directory list and file records.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// A stable order; what the index cannot carry is skipped with a warning.
namespace qn::zip {

struct SourceFile {
  std::string name;  // file name as stored
  std::string dir;   // its directory relative to the archive root ("" for the root)
  std::string src;   // where to read it
  uint64_t size = 0;
  int64_t mtime = 0;
};

struct SourceTree {
  std::vector<std::string> dirs;   // "" first, then parents before children
  std::vector<SourceFile> files;   // in archive order
  int skipped = 0;                 // paths skipped with a warning
};

// Longest relative full name (directory, "/", name) we store: the decompressor cuts full
// names at 256 bytes, and 64 bytes are left for the destination prefix.
inline constexpr size_t kMaxRelName = 192;

// True when a name (or a directory path) can be carried by the index: no "<", LF, CR or
// byte 255, and short enough for its index line.
bool nameFits(const std::string& s);

// Walks the paths. A directory argument is stored under its own base name (its contents at
// the root when the argument is "." or "/"), a file argument at the root. Inside a
// directory the files come first, in byte order of their names, then the subdirectories,
// each walked the same way.
// Files that are the archive being written (archive, "archive.N") are skipped with a warning.
SourceTree walkPaths(const std::vector<std::string>& paths, const std::string& archive = "");

}  // namespace qn::zip
