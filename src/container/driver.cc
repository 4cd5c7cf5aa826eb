// Extraction driver (stub, to be written).
#include <cstdlib>
#include "container/container.h"
namespace qn::ctr {
void unzipFile() { std::abort(); }
}  // namespace qn::ctr
