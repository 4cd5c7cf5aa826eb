// Pipeline frame primitives: the lock sites with their failure report, the timed wait, the poll.
#include <chrono>
#include <string>
#include <system_error>
#include <thread>

#include "container/container.h"
#include "frontend/frontend.h"

namespace qn::ctr {

namespace {

// Reports a failed lock with the site's label; the caller carries on.
void reportLock(const char* label) {
  std::string cn = std::string(txt::kLockError.cn) + label + ")";
  std::string en = std::string(txt::kLockError.en) + label + ")";
  fe::err(cn.c_str(), en.c_str());
}

// A hosted run that has been stopped ends this thread here (the hook does not return).
void leaveIfStopped() {
  if (stopAll.load(std::memory_order_relaxed) && fe::haltHook != nullptr) fe::haltHook();
}

}  // namespace

std::unique_lock<std::mutex> lockSite(std::mutex& m, const char* label) {
  std::unique_lock<std::mutex> lk(m, std::defer_lock);
  try {
    lk.lock();
  } catch (const std::system_error&) {
    reportLock(label);
  }
  return lk;
}

void waitSecond(std::condition_variable& cv, std::unique_lock<std::mutex>& lk) {
  if (!lk.owns_lock()) {  // the lock failed and was reported: wait without it
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  } else {
    cv.wait_until(lk, std::chrono::system_clock::now() + std::chrono::seconds(1));
  }
  leaveIfStopped();
}

void pollSleep() {
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  leaveIfStopped();
}

}  // namespace qn::ctr
