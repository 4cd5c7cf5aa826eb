// Front-end test helpers: a scratch working directory, files, and a child process whose console is captured.
#pragma once
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "frontend/frontend.h"
#include "driver/driver.h"

namespace qn::fe::test {

// Makes a fresh directory the working directory (qn.ini and the log live there) and removes it after.
class ScratchDir {
 public:
  ScratchDir() {
    char tmpl[] = "/tmp/qn_fe_test.XXXXXX";
    path_ = mkdtemp(tmpl);
    old_ = std::filesystem::current_path();
    std::filesystem::current_path(path_);
  }
  ~ScratchDir() {
    std::filesystem::current_path(old_);
    std::filesystem::remove_all(path_);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::filesystem::path old_;
};

inline void writeFile(const std::string& name, const std::string& bytes) {
  std::ofstream(name, std::ios::binary) << bytes;
}

inline std::string readFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool exists(const std::string& name) { return std::filesystem::exists(std::filesystem::symlink_status(name)); }

// The front end's process-wide settings as a fresh process has them.
inline void resetFrontEnd() {
  iLanguage = 0;
  iLogSize = 1000;
  iError = 0;
  iPwdLen = 0;
  sFileCfg[0] = '\0';
  sFileZip[0] = sFileXml[0] = sBaseDir[0] = '\0';
  initPar();
}

struct Child {
  int status;       // exit status, or 128 + signal
  std::string out;  // everything the child wrote to standard output
};

// Runs f in a forked child with standard output captured; the child exits 0 when f returns.
template <class F>
Child runChild(F f) {
  std::fflush(stdout);
  char tmpl[] = "/tmp/qn_fe_out.XXXXXX";
  int fd = mkstemp(tmpl);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fd, 1);
    f();
    std::fflush(stdout);
    _exit(0);
  }
  int st = 0;
  waitpid(pid, &st, 0);
  close(fd);
  Child c{WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st), readFile(tmpl)};
  unlink(tmpl);
  return c;
}

// UTF-8 text converted to GBK by the system's iconv, independently of the build's own conversion.
inline std::string gbk(const std::string& utf8) {
  char in[] = "/tmp/qn_fe_utf8.XXXXXX";
  int fd = mkstemp(in);
  close(fd);
  writeFile(in, utf8);
  std::string cmd = std::string("iconv -f UTF-8 -t GBK ") + in;
  FILE* p = popen(cmd.c_str(), "r");
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int rc = pclose(p);
  unlink(in);
  return rc == 0 ? out : "<iconv failed>";
}

// A message pair in the default language mode: the English text, then the Chinese in parentheses.
inline std::string both(const Text& t) { return std::string(t.en) + " (" + t.cn + ")"; }

}  // namespace qn::fe::test
