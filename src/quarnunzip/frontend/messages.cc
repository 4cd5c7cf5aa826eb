// Bilingual messages on the console and in the error log, and the fatal stop.
#include <sys/types.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "frontend/frontend.h"

namespace qn::fe {
namespace {

// Console text by iLanguage: Chinese, English, or English with the Chinese in parentheses.
void consoleText(const char* cn, const char* en) {
  std::fputs(core::inLanguage(iLanguage, cn, en).c_str(), stdout);
}

// err() with mutexMsg already held. The report goes out in one write: the progress lines,
// printed by the pipeline's threads without the lock, cannot fall inside it.
void errLocked(const char* cn, const char* en) {
  const std::string text = core::inLanguage(iLanguage, cn, en);
  std::fputs(("\n" + text + "\n").c_str(), stdout);
  core::logEntry(text.c_str(), iLogSize);
  iError = 1;
}

using core::formatPair;

}  // namespace

void msg(const char* cn, const char* en) {
  std::lock_guard lk(mutexMsg);
  consoleText(cn, en);
}

void err(const char* cn, const char* en) {
  std::lock_guard lk(mutexMsg);
  errLocked(cn, en);
}

void msgf(Text t, ...) {
  std::lock_guard lk(mutexMsg);
  std::string cn, en;
  va_list ap;
  va_start(ap, t);
  formatPair(t, ap, cn, en);
  va_end(ap);
  consoleText(cn.c_str(), en.c_str());
}

void errf(Text t, ...) {
  std::lock_guard lk(mutexMsg);
  std::string cn, en;
  va_list ap;
  va_start(ap, t);
  formatPair(t, ap, cn, en);
  va_end(ap);
  errLocked(cn.c_str(), en.c_str());
}

// The lock is taken and never given back: no other report can follow the last line. Only a
// host's hook (which ends the run its own way) gets it back.
void halt() {
  std::unique_lock lk(mutexMsg);
  const std::string cn = format(qn::txt::kSeeLog.cn, core::kLogName);
  const std::string en = format(qn::txt::kSeeLog.en, core::kLogName);
  consoleText(cn.c_str(), en.c_str());
  std::fputs("\n\n", stdout);
  std::fflush(stdout);
  if (haltHook != nullptr) {
    lk.unlock();
    haltHook();
  }
  std::_Exit(1);
}

}  // namespace qn::fe
