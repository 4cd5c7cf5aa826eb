// Output thread and block writer (stub, to be written).
#include <cstdlib>
#include "index/index.h"
namespace qn::idx {
void outstream() { std::abort(); }
void writeBlk(const uint8_t*, int64_t) { std::abort(); }
}  // namespace qn::idx
