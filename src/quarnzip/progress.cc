// The progress line on a terminal: bytes read, ratio so far and speed, erased at the end.
#include "quarnzip/progress.h"

#include <unistd.h>

#include <algorithm>
#include <string>

#include "core/texts.h"
#include "quarnzip/report.h"

namespace qn::zip {

bool progressWanted(ProgressMode mode) {
  return mode == ProgressMode::kOn || (mode == ProgressMode::kAuto && isatty(STDERR_FILENO));
}

Progress::Progress(bool on, uint64_t total, std::FILE* to)
    : on_(on), total_(total), to_(to), start_(std::chrono::steady_clock::now()), next_(start_) {}

Progress::~Progress() {
  if (on_ && shown_ > 0) std::fprintf(to_, "\r%*s\r", static_cast<int>(shown_), "");
  if (on_) std::fflush(to_);
}

void Progress::update(uint64_t read, uint64_t written) {
  if (!on_) return;
  const auto now = std::chrono::steady_clock::now();
  if (now < next_) return;
  next_ = now + std::chrono::milliseconds(250);
  const double seconds = std::chrono::duration<double>(now - start_).count();
  constexpr double kMiB = 1 << 20;
  const std::string line = textOf(txt::kZipProgress, read / kMiB, total_ / kMiB,
                                  static_cast<int>(100 * read / std::max<uint64_t>(total_, 1)),
                                  written / kMiB, read ? double(written) / double(read) : 0.0,
                                  seconds > 0 ? read / kMiB / seconds : 0.0);
  std::fprintf(to_, "\r%s%*s", line.c_str(), static_cast<int>(shown_ > line.size() ? shown_ - line.size() : 0), "");
  shown_ = std::max(shown_, line.size());
  std::fflush(to_);
}

}  // namespace qn::zip
