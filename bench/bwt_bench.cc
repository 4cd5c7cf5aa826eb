// Benchmark (not a test): MB/s (CPU time) of the forward and inverse block transforms on one block.
#include <time.h>

#include <cstdio>
#include <cstdlib>

#include "quarnzip/bwt_forward.h"
#include "reconstruct/bwt_test_util.h"

using namespace qn::rec::test;

namespace {

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
  uint64_t start = qn::zip::bwtForward(in.data(), t.data(), in.size());
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
  if (argc > 2) qn::rec::iPackMax = 0;
  setBlocks(mib);
  size_t n = size_t(mib) << 20;
  measure("text", textBytes(n, 1));
  measure("random", randomBytes(n, 1));
  measure("binary", binaryBytes(n));
  measure("one", Bytes(n, 'q'));
  return 0;
}
