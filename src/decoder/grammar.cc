// Data-stream symbol grammar: binUnzip (stub, to be written).
#include <cstdlib>
#include "decoder/decoder.h"
namespace qn::dec {
int32_t binUnzip() { std::abort(); }
}  // namespace qn::dec
