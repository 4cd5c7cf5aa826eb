// quarnzip's messages: the pair in the chosen language on the console, errors also in the log.
#pragma once
#include <cstdint>

#include "core/texts.h"

namespace qn::zip {

// The message settings ("language=", "logsize=") and whether anything was reported.
struct ReportState {
  int32_t language = 0;
  int32_t logSize = 1000;
  int32_t error = 0;  // 1 once anything was reported
};
ReportState& reportState();

// Console only, no line feed. err: a line of its own, the log entry, and the error mark.
void msgf(core::Text t, ...);
void errf(core::Text t, ...);
void err(const char* cn, const char* en);

}  // namespace qn::zip
