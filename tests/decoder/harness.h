// Helpers of the decoder tests: buffers for the decoder, a driver-side feeder that runs
// the decoder on a thread of its own, an independent list of the expected instruction
// words, and a child process for fatal stops.
#pragma once
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "container/container.h"
#include "driver/driver.h"
#include "decoder/decoder.h"
#include "frontend/frontend.h"
#include "driver/driver.h"
#include "reconstruct/reconstruct.h"

namespace qn::test {

// The buffers the frame would allocate, owned by the test process.
struct DecoderBuffers {
  std::vector<uint8_t> zip[2];
  std::vector<uint32_t> cmd[2];
  uint32_t codes[7] = {};

  DecoderBuffers() {
    for (int k = 0; k < 2; ++k) {
      zip[k].assign(ctr::kChunk, 0);
      cmd[k].assign(ctr::kCmdWords, 0);
      ctr::bufZip[k] = zip[k].data();
      ctr::sizeZip[k] = ctr::kChunk;
      rec::bufCmd[k] = cmd[k].data();
    }
    ctr::msgCode = codes;
  }
  ~DecoderBuffers() { ctr::msgCode = nullptr; }
};

inline DecoderBuffers& buffers() {
  static DecoderBuffers b;
  return b;
}

// A fresh model and coder as the frame's init leaves them (with the process's esc, flush).
inline void freshModel(uint32_t esc = 63, uint32_t flush = 5) {
  dec::L = 0, dec::H = 0xFFFFFFFF;
  dec::model = core::Model{};
  dec::model.setParams(esc, flush);
  dec::model.init();
  fe::iEscape = int32_t(esc);
  fe::iFlush = int32_t(flush);
}

// The ring and instruction states at the start of a pass (as the input ring resets them).
inline void resetPass() {
  buffers();
  ctr::statZip[0] = 0, ctr::statZip[1] = 3;
  ctr::lenZip[0] = ctr::lenZip[1] = 0;
  dec::bufBin = ctr::bufZip[1];
  dec::iBin = 0, dec::iBit = 0;
  rec::statCmd[0] = rec::statCmd[1] = 0;
  rec::lenCmd[0] = rec::lenCmd[1] = 0;
  rec::nCmdW = 0, rec::iCmdW = 0;
  rec::stTail = rec::stHead = 0;
  ctr::inzipWaiting = ctr::inzipDone = false;
  ctr::msgCode[2] = 0;
}

struct Decoded {
  std::vector<std::vector<uint32_t>> buffers;  // one per instruction buffer, in order
  bool ended = false;                          // closed by an end code or the end of input
};

template <class F>
inline bool pollZip(F cond) {
  std::unique_lock lock(ctr::mutexZip);
  return cond();
}

// Runs the stream head and binUnzip on a thread of its own, as inzip does, but keeps
// every buffer's words instead of handing them to an interpreter. This thread plays the
// driver: it hands the stream over in pieces of `piece` bytes (empty ones included when
// asked), then posts the end-of-input code if the decoder still waits, and the stop
// request once it has closed.
inline Decoded runDecoder(const std::vector<uint8_t>& stream, size_t piece = 0x1FFFF8,
                          bool emptyPieces = false) {
  Decoded result;
  std::thread worker([&] {
    try {
      dec::startStream();
      for (;;) {
        rec::iCmdW = 0;  // claimed as inzip claims it, without waiting for an interpreter
        rec::statCmd[rec::nCmdW] = 1;
        dec::cmdClaimed = true;
        const int32_t n = dec::binUnzip();
        const uint32_t* b = rec::bufCmd[rec::nCmdW];
        result.buffers.emplace_back(b, b + n);
        rec::nCmdW = 1 - rec::nCmdW;
      }
    } catch (const dec::StreamEnded&) {
      const uint32_t* b = rec::bufCmd[rec::nCmdW];
      result.buffers.emplace_back(b, b + rec::iCmdW);
      result.ended = true;
    }
  });
  int k = 0;
  auto handOver = [&](const uint8_t* data, size_t n) {
    std::unique_lock lock(ctr::mutexZip);
    while (ctr::statZip[k] != 0 && !ctr::inzipDone) ctr::waitSecond(ctr::lockIn, lock);
    if (ctr::inzipDone) return;
    if (n) std::memcpy(ctr::bufZip[k], data, n);
    ctr::statZip[k] = 2;
    ctr::lenZip[k] = uint32_t(n);
    lock.unlock();
    ctr::lockZip.notify_all();
    k = 1 - k;
  };
  for (size_t at = 0; at < stream.size(); at += piece) {
    if (emptyPieces) handOver(nullptr, 0);
    handOver(stream.data() + at, std::min(piece, stream.size() - at));
  }
  // Drain: wait until the decoder has closed or waits for input that will not come.
  while (!pollZip([] {
    return ctr::inzipDone || (ctr::inzipWaiting && ctr::statZip[0] != 2 && ctr::statZip[1] != 2);
  }))
    ctr::pollSleep();
  {
    std::unique_lock lock(ctr::mutexZip);
    if (!ctr::inzipDone) ctr::msgCode[2] = ctr::kEndInput;
  }
  ctr::lockZip.notify_all();
  while (!pollZip([] { return ctr::inzipDone; })) ctr::pollSleep();
  {
    std::unique_lock lock(ctr::mutexZip);
    ctr::msgCode[2] = ctr::kStop;
  }
  ctr::lockZip.notify_all();
  worker.join();
  return result;
}

// All words of all buffers, in order.
inline std::vector<uint32_t> flatten(const Decoded& d) {
  std::vector<uint32_t> all;
  for (const auto& b : d.buffers) all.insert(all.end(), b.begin(), b.end());
  return all;
}

// Runs body in a child process with its console on a pipe, in a scratch directory (the
// error log lands there). Returns the exit status (or -signal) and what was printed.
struct ChildResult {
  int status;
  std::string output;
};
inline ChildResult runChild(const std::function<void()>& body) {
  std::fflush(stdout);
  char dir[] = "/tmp/qn_dec_XXXXXX";
  if (!mkdtemp(dir)) std::abort();
  int fds[2];
  if (pipe(fds) != 0) std::abort();
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    dup2(fds[1], 1);
    dup2(fds[1], 2);
    if (chdir(dir) != 0) _exit(99);
    fe::iLanguage = 2;
    body();
    std::fflush(stdout);
    _exit(0);
  }
  close(fds[1]);
  std::string out;
  char buf[4096];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, size_t(n));
  close(fds[0]);
  int st = 0;
  waitpid(pid, &st, 0);
  std::filesystem::remove_all(dir);
  return {WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st), out};
}

}  // namespace qn::test
