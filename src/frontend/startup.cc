// Start-up: banner, command line, configuration, the extraction run and its summary.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "container/container.h"
#include "frontend/frontend.h"

namespace qn::fe {
namespace {

constexpr int kMaxArg = 255;  // longest accepted path argument
constexpr const char* kPlatform = "linux-x86_64";

// Copies one path argument; 256 characters or more stop the run.
void copyArg(char* dest, const char* arg) {
  if (std::strlen(arg) > static_cast<size_t>(kMaxArg)) {
    err(qn::txt::kTooLongParam.cn, qn::txt::kTooLongParam.en);
    halt();
  }
  std::strcpy(dest, arg);
}

void slashes(char* s) {
  for (; *s != '\0'; ++s) {
    if (*s == '\\') *s = '/';
  }
}

void banner() {
  msgf(qn::txt::kBanner, 2, 6, 1, 2, 0, 6, kPlatform);
  std::fputc('\n', stdout);
}

bool anyError() {
  std::lock_guard lk(mutexMsg);
  return iError >= 1;
}

}  // namespace

void help() {
  const char* name = "quarnunzip";
  msgf(qn::txt::kUsage, name, name, name, name);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  std::_Exit(1);
}

void mainInit(int argc, char** argv) {
  banner();
  if (argc != 3 && argc != 4) help();
  copyArg(sFileZip, argv[1]);
  copyArg(sFileXml, argv[2]);
  if (argc == 3) {
    std::strcpy(sBaseDir, "-xml");
  } else {
    copyArg(sBaseDir, argv[3]);
  }
  slashes(sFileZip);
  slashes(sFileXml);
  if (std::strcmp(sBaseDir, "-xml") == 0 || sBaseDir[0] == '\0') return;
  slashes(sBaseDir);
  size_t n = std::strlen(sBaseDir);
  if (sBaseDir[n - 1] != '/') std::strcpy(sBaseDir + n, "/");
}

int run(int argc, char** argv) {
  mainInit(argc, argv);
  initPar();
  getIni();
  initPar();
  loadPar();
  iError = 0;
  iTagGet = 0;
  iTotalSize = 0;
  sTime = std::time(nullptr);
  qn::ctr::unzipFile();
  sTime = std::time(nullptr) - sTime;
  std::printf("%c%60s%c", 13, "", 13);  // wipes the progress line
  msgf(qn::txt::kSummary, iTagGet, static_cast<int32_t>(sTime));
  std::fputc('\n', stdout);
  if (anyError()) halt();
  return 0;
}

}  // namespace qn::fe
