// Adaptive frequency tables: their initial contents.
#include "core/model.h"

#include <cstring>

namespace qn::core {

namespace {

// All counts 0, then the escape leaf and its ancestors hold esc: every symbol unseen.
template <int A>
void startUnseen(uint16_t* t, uint32_t esc) {
  std::memset(t, 0, sizeof(uint16_t) * 2 * A);
  for (int n = 2 * A - 1; n >= 1; n >>= 1) t[n] = uint16_t(esc);
}

}  // namespace

void Model::init() {
  for (int k = 0; k < 4; ++k) {  // table k: symbols 0..k + 1 live, count 1 each
    std::memset(aIdx3[k], 0, sizeof aIdx3[k]);
    for (int n = kLeaves3; n <= kLeaves3 + k + 1; ++n) aIdx3[k][n] = 1;
    rebuildNodes<kLeaves3>(aIdx3[k]);
  }
  for (auto& t : aIdx4) startUnseen<kLeaves4>(t, esc);
  for (auto& t : aIdx5) startUnseen<kLeaves5>(t, esc);
  for (auto& t : aIdx8) t[1] = 0;  // derived from table 5 at first use
  startUnseen<kLeaves8>(aIdx8[kSeedTable], esc);
}

}  // namespace qn::core
