// Input stream ring (stub, to be written).
#include <cstdlib>
#include "container/container.h"
namespace qn::ctr {
void initStreamUnzip(const char*) { std::abort(); }
void inStreamUnzip(uint8_t*, int32_t) { std::abort(); }
void flushStreamUnzip(uint32_t) { std::abort(); }
}  // namespace qn::ctr
