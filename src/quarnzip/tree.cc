// Tree walk: the command line's paths as the archive's directory list and file records.
#include "quarnzip/tree.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <set>

#include "core/params.h"
#include "quarnzip/report.h"

namespace qn::zip {
namespace {

constexpr size_t kLineLimit = 512;
constexpr size_t kTagBytes = 13;  // "<name>" + "</name>" around a value on its line

std::string joinRel(const std::string& dir, const std::string& name) {
  return dir.empty() ? name : dir + "/" + name;
}

// The canonical directory and the base name of a path (the directory need not hold the file).
std::pair<std::string, std::string> canonical(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  char buf[PATH_MAX];
  return {realpath(dir.c_str(), buf) ? std::string(buf) : dir, base};
}

// True for "name" and "name.N" (N decimal digits).
bool isArchiveName(const std::string& base, const std::string& archive) {
  if (base.compare(0, archive.size(), archive) != 0) return false;
  if (base.size() == archive.size()) return true;
  if (base[archive.size()] != '.' || base.size() == archive.size() + 1) return false;
  for (size_t i = archive.size() + 1; i < base.size(); ++i)
    if (base[i] < '0' || base[i] > '9') return false;
  return true;
}

class Walker {
 public:
  Walker(SourceTree& t, const std::string& archive) : t_(t) {
    if (!archive.empty()) archive_ = canonical(archive);
  }

  // One entry named rel (archive path) found at src.
  void entry(const std::string& src, const std::string& dir, const std::string& name) {
    std::string rel = joinRel(dir, name);
    struct stat st {};
    if (lstat(src.c_str(), &st) != 0) return fail(txt::kZipFailStat, src);
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return fail(txt::kZipSkipType, src);
    if (!nameFits(name) || rel.size() > kMaxRelName) return fail(txt::kZipSkipName, src);
    if (!seen_.insert(rel).second) return fail(txt::kZipSkipTwice, src);
    if (S_ISREG(st.st_mode) && isArchive(src)) return fail(txt::kZipSkipArchive, src);
    if (S_ISDIR(st.st_mode)) {
      t_.dirs.push_back(rel);
      return directory(src, rel);
    }
    SourceFile f;
    f.name = name;
    f.dir = dir;
    f.src = src;
    f.size = static_cast<uint64_t>(st.st_size);
    f.mtime = st.st_mtime < 0 ? 0 : st.st_mtime;
    t_.files.push_back(std::move(f));
  }

  // The contents of a directory: files first, then subdirectories, each in byte order.
  void directory(const std::string& src, const std::string& rel) {
    DIR* d = opendir(src.c_str());
    if (!d) return fail(txt::kZipFailStat, src);
    std::vector<std::string> names;
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    std::string base = src.empty() || src.back() == '/' ? src : src + "/";
    std::vector<std::string> subdirs;
    for (const std::string& n : names) {
      struct stat st {};
      if (lstat((base + n).c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        subdirs.push_back(n);
      else
        entry(base + n, rel, n);
    }
    for (const std::string& n : subdirs) entry(base + n, rel, n);
  }

 private:
  void fail(const core::Text& t, const std::string& src) {
    errf(t, src.c_str());
    ++t_.skipped;
  }

  bool isArchive(const std::string& src) const {
    if (archive_.second.empty()) return false;
    size_t slash = src.rfind('/');
    std::string base = slash == std::string::npos ? src : src.substr(slash + 1);
    if (!isArchiveName(base, archive_.second)) return false;  // cheap test first
    return canonical(src).first == archive_.first;
  }

  SourceTree& t_;
  std::set<std::string> seen_;
  std::pair<std::string, std::string> archive_;
};

// The base name of a path argument; "" when its contents belong at the root.
std::string topName(std::string p) {
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  size_t slash = p.rfind('/');
  std::string base = slash == std::string::npos ? p : p.substr(slash + 1);
  return base == "." || base == ".." || base.empty() ? "" : base;
}

}  // namespace

bool nameFits(const std::string& s) {
  if (s.size() + kTagBytes > kLineLimit) return false;
  for (unsigned char c : s)
    if (c == '<' || c == '\n' || c == '\r' || c == 255) return false;
  return true;
}

SourceTree walkPaths(const std::vector<std::string>& paths, const std::string& archive) {
  SourceTree t;
  t.dirs.push_back("");
  Walker w(t, archive);
  for (const std::string& p : paths) {
    std::string top = topName(p);
    struct stat st {};
    if (top.empty() && lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
      w.directory(p, "");
    else
      w.entry(p, "", top.empty() ? p : top);
  }
  return t;
}

}  // namespace qn::zip
