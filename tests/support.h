// Shared helpers of the unit tests: a scratch working directory per test, files, child
// processes for fatal stops, GBK conversion by the system's iconv, and test data.
#pragma once
#include <fcntl.h>
#include <gtest/gtest.h>
#include <iconv.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "frontend/frontend.h"
#include "driver/driver.h"

namespace qn::test {

using Bytes = std::vector<uint8_t>;

// Reads without touching the access time, which some tests compare.
inline std::string readFile(const std::string& path) {
  std::string s;
  const int fd = open(path.c_str(), O_RDONLY | O_NOATIME);
  if (fd < 0) return s;
  char buf[65536];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) s.append(buf, size_t(n));
  close(fd);
  return s;
}
inline void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}
inline void writeFile(const std::string& path, const Bytes& b) {
  writeFile(path, std::string(b.begin(), b.end()));
}
inline bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}
inline std::pair<int64_t, int64_t> timesOf(const std::string& path) {  // modification, access
  struct stat st{};
  return stat(path.c_str(), &st) == 0 ? std::pair<int64_t, int64_t>{st.st_mtime, st.st_atime} : std::pair<int64_t, int64_t>{-1, -1};
}

// The texts of the reports in the error log, oldest first.
inline std::vector<std::string> reports() {
  std::vector<std::string> out;
  std::istringstream in(readFile(fe::kLogName));
  for (std::string line; std::getline(in, line);)
    if (line.rfind(" ==== ", 0) == 0) out.push_back(line.substr(6));
  return out;
}

// Every test runs in a fresh working directory (qn.ini, the error log and its files live
// there), in English, with no error reported yet.
class Unit : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qn_unit_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    old_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
    fe::iLanguage = 2;
    fe::iLogSize = 1000;
    fe::iError = 0;
  }
  void TearDown() override {
    std::filesystem::current_path(old_);
    std::filesystem::remove_all(dir_);
  }
  std::string dir_;
  std::filesystem::path old_;
};

// Runs f in a forked child with standard output and error on a pipe; the child exits 0
// when f returns. Returns the exit status (or 128 + signal) and everything printed.
struct Child {
  int status;
  std::string out;
};
template <class F>
Child runChild(F f) {
  std::fflush(stdout);
  int fds[2];
  if (pipe(fds) != 0) std::abort();
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    dup2(fds[1], 1);
    dup2(fds[1], 2);
    f();
    std::fflush(stdout);
    _exit(0);
  }
  close(fds[1]);
  std::string out;
  char buf[4096];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, size_t(n));
  close(fds[0]);
  int st = 0;
  waitpid(pid, &st, 0);
  return {WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st), out};
}

// The statement, run in a child, must stop with status 1 and print text holding `text`.
#define EXPECT_HALT(statement, text)                                         \
  do {                                                                       \
    const auto halted_ = qn::test::runChild([&] { statement; });             \
    EXPECT_EQ(halted_.status, 1) << #statement;                              \
    EXPECT_NE(halted_.out.find(text), std::string::npos) << halted_.out;     \
  } while (0)

// UTF-8 text converted to GBK by the system's iconv, independently of the build's conversion.
inline std::string gbk(const std::string& utf8) {
  iconv_t cd = iconv_open("GBK", "UTF-8");
  std::string out(utf8.size() * 2, '\0');
  char* in = const_cast<char*>(utf8.data());
  char* o = out.data();
  size_t inLeft = utf8.size(), outLeft = out.size();
  iconv(cd, &in, &inLeft, &o, &outLeft);
  iconv_close(cd);
  out.resize(out.size() - outLeft);
  return out;
}

// ---- Test data ----
inline Bytes randomBytes(size_t n, uint32_t seed, int alphabet = 256) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = uint8_t(rng() % uint32_t(alphabet));
  return b;
}
inline Bytes textBytes(size_t n, uint32_t seed) {
  static const char* words[] = {"the ",     "block ",   "sorting ", "of ",  "contexts ", "is ",
                                "a ",       "archive ", "bytes, ",  "and ", "runs. ",    "x\n"};
  std::mt19937 rng(seed);
  Bytes b;
  while (b.size() < n)
    for (const char* w = words[rng() % 12]; *w;) b.push_back(uint8_t(*w++));
  b.resize(n);
  return b;
}

}  // namespace qn::test
