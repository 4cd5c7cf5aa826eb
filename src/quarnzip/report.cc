// quarnzip's messages: the pair in the chosen language on the console, errors also in the log.
#include "quarnzip/report.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "core/log.h"

namespace qn::zip {
namespace {

std::mutex mutexReport;  // one report at a time, from any thread

}  // namespace

ReportState& reportState() {
  static ReportState state;
  return state;
}

void msgf(core::Text t, ...) {
  std::lock_guard lk(mutexReport);
  std::string cn, en;
  va_list ap;
  va_start(ap, t);
  core::formatPair(t, ap, cn, en);
  va_end(ap);
  std::fputs(core::inLanguage(reportState().language, cn.c_str(), en.c_str()).c_str(), stdout);
}

void err(const char* cn, const char* en) {
  std::lock_guard lk(mutexReport);
  ReportState& s = reportState();
  const std::string text = core::inLanguage(s.language, cn, en);
  std::printf("\n%s\n", text.c_str());
  core::logEntry(text.c_str(), s.logSize);
  s.error = 1;
}

void errf(core::Text t, ...) {
  std::string cn, en;
  va_list ap;
  va_start(ap, t);
  core::formatPair(t, ap, cn, en);
  va_end(ap);
  err(cn.c_str(), en.c_str());
}

}  // namespace qn::zip
