// Bilingual messages on the console, the error log with its rotation, and the fatal stop.
#include <sys/types.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "frontend/frontend.h"

namespace qn::fe {
namespace {

// printf into out, bounded to kFmtBuf bytes (NUL included) like the message buffers.
void vformatInto(std::string& out, const char* fmt, va_list ap) {
  out.resize(kFmtBuf);
  int n = std::vsnprintf(out.data(), kFmtBuf, fmt, ap);
  out.resize(std::clamp(n, 0, kFmtBuf - 1));
}

// Console text by iLanguage: Chinese, English, or English with the Chinese in parentheses.
void consoleText(const char* cn, const char* en) {
  if (iLanguage == 1) {
    std::fputs(cn, stdout);
  } else if (iLanguage == 2) {
    std::fputs(en, stdout);
  } else {
    std::printf("%s (%s)", en, cn);
  }
}

// Moves a log that has reached iLogSize KiB to the backup; failures are ignored.
void rotateLog() {
  FILE* fp = std::fopen(kLogName, "rb");
  if (fp == nullptr) return;
  int64_t size = -1;
  if (fseeko(fp, 0, SEEK_END) == 0) size = ftello(fp);
  std::fclose(fp);
  if (size >= static_cast<int64_t>(iLogSize) * 1024) {
    std::remove(kLogBak);
    std::rename(kLogName, kLogBak);
  }
}

// Appends one entry: the ctime stamp line, then " ==== " and the text in the log's language.
void appendLog(const char* stamp, const char* cn, const char* en) {
  FILE* fp = std::fopen(kLogName, "ab");
  if (fp == nullptr) return;  // the console still shows the message
  if (iLanguage == 1) {
    std::fprintf(fp, "%s ==== %s\n", stamp, cn);
  } else if (iLanguage == 2) {
    std::fprintf(fp, "%s ==== %s\n", stamp, en);
  } else {
    std::fprintf(fp, "%s ==== %s (%s)\n", stamp, en, cn);
  }
  std::fclose(fp);
}

// err() with mutexMsg already held.
void errLocked(const char* cn, const char* en) {
  char stamp[64] = "";
  time_t now = std::time(nullptr);
  if (ctime_r(&now, stamp) == nullptr) stamp[0] = '\0';
  rotateLog();
  std::fputc('\n', stdout);
  consoleText(cn, en);
  std::fputc('\n', stdout);
  appendLog(stamp, cn, en);
  iError = 1;
}

// Formats both texts of a pair with the same arguments.
void formatPair(const Text& t, va_list ap, std::string& cn, std::string& en) {
  va_list ap2;
  va_copy(ap2, ap);
  vformatInto(cn, t.cn, ap);
  vformatInto(en, t.en, ap2);
  va_end(ap2);
}

}  // namespace

void msg(const char* cn, const char* en) {
  std::lock_guard lk(mutexMsg);
  consoleText(cn, en);
}

void err(const char* cn, const char* en) {
  std::lock_guard lk(mutexMsg);
  errLocked(cn, en);
}

void msgf(const Text& t, ...) {
  std::lock_guard lk(mutexMsg);
  std::string cn, en;
  va_list ap;
  va_start(ap, t);
  formatPair(t, ap, cn, en);
  va_end(ap);
  consoleText(cn.c_str(), en.c_str());
}

void errf(const Text& t, ...) {
  std::lock_guard lk(mutexMsg);
  std::string cn, en;
  va_list ap;
  va_start(ap, t);
  formatPair(t, ap, cn, en);
  va_end(ap);
  errLocked(cn.c_str(), en.c_str());
}

std::string format(const char* fmt, ...) {
  std::string out;
  va_list ap;
  va_start(ap, fmt);
  vformatInto(out, fmt, ap);
  va_end(ap);
  return out;
}

// The lock is taken and never given back: no other report can follow the last line.
void halt() {
  mutexMsg.lock();
  const std::string cn = format(qn::txt::kSeeLog.cn, kLogName);
  const std::string en = format(qn::txt::kSeeLog.en, kLogName);
  consoleText(cn.c_str(), en.c_str());
  std::fputs("\n\n", stdout);
  std::fflush(stdout);
  std::_Exit(1);
}

}  // namespace qn::fe
