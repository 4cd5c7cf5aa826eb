// Destination files: the index parser getWriteFile (stub, to be written).
#include <cstdlib>
#include "index/index.h"
namespace qn::idx {
int32_t getWriteFile() { std::abort(); }
}  // namespace qn::idx
