// Forward block transform (stub, to be written).
#include <cstdlib>
#include "compressor/bwt_forward.h"
namespace qn::zip {
uint64_t bwtForward(const uint8_t*, uint8_t*, uint64_t) { std::abort(); }
}  // namespace qn::zip
