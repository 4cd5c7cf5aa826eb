// Test fixture of the index subsystem: a temporary working directory, an index file to read,
// the reports the error log received, and small file helpers.
#pragma once
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "container/container.h"
#include "driver/driver.h"
#include "frontend/frontend.h"
#include "driver/driver.h"
#include "index/index.h"

namespace qn::test {

class IndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qn_index_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    oldCwd_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
    fe::iLanguage = 2;   // English texts only, one report per log line
    fe::initPar();
    fe::loadPar();
    fe::iError = 0;
    fe::iTagGet = 0;
    fe::iTotalSize = 0;
    std::strcpy(fe::sFileXml, "idx.xml");
    std::strcpy(fe::sBaseDir, "out/");
    idx::iCol = 0;
    idx::iXmlLine = 0;
    idx::iFileCur = 0;
    idx::iFiles = 0;
  }

  void TearDown() override {
    for (int i = 0; i < idx::iCol; ++i)
      if (idx::arrFile[i].fp) std::fclose(idx::arrFile[i].fp);
    idx::iCol = 0;
    if (idx::fpXml) std::fclose(idx::fpXml);
    idx::fpXml = nullptr;
    std::filesystem::current_path(oldCwd_);
    std::filesystem::remove_all(dir_);
  }

  // Writes the index file and opens it for the parser, as the driver does before pass two.
  void openIndex(const std::string& text) {
    writeFile("idx.xml", text);
    if (idx::fpXml) std::fclose(idx::fpXml);
    idx::fpXml = std::fopen("idx.xml", "rb");
    ASSERT_NE(idx::fpXml, nullptr);
    ctr::fLenXml = text.size();
    idx::iXmlLine = 0;
  }

  // The texts of the reports in the error log, oldest first.
  static std::vector<std::string> reports() {
    std::vector<std::string> out;
    std::ifstream in("qn_error.log", std::ios::binary);
    const std::string mark = " ==== ";
    for (std::string line; std::getline(in, line);)
      if (line.rfind(mark, 0) == 0) out.push_back(line.substr(mark.size()));
    return out;
  }

  static void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }

  // Reads without touching the access time, which some tests compare.
  static std::string readFile(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOATIME);
    std::string s;
    if (fd < 0) return s;
    char buf[65536];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) s.append(buf, static_cast<size_t>(n));
    close(fd);
    return s;
  }

  static bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
  }

  static int64_t mtimeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_mtime) : -1;
  }

  static int64_t atimeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_atime) : -1;
  }

  std::string dir_;

 private:
  std::filesystem::path oldCwd_;
};

// One file record of a test index.
struct Rec {
  std::string name;
  uint64_t size;
  uint64_t time;
  std::string path;
};

// A well-formed index: archive block, parameters, column line, directory list, records.
inline std::string indexXml(const std::vector<Rec>& recs, int column,
                            const std::vector<std::string>& dirs = {""}) {
  uint64_t total = 0;
  for (const Rec& r : recs) total += r.size;
  std::ostringstream x;
  x << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<index>\n  <zip>\n    <version>v4</version>\n"
    << "    <files>" << recs.size() << "</files>\n    <size>" << total << "</size>\n"
    << "    <time>6955b900</time>\n  </zip>\n  <parameter>\n    <block>32</block>\n"
    << "    <bwt>0</bwt>\n    <cache>4</cache>\n    <cluster>64</cluster>\n    <esc>63</esc>\n"
    << "    <flush>5</flush>\n    <sight>20</sight>\n    <volume>0</volume>\n  </parameter>\n"
    << "  <column>" << column << "</column>\n";
  if (!dirs.empty()) {
    x << "  <directory>\n";
    for (const std::string& d : dirs) x << "    <path>" << d << "</path>\n";
    x << "  </directory>\n";
  }
  for (const Rec& r : recs)
    x << "  <file>\n    <name>" << r.name << "</name>\n    <size>" << r.size << "</size>\n"
      << "    <time>" << std::hex << r.time << std::dec << "</time>\n    <path>" << r.path
      << "</path>\n  </file>\n";
  x << "</index>\n";
  return x.str();
}

}  // namespace qn::test
