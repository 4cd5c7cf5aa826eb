// quarnzip's messages: the pair in the chosen language on the console, errors also in the log.
#include "quarnzip/report.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "core/log.h"

namespace qn::zip {
namespace {

std::mutex mutexReport;  // one report at a time, from any thread

// A pair formatted as the console shows it (language, encoding).
std::string vtextOf(const core::Text& t, va_list ap) {
  std::string cn, en;
  core::formatPair(t, ap, cn, en, reportState().utf8);
  return core::inLanguage(reportState().language, cn.c_str(), en.c_str());
}

// The first of LC_ALL, the category's variable and LANG that is set, as the C library takes it.
std::string localeName(const char* category) {
  for (const char* v : {std::getenv("LC_ALL"), std::getenv(category), std::getenv("LANG")})
    if (v && *v) return v;
  return "";
}

}  // namespace

ReportState& reportState() {
  static ReportState state;
  return state;
}

void languageFromLocale() {
  ReportState& s = reportState();
  s.language = localeName("LC_MESSAGES").rfind("zh", 0) == 0 ? 1 : 2;
  std::string ctype = localeName("LC_CTYPE");
  for (char& c : ctype) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  s.utf8 = ctype.find("utf-8") != std::string::npos || ctype.find("utf8") != std::string::npos;
}

void msgf(core::Text t, ...) {
  std::lock_guard lk(mutexReport);
  va_list ap;
  va_start(ap, t);
  const std::string text = vtextOf(t, ap);
  va_end(ap);
  std::fputs(text.c_str(), stdout);
}

std::string textOf(core::Text t, ...) {
  va_list ap;
  va_start(ap, t);
  std::string text = vtextOf(t, ap);
  va_end(ap);
  return text;
}

void err(const char* cn, const char* en, const char* cnUtf8) {
  std::lock_guard lk(mutexReport);
  ReportState& s = reportState();
  const char* shown = s.utf8 && cnUtf8 ? cnUtf8 : cn;
  std::printf("\n%s\n", core::inLanguage(s.language, shown, en).c_str());
  core::logEntry(core::inLanguage(s.language, cn, en).c_str(), s.logSize);
  s.error = 1;
}

void errf(core::Text t, ...) {
  std::string cn, en, cnUtf8, unused;
  va_list ap, ap2;
  va_start(ap, t);
  va_copy(ap2, ap);
  core::formatPair(t, ap, cn, en);
  core::formatPair(t, ap2, cnUtf8, unused, true);
  va_end(ap2);
  va_end(ap);
  err(cn.c_str(), en.c_str(), cnUtf8.c_str());
}

}  // namespace qn::zip
