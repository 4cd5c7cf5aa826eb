// Adaptive frequency tables (stub, to be written).
#include <cstdlib>
#include "decoder/model.h"
namespace qn::dec {
void Model::init() { std::abort(); }
}  // namespace qn::dec
