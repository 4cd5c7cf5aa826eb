// Decoder benchmark: instruction streams written by the stream writer and decoded by
// binUnzip on its own thread (fed in 2 MiB buffers); prints decoded MB/s and symbols/s
// for text-like and random data, the best of several runs.
#include <time.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "quarnzip/stream_writer.h"
#include "container/container.h"
#include "driver/driver.h"
#include "decoder/decoder.h"
#include "core/codes.h"
#include "decoder/decoder.h"
#include "frontend/frontend.h"
#include "driver/driver.h"
#include "reconstruct/reconstruct.h"

using namespace qn;

namespace {

struct Workload {
  std::vector<uint8_t> stream;
  uint64_t outBytes = 0, symbols = 0;
};

// Pseudo-text: words of a Zipf-like vocabulary with spaces, line feeds and punctuation.
std::vector<uint8_t> makeText(size_t n) {
  std::mt19937_64 rng(42);
  std::vector<std::string> words;
  for (int i = 0; i < 4000; ++i) {
    std::string w;
    const int len = 2 + int(rng() % 8);
    for (int k = 0; k < len; ++k) w += char('a' + rng() % 26);
    words.push_back(w);
  }
  std::vector<uint8_t> text;
  while (text.size() < n) {
    const double u = double(rng() % 1000000 + 1) / 1e6;
    const std::string& w = words[size_t(double(words.size() - 1) * u * u * u)];
    text.insert(text.end(), w.begin(), w.end());
    text.push_back(rng() % 12 == 0 ? '\n' : rng() % 9 == 0 ? ',' : ' ');
  }
  text.resize(n);
  return text;
}

// Symbols a match codes: head (+ extension), length bytes, width, distance bytes.
uint64_t matchSymbols(uint32_t len, uint64_t dist) {
  if (len == 2) return 2;
  uint64_t s = len <= 7 ? 1 : len <= 19 ? 2 : len <= 275 ? 2 : len <= 787 ? 3 : 4;
  int w = 0;
  while (dist - 1 >= core::kDistBase[w + 1]) ++w;
  return s + 1 + uint64_t(w) + 1;
}

// A greedy parse with a hash of 4 bytes (last occurrence), closing a buffer every 1 MiB
// of output as the compressor does.
Workload encode(const std::vector<uint8_t>& data) {
  Workload wl;
  core::Model m{};
  m.init();
  zip::StreamWriter w(m);
  w.beginStream(true, 1);
  std::vector<int64_t> head(1 << 20, -1);
  uint64_t inBuffer = 0;
  auto hash = [&](size_t i) {
    uint32_t x;
    std::memcpy(&x, &data[i], 4);
    return (x * 2654435761u) >> 12;
  };
  for (size_t i = 0; i < data.size();) {
    uint32_t len = 0;
    uint64_t dist = 0;
    if (i + 4 <= data.size()) {
      const uint32_t h = hash(i);
      const int64_t cand = head[h];
      head[h] = int64_t(i);
      if (cand >= 0) {
        while (i + len < data.size() && len < 787 && data[size_t(cand) + len] == data[i + len]) ++len;
        dist = i - uint64_t(cand);
      }
    }
    if (inBuffer + std::max<uint32_t>(len, 1) > 0x100000) {
      w.endOfBuffer();
      wl.symbols += 3;  // head, extension, the code
      inBuffer = 0;
    }
    if (len >= 4) {
      w.match(len, dist);
      wl.symbols += matchSymbols(len, dist);
      i += len, inBuffer += len;
    } else {
      w.literal(data[i]);
      wl.symbols += 2;
      ++i, ++inBuffer;
    }
  }
  wl.stream = w.endStream(core::kCtlEndData);
  wl.outBytes = data.size();
  return wl;
}

// One decode of the whole stream; returns seconds spent decoding.
double decodeOnce(const Workload& wl) {
  dec::model = core::Model{};
  dec::model.init();
  dec::L = 0, dec::H = 0xFFFFFFFF;
  ctr::statZip[0] = 0, ctr::statZip[1] = 3;
  dec::bufBin = ctr::bufZip[1];
  dec::iBin = 0, dec::iBit = 0;
  rec::nCmdW = 0;
  ctr::inzipDone = false;
  ctr::msgCode[2] = ctr::kStop;  // closing needs no wait
  double seconds = 0;
  std::thread worker([&] {
    // The thread's CPU time: the machine is shared, wall time would count other work.
    timespec t0, t1;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t0);
    try {
      dec::startStream();
      for (;;) {
        rec::iCmdW = 0;
        dec::cmdClaimed = true;
        dec::binUnzip();
      }
    } catch (const dec::StreamEnded&) {
    }
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t1);
    seconds = double(t1.tv_sec - t0.tv_sec) + 1e-9 * double(t1.tv_nsec - t0.tv_nsec);
  });
  int k = 0;
  for (size_t at = 0; at < wl.stream.size(); at += 0x1FFFF8) {
    const size_t n = std::min<size_t>(0x1FFFF8, wl.stream.size() - at);
    std::unique_lock lock(ctr::mutexZip);
    while (ctr::statZip[k] != 0) ctr::waitSecond(ctr::lockIn, lock);
    std::memcpy(ctr::bufZip[k], wl.stream.data() + at, n);
    ctr::statZip[k] = 2;
    ctr::lenZip[k] = uint32_t(n);
    lock.unlock();
    ctr::lockZip.notify_all();
    k = 1 - k;
  }
  worker.join();
  return seconds;
}

void report(const char* name, const Workload& wl) {
  double best = 1e9;
  for (int run = 0; run < 5; ++run) best = std::min(best, decodeOnce(wl));
  std::printf("%-10s %9.2f MB -> %8.2f MB (x%.2f)  decode %7.1f MB/s  %6.1f Msymbols/s\n", name,
              double(wl.outBytes) / 1e6, double(wl.stream.size()) / 1e6,
              double(wl.outBytes) / double(wl.stream.size()), double(wl.outBytes) / best / 1e6,
              double(wl.symbols) / best / 1e6);
}

}  // namespace

int main() {
  std::vector<uint8_t> zip[2] = {std::vector<uint8_t>(ctr::kChunk), std::vector<uint8_t>(ctr::kChunk)};
  std::vector<uint32_t> cmd[2] = {std::vector<uint32_t>(ctr::kCmdWords), std::vector<uint32_t>(ctr::kCmdWords)};
  uint32_t codes[7] = {};
  for (int k = 0; k < 2; ++k) ctr::bufZip[k] = zip[k].data(), rec::bufCmd[k] = cmd[k].data();
  ctr::msgCode = codes;
  fe::iEscape = 63, fe::iFlush = 5;

  const size_t n = 32 << 20;
  const Workload text = encode(makeText(n));
  std::vector<uint8_t> noise(n);
  std::mt19937_64 rng(7);
  for (auto& b : noise) b = uint8_t(rng());
  const Workload random = encode(noise);
  report("text", text);
  report("random", random);
  return 0;
}
