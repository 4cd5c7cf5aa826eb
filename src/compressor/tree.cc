// Tree walk: turns the command line's paths into the directory list and the file records
// of an archive, in a stable order, skipping what the index cannot carry.
#include "compressor/tree.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <set>

#include "frontend/frontend.h"

namespace qn::zip {
namespace {

constexpr size_t kLineLimit = 512;
constexpr size_t kTagBytes = 13;  // "<name>" + "</name>" around a value on its line

std::string joinRel(const std::string& dir, const std::string& name) {
  return dir.empty() ? name : dir + "/" + name;
}

class Walker {
 public:
  explicit Walker(SourceTree& t) : t_(t) {}

  // One entry named rel (archive path) found at src.
  void entry(const std::string& src, const std::string& dir, const std::string& name) {
    std::string rel = joinRel(dir, name);
    struct stat st {};
    if (lstat(src.c_str(), &st) != 0) return fail(txt::kZipFailStat, src);
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return fail(txt::kZipSkipType, src);
    if (!nameFits(name) || rel.size() > kMaxRelName) return fail(txt::kZipSkipName, src);
    if (!seen_.insert(rel).second) return fail(txt::kZipSkipTwice, src);
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
  void fail(const fe::Text& t, const std::string& src) {
    fe::errf(t, src.c_str());
    ++t_.skipped;
  }

  SourceTree& t_;
  std::set<std::string> seen_;
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

SourceTree walkPaths(const std::vector<std::string>& paths) {
  SourceTree t;
  t.dirs.push_back("");
  Walker w(t);
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
