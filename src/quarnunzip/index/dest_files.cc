// Destination files: the index parser getWriteFile reads the index a batch at a time, takes
// the archive's parameters, creates the directories and files and fills the file table.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cstdint>
#include <cstring>

#include "container/container.h"
#include "core/index_xml.h"
#include "frontend/frontend.h"
#include "index/index.h"

namespace qn::idx {

namespace {

constexpr int kLineBuf = kXmlLine + 8;   // what getLine asks of a buffer
constexpr size_t kNameMax = 256;         // names and paths are cut at 256 bytes

enum class Step { kGoOn, kBatch, kEnd };   // read on, return 1, return 0

bool startsWith(const char* line, const char* key) {
  return std::strncmp(line, key, std::strlen(key)) == 0;
}

// Appends src to the text in dst, the whole cut at 256 bytes.
void appendCut(char* dst, const char* src) {
  size_t len = std::strlen(dst);
  while (*src && len < kNameMax) dst[len++] = *src++;
  dst[len] = '\0';
}

// Reads the lines of a block up to its closing line; a line that onChild does not take is
// reported. False when the index ends inside the block.
template <class F>
bool readBlock(char* line, const char* closing, F onChild) {
  for (;;) {
    getXmlLine(line);
    if (!line[0]) return false;
    if (startsWith(line, closing)) return true;
    if (!onChild(line)) errXml(line);
  }
}

// ---- Archive and parameter blocks ----

void setVersion(const char* value) {
  std::memset(zipVer, 0, sizeof zipVer);
  std::strncpy(zipVer, value, 4);
  uint64_t number = 0;
  for (const char* p = zipVer[0] ? zipVer + 1 : zipVer; *p >= '0' && *p <= '9'; ++p)
    number = number * 10 + static_cast<uint64_t>(*p - '0');
  if (number != ctr::kVersion) fe::errf(txt::kXmlVersion, zipVer, static_cast<int>(ctr::kVersion));
}

bool readZip(char* line) {
  return readBlock(line, "</zip>", [](char* l) {
    if (startsWith(l, "<version")) {
      setVersion(getXmlStr(l));
    } else if (startsWith(l, "<files")) {
      iFiles = static_cast<int32_t>(getXmlInt(l));
    } else if (startsWith(l, "<size")) {
      ctr::fLen = getXmlInt(l);
      ctr::d = 100.0 / static_cast<double>(ctr::fLen);
    } else {
      return startsWith(l, "<time");
    }
    return true;
  });
}

bool readParameter(char* line) {
  return readBlock(line, "</parameter>", [](char* l) {
    for (const core::ParamElement& k : core::kParamElements) {
      if (l[0] != '<' || !startsWith(l + 1, k.name)) continue;
      fe::param[k.slot] = static_cast<uint32_t>(getXmlInt(l));
      return true;
    }
    return false;
  });
}

// ---- Extraction safety ----

// True when text has a ".." component ("/" separates components).
bool hasDotDot(const char* text) {
  for (const char* p = text;;) {
    const char* end = std::strchr(p, '/');
    const size_t len = end ? static_cast<size_t>(end - p) : std::strlen(p);
    if (len == 2 && p[0] == '.' && p[1] == '.') return true;
    if (!end) return false;
    p = end + 1;
  }
}

// True when an existing component of full below the destination (the first baseLen bytes)
// is a symbolic link: the final location would then lie wherever the link points.
bool crossesSymlink(const char* full, size_t baseLen) {
  char probe[kNameMax + 4];
  const size_t len = std::strlen(full);
  for (size_t i = baseLen + 1; i <= len; ++i) {
    if ((i < len && full[i] != '/') || full[i - 1] == '/') continue;
    std::memcpy(probe, full, i);
    probe[i] = '\0';
    struct stat st;
    if (lstat(probe, &st) != 0) return false;   // nothing deeper exists to lead elsewhere
    if (S_ISLNK(st.st_mode)) return true;
  }
  return false;
}

// A name or path that is absolute, climbs with "..", or passes a symbolic link inside the
// destination would put a file or directory outside it.
bool unsafePath(const char* path, const char* name, const char* full) {
  const size_t baseLen = std::strlen(fe::sBaseDir);
  if (path[0] == '/' || name[0] == '/') return true;
  if (hasDotDot(path) || hasDotDot(name) || hasDotDot(full + baseLen)) return true;
  return !bCheckOnly && crossesSymlink(full, baseLen);   // a check makes nothing to cross
}

// ---- Directories ----

// The destination's own levels: all of an absolute one; below the first component otherwise.
void makeBaseLevels() {
  if (bCheckOnly) return;
  const char* base = fe::sBaseDir;
  bool skipFirst = base[0] != '/';
  char level[fe::kPathBuf];
  for (size_t i = 1; base[i]; ++i) {
    if (base[i] != '/') continue;
    if (skipFirst) {
      skipFirst = false;
      continue;
    }
    std::memcpy(level, base, i);
    level[i] = '\0';
    mkdir(level, 0755);   // a level that exists already fails harmlessly
  }
}

void makeListedDir(const char* value) {
  char full[kNameMax + 4] = "";
  appendCut(full, fe::sBaseDir);
  appendCut(full, value);
  if (unsafePath(value, "", full)) {
    fe::errf(txt::kUnsafePath, full);
    return;
  }
  if (!bCheckOnly) mkdir(full, 0755);
}

bool readDirectory(char* line) {
  makeBaseLevels();
  return readBlock(line, "</directory>", [](char* l) {
    if (!startsWith(l, "<path")) return false;
    makeListedDir(getXmlStr(l));
    return true;
  });
}

// ---- File records ----

// Destination, path, a "/" when the two are not empty, then the name; at most 256 bytes.
void formName(char* out, const char* path, const char* name) {
  out[0] = '\0';
  appendCut(out, fe::sBaseDir);
  appendCut(out, path);
  const size_t len = std::strlen(out);
  if (len >= kNameMax) {
    out[kNameMax - 1] = '/';
  } else if (len > 0) {
    out[len] = '/';
    out[len + 1] = '\0';
  }
  appendCut(out, name);
}

void openNull(FileRec& rec) {
  rec.fp = std::fopen("/dev/null", "wb");
  rec.toNull = true;
}

// Creates the record's file anew; an unsafe or failing one writes into /dev/null. A file of
// that name is removed first, never written into: it may be a hard link to a file outside
// the destination. A symbolic link there is left alone, and the exclusive create then fails.
void openRecord(FileRec& rec, const char* path, const char* name) {
  if (unsafePath(path, name, rec.sName)) {
    fe::errf(txt::kUnsafePath, rec.sName);
    openNull(rec);
    return;
  }
  if (bCheckOnly) {   // the bytes are counted against the record and go nowhere
    rec.toNull = true;
    return;
  }
  struct stat st {};
  if (lstat(rec.sName, &st) == 0 && !S_ISLNK(st.st_mode)) unlink(rec.sName);
  const int fd = open(rec.sName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  rec.fp = fd >= 0 ? fdopen(fd, "wb") : nullptr;
  if (rec.fp) return;
  if (fd >= 0) close(fd);
  fe::errf(txt::kFailCreateFile, rec.sName);
  openNull(rec);
}

// Sizes of 2^63 and more cannot be counted down in lenLeft: such a file is never complete.
int64_t sizeValue(uint64_t v) { return v > INT64_MAX ? INT64_MAX : static_cast<int64_t>(v); }

int32_t batchLimit() {
  return (fe::iColumn >= 1 && fe::iColumn <= kMaxFiles) ? fe::iColumn : kMaxFiles;
}

Step readFileRecord(char* line) {
  FileRec& rec = arrFile[iCol];
  rec = FileRec{};
  char name[kNameMax + 4] = "";
  char path[kNameMax + 4] = "";
  const bool closed = readBlock(line, "</file>", [&](char* l) {
    if (startsWith(l, "<name")) {
      name[0] = '\0';
      appendCut(name, getXmlStr(l));
    } else if (startsWith(l, "<path")) {
      path[0] = '\0';
      appendCut(path, getXmlStr(l));
    } else if (startsWith(l, "<size")) {
      rec.lenLeft = sizeValue(getXmlInt(l));
    } else if (startsWith(l, "<time")) {
      rec.tFile = static_cast<int64_t>(getXmlHex(l));
    } else {
      return false;
    }
    return true;
  });
  if (!closed) return Step::kEnd;
  formName(rec.sName, path, name);
  openRecord(rec, path, name);
  ++fe::iTagGet;
  if (rec.lenLeft == 0) {   // complete already; the slot stays free
    closeRecord(rec);
    return Step::kGoOn;
  }
  ++iCol;
  return iCol >= batchLimit() ? Step::kBatch : Step::kGoOn;
}

Step readColumn(char* line) {
  const uint64_t v = getXmlInt(line);
  fe::iColumn = static_cast<int32_t>(v);
  fe::param[fe::kColumn] = static_cast<uint32_t>(v);
  return iCol != 0 ? Step::kBatch : Step::kGoOn;   // the new count applies to the next batch
}

Step topLevel(char* line) {
  if (startsWith(line, "<?xml") || startsWith(line, "<!--") || startsWith(line, "<index"))
    return Step::kGoOn;
  if (startsWith(line, "</index>")) return iCol != 0 ? Step::kBatch : Step::kEnd;
  if (startsWith(line, "<zip")) return readZip(line) ? Step::kGoOn : Step::kEnd;
  if (startsWith(line, "<parameter")) return readParameter(line) ? Step::kGoOn : Step::kEnd;
  if (startsWith(line, "<column")) return readColumn(line);
  if (startsWith(line, "<directory")) return readDirectory(line) ? Step::kGoOn : Step::kEnd;
  if (startsWith(line, "<file")) return readFileRecord(line);
  errXml(line);
  return Step::kGoOn;
}

}  // namespace

void closeRecord(FileRec& rec) {
  if (rec.fp) std::fclose(rec.fp);
  rec.fp = nullptr;
  if (rec.toNull) return;
  const utimbuf times{static_cast<time_t>(rec.tFile), static_cast<time_t>(rec.tFile)};
  utime(rec.sName, &times);   // a failure is not reported
}

int32_t getWriteFile() {
  char line[kLineBuf];
  for (;;) {
    getXmlLine(line);
    if (!line[0]) return 0;
    const Step step = topLevel(line);
    if (step == Step::kBatch) return 1;
    if (step == Step::kEnd) return 0;
  }
}

}  // namespace qn::idx
