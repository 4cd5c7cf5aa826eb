// Index document: written from a tree, or read as the decompressor reads it, into a plan.
#include "compressor/index_xml.h"

#include <cstdio>
#include <cstring>

#include "frontend/frontend.h"

namespace qn::zip {
namespace {

constexpr uint32_t kDefaults[11] = {32, 0, 4, 64, 1, 63, 5, 4, 20, 6, 0};
constexpr size_t kLineLimit = 512;

std::string hex(uint64_t v) {
  char b[24];
  std::snprintf(b, sizeof b, "%llx", static_cast<unsigned long long>(v));
  return b;
}

void element(std::string& out, const char* indent, const char* tag, const std::string& v) {
  out += indent;
  out += "<";
  out += tag;
  out += ">";
  out += v;
  out += "</";
  out += tag;
  out += ">\n";
}

// Line reader over the document, with the decompressor's rules: blanks and line ends before
// a line are skipped, a line ends at LF, CR, the end or a byte 255, and after 512 stored bytes
// at any byte outside 128..254 (which is consumed).
class Lines {
 public:
  explicit Lines(const std::string& t) : t_(t) {}

  // Next line that begins with "<"; false at the end of the document.
  bool next(std::string& line) {
    for (;;) {
      if (static_cast<int64_t>(pos_) > static_cast<int64_t>(t_.size()) - 3) return false;
      read(line);
      if (!line.empty() && line[0] == '<') return true;
    }
  }

 private:
  void read(std::string& line) {
    line.clear();
    while (pos_ < t_.size() && (t_[pos_] == '\n' || t_[pos_] == '\r' || t_[pos_] == ' ')) ++pos_;
    while (pos_ < t_.size()) {
      unsigned char c = static_cast<unsigned char>(t_[pos_++]);
      if (c == '\n' || c == '\r' || c == 255) return;
      if (line.size() >= kLineLimit && (c < 128 || c > 254)) return;
      line += static_cast<char>(c);
    }
  }

