// quarnzip's messages: the pair in the chosen language on the console, errors also in the log.
#pragma once
#include <cstdint>
#include <string>

#include "core/texts.h"

namespace qn::zip {

// The message settings ("language=", "logsize=") and whether anything was reported.
struct ReportState {
  int32_t language = 0;
  int32_t logSize = 1000;
  int32_t error = 0;   // 1 once anything was reported
  bool utf8 = false;   // the console shows Chinese in UTF-8 (the log keeps GBK)
};
ReportState& reportState();

// The settings the locale gives before qn.ini is read: Chinese for LC_ALL, LC_MESSAGES or
// LANG (the first that is set) naming zh_*, else English; UTF-8 where LC_ALL, LC_CTYPE or
// LANG names it.
void languageFromLocale();

// Console only, no line feed. err: a line of its own, the log entry, and the error mark;
// cnUtf8, where given, is shown instead of cn on a UTF-8 console.
void msgf(core::Text t, ...);
// A pair as the console shows it (language, encoding), formatted; nothing is printed.
std::string textOf(core::Text t, ...);
void errf(core::Text t, ...);
void err(const char* cn, const char* en, const char* cnUtf8 = nullptr);

}  // namespace qn::zip
