// Fuzz target: the inverse block transform of any block with any start index, by both
// walks; they must agree on the status and, when it succeeds, on every byte.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/bwt.h"

namespace {

using namespace qn::core;

struct Work {
  std::vector<uint64_t> link;
  uint64_t* keys = static_cast<uint64_t*>(std::calloc(kBwtKeys, sizeof(uint64_t)));
  std::vector<uint64_t> pairs = std::vector<uint64_t>(kBwtPairs);
  ~Work() { std::free(keys); }
  BwtWork for_(uint64_t n, uint64_t denseMax) {
    if (link.size() < bwtLinkSubs(n) * kBwtLinkSub) link.resize(bwtLinkSubs(n) * kBwtLinkSub);
    return {link.data(), link.size(), keys, pairs.data(), reinterpret_cast<uint32_t*>(keys), denseMax};
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Work work;
  if (size < 4 + kBwtStoredMax + 1) return 0;
  uint32_t start;
  std::memcpy(&start, data, 4);
  const uint64_t n = size - 4;
  std::vector<uint8_t> narrow(data + 4, data + size), wide = narrow;
  const BwtStatus a = bwtInverse(narrow.data(), n, start % (n + 2), work.for_(n, kBwtDenseMax));
  const BwtStatus b = bwtInverse(wide.data(), n, start % (n + 2), work.for_(n, 0));
  if (a != b || (a == BwtStatus::kOk && narrow != wide)) std::abort();
  return 0;
}
