// Benchmark (not a test): MB/s (CPU time) of the forward and inverse block transforms on one block.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "container/container.h"
#include "core/bwt.h"
#include "decoder/decoder.h"
#include "frontend/frontend.h"
#include "driver/driver.h"
#include "reconstruct/reconstruct.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes randomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = uint8_t(rng());
  return b;
}
Bytes textBytes(size_t n, uint32_t seed) {
  static const char* words[] = {"the ", "block ", "sorting ", "of ", "contexts ", "is ",
                                "a ",   "archive ", "bytes, ", "and ", "runs. ", "x\n"};
  std::mt19937 rng(seed);
  Bytes b;
  while (b.size() < n)
    for (const char* w = words[rng() % 12]; *w;) b.push_back(uint8_t(*w++));
  b.resize(n);
  return b;
}
Bytes binaryBytes(size_t n) {  // little-endian counters with a slowly changing high part
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t((uint32_t(i / 4) * 2654435761u >> (i % 7 == 0 ? 3 : 0)) >> (8 * (i % 4)));
  return b;
}

// Block buffers for blocks of mib MiB in block mode, as the driver allocates them.
void setBlocks(uint32_t mib) {
  qn::fe::param[qn::fe::kBlock] = mib, qn::fe::iBlock = uint64_t(mib) << 20, qn::fe::iBWT = 1;
  qn::ctr::fLen = qn::fe::iBlock;  // a pass long enough to fill its blocks
  qn::rec::initBwt();
}

Bytes invertInPlace(const Bytes& t, uint64_t start) {
  std::copy(t.begin(), t.end(), qn::rec::bufBlk[0]);
  qn::rec::lenBwt[0] = int64_t(t.size());
  qn::rec::st[qn::rec::stTail] = start, qn::rec::stTail = (qn::rec::stTail + 1) & 0xFFF;
  qn::rec::outBwtBlk(0);
  return Bytes(qn::rec::bufBlk[0], qn::rec::bufBlk[0] + t.size());
}

// CPU time of this thread: on a shared machine, wall time mostly measures the neighbours.
double cpuNow() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

void measure(const char* kind, const Bytes& in) {
  const double mb = double(in.size()) / 1e6;
  Bytes t(in.size());
  double t0 = cpuNow();
  uint64_t start = qn::core::bwtForward(in.data(), t.data(), in.size());
  double fwd = cpuNow() - t0;
  t0 = cpuNow();
  Bytes back = invertInPlace(t, start);
  double inv = cpuNow() - t0;
  std::printf("\n%-8s %6.1f MB  forward %7.1f MB/s  inverse %7.1f MB/s  %s\n", kind, mb, mb / fwd, mb / inv,
              back == in ? "ok" : "MISMATCH");
}

}  // namespace

// Usage: bwt_bench [MiB [plain]] (default 32); "plain" inverts with the end positions in h.
int main(int argc, char** argv) {
  uint32_t mib = argc > 1 ? uint32_t(std::atoi(argv[1])) : 32;
  if (argc > 2) qn::rec::iDenseMax = 0;
  setBlocks(mib);
  size_t n = size_t(mib) << 20;
  measure("text", textBytes(n, 1));
  measure("random", randomBytes(n, 1));
  measure("binary", binaryBytes(n));
  measure("one", Bytes(n, 'q'));
  return 0;
}
