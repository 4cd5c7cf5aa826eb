// Benchmark of the instruction interpreter: MB/s of output for typical instruction mixes.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "container/container.h"
#include "driver/driver.h"
#include "frontend/frontend.h"
#include "driver/driver.h"
#include "reconstruct/reconstruct.h"

namespace {

using namespace qn;
constexpr uint32_t M = 0x80000000u;

// One buffer of instructions producing exactly 1 MiB.
std::vector<uint32_t> mix(std::mt19937_64& rng, int literalPct, uint32_t maxLen, uint32_t maxDist) {
  std::vector<uint32_t> w;
  int64_t count = 0;
  while (count < 0x100000) {
    const int64_t left = 0x100000 - count;
    if (left < 3 || int(rng() % 100) < literalPct) {
      w.push_back(uint32_t(rng() % 256));
      ++count;
      continue;
    }
    const uint32_t len = uint32_t(std::min<int64_t>(left, 3 + rng() % (maxLen - 2)));
    w.insert(w.end(), {M | len, uint32_t(1 + rng() % maxDist)});
    count += len;
  }
  w.push_back(262);
  return w;
}

double run(const std::vector<uint32_t>& w, int reps) {
  std::memcpy(rec::bufCmd[0], w.data(), w.size() * 4);
  rec::lenCmd[0] = uint32_t(w.size());
  auto t0 = std::chrono::steady_clock::now();
  for (int r = 0; r < reps; ++r) {
    rec::nCmdR = 0;
    rec::iChr = (int64_t(r % 7) + 1) * 0x100000;
    if (rec::unzip() != 0x100000) {
      std::fprintf(stderr, "the buffer did not fill its chunk\n");
      std::exit(1);
    }
  }
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return reps * 1.048576 / s;
}

}  // namespace

int main() {
  fe::iMaxBuf = 8 << 20;
  fe::iMaxBuf_1 = fe::iMaxBuf - 1;
  drv::initBuf(fe::iMaxBuf);
  drv::initStreamUnzip(nullptr);
  ctr::fLen = uint64_t{1} << 40;
  std::mt19937_64 rng(1);
  for (int64_t k = 0; k < fe::iMaxBuf; ++k) ctr::bufChr[k] = uint8_t(rng());
  struct Case {
    const char* name;
    int lit;
    uint32_t len, dist;
  } cases[] = {{"literals only", 100, 3, 1},
               {"text-like: 40% literals, lengths 3..40, distances up to 64 KiB", 40, 40, 65536},
               {"long matches 3..1000, distances up to 1 MiB", 10, 1000, 1 << 20},
               {"runs: lengths 3..300 at distance 1..3", 0, 300, 3},
               {"short overlaps: lengths 3..64 at distance 1..16", 20, 64, 16}};
  for (const Case& c : cases) {
    auto w = mix(rng, c.lit, c.len, c.dist);
    run(w, 5);
    double best = 0;
    for (int t = 0; t < 5; ++t) best = std::max(best, run(w, 40));
    std::printf("%-66s %8.0f MB/s\n", c.name, best);
  }
  std::vector<uint8_t> a(0x100000), b(0x100000);
  auto t0 = std::chrono::steady_clock::now();
  for (int r = 0; r < 400; ++r) {
    a[r] = uint8_t(r);
    std::memcpy(b.data(), a.data(), a.size());
  }
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("%-66s %8.0f MB/s (%d)\n", "memcpy of 1 MiB (ceiling)", 400 * 1.048576 / s, b[7]);
  return 0;
}
