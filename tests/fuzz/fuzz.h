// Shared by the fuzz targets: a scratch working folder with a quiet console, and the hosted
// run, which turns a fatal stop into a return and leaves the process as a new one would be.
#pragma once
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "container/container.h"
#include "driver/driver.h"
#include "frontend/frontend.h"
#include "index/index.h"
#include "reconstruct/reconstruct.h"

namespace qn::fuzz {

struct Halted {};
inline pthread_t hostThread;

// Removes a path and everything below it; what cannot be removed stays.
inline void removeAll(const std::filesystem::path& p) {
  std::error_code ec;
  std::filesystem::remove_all(p, ec);
}

// A file of the scratch folder with exactly these bytes.
inline void put(const std::string& name, const uint8_t* data, size_t n) {
  std::ofstream(name, std::ios::binary).write(reinterpret_cast<const char*>(data), std::streamsize(n));
}

// Once per process: a scratch folder as the working directory (qn.ini, the log, the files of
// each run), removed at exit, and the program's console output thrown away.
inline void setUp() {
  static char dir[] = "/tmp/qn_fuzz_XXXXXX";
  static const bool done = [] {
    if (mkdtemp(dir) == nullptr) std::abort();
    std::filesystem::current_path(dir);
    std::atexit([] { removeAll(dir); });
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
    return true;
  }();
  (void)done;
}

// The password and its Enter on standard input, for the prompt.
inline void typeAhead(const uint8_t* pwd, size_t n) {
  int fds[2];
  if (pipe(fds) != 0) std::abort();
  std::string keys(reinterpret_cast<const char*>(pwd), n);
  keys += '\n';
  if (write(fds[1], keys.data(), keys.size()) != static_cast<ssize_t>(keys.size())) std::abort();
  ::close(fds[1]);
  dup2(fds[0], 0);
  ::close(fds[0]);
}

inline void wakeAll() {
  for (auto* cv : {&ctr::lockIn, &ctr::lockZip, &ctr::lockCmdW, &ctr::lockCmdR, &ctr::lockChrW,
                   &ctr::lockChrR, &ctr::lockOut, &ctr::lockBwtW, &ctr::lockBwtR0})
    cv->notify_all();
}

// The halt hook: the host's thread unwinds back to hosted(); a pipeline thread ends itself
// after every thread has been told to leave at its next wait.
inline void onHalt() {
  ctr::stopAll = true;
  wakeAll();
  if (pthread_equal(pthread_self(), hostThread)) throw Halted{};
  pthread_exit(nullptr);
}

inline void close(FILE*& f) {
  if (f != nullptr) std::fclose(f);
  f = nullptr;
}

// What a stopped run leaves behind: open files, the frame's buffers (freed so that the next
// run sets up its tables and coder afresh), the control words, a password.
inline void reset() {
  close(ctr::fpIn);
  close(idx::fpOut);
  close(idx::fpXml);
  for (auto& r : idx::arrFile) close(r.fp);
  idx::iCol = 0;
  std::free(ctr::msgCode);
  ctr::msgCode = nullptr;
  drv::freeRing();
  fe::iPwdLen = 0;
  fe::iError = 0;
}

// Runs f as the program would; a fatal stop anywhere returns here once every pipeline
// thread has ended. Returns false when the run stopped.
template <class F>
bool hosted(F f) {
  setUp();
  hostThread = pthread_self();
  fe::haltHook = onHalt;
  bool ok = true;
  try {
    f();
  } catch (const Halted&) {
    ok = false;
  }
  ctr::stopAll = true;
  while (ctr::threadsAlive > 0) {
    wakeAll();
    std::this_thread::yield();
  }
  ctr::stopAll = false;
  reset();
  return ok;
}

}  // namespace qn::fuzz
