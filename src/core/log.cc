// The error log: one time-stamped entry per report, rotated to a backup at its size limit.
#include "core/log.h"

#include <sys/types.h>

#include <cstdio>
#include <ctime>

namespace qn::core {
namespace {

void rotateLog(int32_t limitKiB) {
  FILE* fp = std::fopen(kLogName, "rb");
  if (fp == nullptr) return;
  int64_t size = -1;
  if (fseeko(fp, 0, SEEK_END) == 0) size = ftello(fp);
  std::fclose(fp);
  if (size >= static_cast<int64_t>(limitKiB) * 1024) {
    std::remove(kLogBak);
    std::rename(kLogName, kLogBak);
  }
}

}  // namespace

void logEntry(const char* text, int32_t limitKiB) {
  char stamp[64] = "";
  time_t now = std::time(nullptr);
  if (ctime_r(&now, stamp) == nullptr) stamp[0] = '\0';
  rotateLog(limitKiB);
  FILE* fp = std::fopen(kLogName, "ab");
  if (fp == nullptr) return;
  std::fprintf(fp, "%s ==== %s\n", stamp, text);
  std::fclose(fp);
}

}  // namespace qn::core
