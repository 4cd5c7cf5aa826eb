// Index document: written from a tree, or read as the decompressor reads it, into a plan.
#include "quarnzip/index_xml.h"

#include <cstdio>
#include <cstring>

#include <sys/types.h>

#include "core/index_xml.h"
#include "quarnzip/report.h"

namespace qn::zip {
namespace {


std::string hex(uint64_t v) {
  char b[24];
  std::snprintf(b, sizeof b, "%llx", static_cast<unsigned long long>(v));
  return b;
}

using core::xmlElement;

// The document's lines as the decompressor reads them: only lines that begin with "<",
// none once fewer than 3 bytes are left.
class Lines {
 public:
  explicit Lines(const std::string& t)
      : size_(static_cast<int64_t>(t.size())),
        fp_(t.empty() ? nullptr : fmemopen(const_cast<char*>(t.data()), t.size(), "rb")), own_(true) {}
  // A document of size bytes read from fp's position on; fp stays the caller's.
  Lines(FILE* fp, int64_t size) : size_(size), fp_(fp), own_(false) {}
  ~Lines() {
    if (fp_ && own_) std::fclose(fp_);
  }
  Lines(const Lines&) = delete;
  Lines& operator=(const Lines&) = delete;

  // Next line that begins with "<"; false at the end of the document.
  bool next(std::string& line) {
    char buf[core::kXmlLine + core::kLineSpare];
    for (;;) {
      if (!fp_ || ftello(fp_) > size_ - 3) return false;
      core::getLine(fp_, buf, core::kXmlLine);
      line = buf;
      if (!line.empty() && line[0] == '<') return true;
    }
  }

 private:
  int64_t size_;
  FILE* fp_;
  bool own_;
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
  block(in, "/parameter>", [&](const std::string& line) {
    for (const auto& c : core::kParamElements)
      if (starts(line, c.name)) {
        plan.param[c.slot] = static_cast<uint32_t>(numValue(line, 10));
        return;
      }
  });
}

void fileRecord(Lines& in, const std::string& sourceDir, const ItemSink& sink) {
  std::string name, path;
  PlanItem f;
  block(in, "/file>", [&](const std::string& line) {
    if (starts(line, "name")) name = textValue(line);
    else if (starts(line, "path")) path = textValue(line);
    else if (starts(line, "size")) f.size = numValue(line, 10);
    else if (starts(line, "time")) f.time = numValue(line, 16);
  });
  f.entry = path.empty() ? name : path + "/" + name;
  std::string dir = sourceDir.empty() ? "." : sourceDir;
  f.src = dir + "/" + f.entry;
  sink(std::move(f));
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
  xmlElement(x, "    ", "version", core::kIndexVersion);
  xmlElement(x, "    ", "files", std::to_string(t.files.size()));
  xmlElement(x, "    ", "size", std::to_string(total));
  xmlElement(x, "    ", "time", hex(static_cast<uint64_t>(now)));
  x += "  </zip>\n  <parameter>\n";
  for (const auto& s : core::kParamElements) xmlElement(x, "    ", s.name, std::to_string(param[s.slot]));
  x += "  </parameter>\n";
  xmlElement(x, "  ", "column", std::to_string(param[core::kColumn]));
  x += "  <directory>\n";
  for (const std::string& d : t.dirs) xmlElement(x, "    ", "path", d);
  x += "  </directory>\n";
  for (const SourceFile& f : t.files) {
    x += "  <file>\n";
    xmlElement(x, "    ", "name", f.name);
    xmlElement(x, "    ", "size", std::to_string(f.size));
    xmlElement(x, "    ", "time", hex(static_cast<uint64_t>(f.mtime)));
    xmlElement(x, "    ", "path", f.dir);
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
  col.count = param[core::kColumn];
  p.items.push_back(col);
  for (const SourceFile& f : t.files) {
    PlanItem i;
    i.size = f.size;
    i.src = f.src;
    p.items.push_back(std::move(i));
  }
  return p;
}

namespace {

// The records and column lines of a document, in order, to sink; the parameters into plan.
void readItems(Lines& in, IndexPlan& plan, const std::string& sourceDir, const ItemSink& sink) {
  std::memcpy(plan.param, core::kParamDefaults, sizeof plan.param);
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
      plan.param[core::kColumn] = c.count;
      sink(std::move(c));
    } else if (starts(line, "directory")) {
      block(in, "/directory>", [](const std::string&) {});
    } else if (starts(line, "file")) {
      fileRecord(in, sourceDir, sink);
    }
  }
}

}  // namespace

IndexPlan planFromIndex(const std::string& text, const std::string& sourceDir) {
  IndexPlan plan;
  Lines in(text);
  readItems(in, plan, sourceDir, [&](PlanItem&& i) { plan.items.push_back(std::move(i)); });
  return plan;
}

IndexPlan scanIndex(FILE* fp, int64_t size, const ItemSink& sink) {
  IndexPlan plan;
  Lines in(fp, size);
  readItems(in, plan, "", sink);
  return plan;
}

}  // namespace qn::zip
