// Start-up: banner, usage text and the command line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "frontend/frontend.h"

namespace qn::fe {

using core::kMaxArg;

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

namespace {

constexpr const char* kPlatform = "linux-x86_64";

void banner() {
  msgf(qn::txt::kBanner, 2, 6, 1, 2, 0, 6, kPlatform);
  std::fputc('\n', stdout);
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

}  // namespace qn::fe
