// Fuzz target: the inverse block transform of any block with any start index, by both
// walks; they must agree on the status and, when it succeeds, on every byte.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/bwt.h"

namespace {

using namespace qn::core;

struct Work {
  std::vector<uint64_t*> subs;
  uint64_t* keys = static_cast<uint64_t*>(std::calloc(kBwtKeys, sizeof(uint64_t)));
  std::vector<uint64_t> pairs = std::vector<uint64_t>(kBwtPairs);
  ~Work() {
    for (uint64_t* s : subs) delete[] s;
    std::free(keys);
  }
  BwtWork for_(uint64_t n, uint64_t packMax) {
    while (subs.size() < bwtLinkSubs(n)) subs.push_back(new uint64_t[kBwtLinkSub]);
    return {subs.data(), subs.size(), keys, pairs.data(), packMax};
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Work work;
  if (size < 4 + kBwtStoredMax + 1) return 0;
  uint32_t start;
  std::memcpy(&start, data, 4);
  const uint64_t n = size - 4;
  std::vector<uint8_t> compact(data + 4, data + size), wide = compact;
  const BwtStatus a = bwtInverse(compact.data(), n, start % (n + 2), work.for_(n, kBwtPackMax));
  const BwtStatus b = bwtInverse(wide.data(), n, start % (n + 2), work.for_(n, 0));
  if (a != b || (a == BwtStatus::kOk && compact != wide)) std::abort();
  return 0;
}