  const std::string& t_;
  size_t pos_ = 0;
};

bool starts(const std::string& line, const char* kw) {
  return line.compare(1, std::strlen(kw), kw) == 0;
}

// Value after the first ">" up to the next "<" (text), as the decompressor's parsers take it.
std::string textValue(const std::string& line) {
  size_t gt = line.find('>', 1);
  if (gt == std::string::npos) return "";
  size_t lt = line.find('<', gt + 1);
  return line.substr(gt + 1, lt == std::string::npos ? std::string::npos : lt - gt - 1);
}

uint64_t numValue(const std::string& line, unsigned base) {
  uint64_t v = 0;
  size_t gt = line.find('>', 1);
  if (gt == std::string::npos) return 0;
  for (size_t i = gt + 1; i < line.size(); ++i) {
    char c = line[i];
    unsigned d;
    if (c >= '0' && c <= '9') d = static_cast<unsigned>(c - '0');
    else if (base == 16 && c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
    else if (base == 16 && c >= 'A' && c <= 'F') d = static_cast<unsigned>(c - 'A' + 10);
    else break;
    v = v * base + d;
  }
  return v;
}

// Reads a block's lines up to its closing line; each child line goes to fn.
template <class Fn>
void block(Lines& in, const char* close, Fn fn) {
  std::string line;
  while (in.next(line) && !starts(line, close)) fn(line);
}

void parameterBlock(Lines& in, IndexPlan& plan) {
  static constexpr struct { const char* kw; int slot; } kChildren[] = {
      {"block", fe::kBlock}, {"bwt", fe::kBwt},   {"cache", fe::kCache}, {"cluster", fe::kCluster},
      {"esc", fe::kEsc},     {"flush", fe::kFlush}, {"sight", fe::kSight}, {"volume", fe::kVolume},
  };
  block(in, "/parameter>", [&](const std::string& line) {
    for (const auto& c : kChildren)
      if (starts(line, c.kw)) {
        plan.param[c.slot] = static_cast<uint32_t>(numValue(line, 10));
        return;
      }
  });
}

void fileRecord(Lines& in, IndexPlan& plan, const std::string& sourceDir) {
  std::string name, path;
  PlanItem f;
  block(in, "/file>", [&](const std::string& line) {
    if (starts(line, "name")) name = textValue(line);
    else if (starts(line, "path")) path = textValue(line);
    else if (starts(line, "size")) f.size = numValue(line, 10);
  });
  std::string dir = sourceDir.empty() ? "." : sourceDir;
  f.src = dir + "/" + (path.empty() ? name : path + "/" + name);
  plan.items.push_back(std::move(f));
}

}  // namespace

uint64_t IndexPlan::totalSize() const {
  uint64_t s = 0;
  for (const PlanItem& i : items) s += i.column ? 0 : i.size;
  return s;
}

std::string writeIndex(const SourceTree& t, const uint32_t param[11], int64_t now) {
  uint64_t total = 0;
  for (const SourceFile& f : t.files) total += f.size;
  std::string x = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<index>\n  <zip>\n";
  element(x, "    ", "version", "v4");
  element(x, "    ", "files", std::to_string(t.files.size()));
  element(x, "    ", "size", std::to_string(total));
  element(x, "    ", "time", hex(static_cast<uint64_t>(now)));
  x += "  </zip>\n  <parameter>\n";
  static constexpr struct { const char* kw; int slot; } kSlots[] = {
      {"block", fe::kBlock}, {"bwt", fe::kBwt},   {"cache", fe::kCache}, {"cluster", fe::kCluster},
      {"esc", fe::kEsc},     {"flush", fe::kFlush}, {"sight", fe::kSight}, {"volume", fe::kVolume},
  };
  for (const auto& s : kSlots) element(x, "    ", s.kw, std::to_string(param[s.slot]));
  x += "  </parameter>\n";
  element(x, "  ", "column", std::to_string(param[fe::kColumn]));
  x += "  <directory>\n";
  for (const std::string& d : t.dirs) element(x, "    ", "path", d);
  x += "  </directory>\n";
  for (const SourceFile& f : t.files) {
    x += "  <file>\n";
    element(x, "    ", "name", f.name);
    element(x, "    ", "size", std::to_string(f.size));
    element(x, "    ", "time", hex(static_cast<uint64_t>(f.mtime)));
    element(x, "    ", "path", f.dir);
    x += "  </file>\n";
  }
  x += "</index>\n";
  return x;
}

IndexPlan planFromTree(const SourceTree& t, const uint32_t param[11]) {
  IndexPlan p;
  std::memcpy(p.param, param, sizeof p.param);
  PlanItem col;
  col.column = true;
  col.count = param[fe::kColumn];
  p.items.push_back(col);
  for (const SourceFile& f : t.files) {
    PlanItem i;
    i.size = f.size;
    i.src = f.src;
    p.items.push_back(std::move(i));
  }
  return p;
}

IndexPlan planFromIndex(const std::string& text, const std::string& sourceDir) {
  IndexPlan plan;
  std::memcpy(plan.param, kDefaults, sizeof plan.param);
  Lines in(text);
  std::string line;
  while (in.next(line)) {
    if (starts(line, "/index>")) break;
    if (starts(line, "zip")) {
      block(in, "/zip>", [](const std::string&) {});
    } else if (starts(line, "parameter")) {
      parameterBlock(in, plan);
    } else if (starts(line, "column")) {
      PlanItem c;
      c.column = true;
      c.count = static_cast<uint32_t>(numValue(line, 10));
      plan.param[fe::kColumn] = c.count;
      plan.items.push_back(c);
    } else if (starts(line, "directory")) {
      block(in, "/directory>", [](const std::string&) {});
    } else if (starts(line, "file")) {
      fileRecord(in, plan, sourceDir);
    }
  }
  return plan;
}

}  // namespace qn::zip
