// Archive container: chunk reading, sums and volume files (stub, to be written).
#include <cstdlib>
#include "container/container.h"
namespace qn::ctr {
void zipFileRead(uint8_t*, uint32_t) { std::abort(); }
}  // namespace qn::ctr
