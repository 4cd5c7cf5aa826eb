// The progress line on a terminal: bytes read, ratio so far and speed, erased at the end.
#pragma once
#include <chrono>
#include <cstdint>
#include <cstdio>

namespace qn::zip {

// -q: never; -v: always; otherwise only when standard error is a terminal.
enum class ProgressMode { kAuto, kOff, kOn };
bool progressWanted(ProgressMode mode);

// Rewrites one line of standard error at most four times a second while a stream is coded;
// the first call draws it at once. Nothing is drawn when off.
class Progress {
 public:
  Progress(bool on, uint64_t total, std::FILE* to = stderr);
  ~Progress();  // erases the line
  void update(uint64_t read, uint64_t written);

 private:
  bool on_;
  uint64_t total_;
  std::FILE* to_;
  std::chrono::steady_clock::time_point start_, next_;
  size_t shown_ = 0;  // length of the line on the screen
};

}  // namespace qn::zip
