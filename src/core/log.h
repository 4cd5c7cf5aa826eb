// The error log: one time-stamped entry per report, rotated to a backup at its size limit.
#pragma once
#include <cstdint>

namespace qn::core {

inline constexpr const char* kLogName = "qn_error.log";
inline constexpr const char* kLogBak = "qn_error.bak";

// Moves a log of limitKiB KiB or more to the backup, then appends "<ctime> ==== text".
// Failures are ignored: the console still shows the message.
void logEntry(const char* text, int32_t limitKiB);

}  // namespace qn::core
