// Instruction interpreter and the instruction thread (stub, to be written).
#include <cstdlib>
#include "reconstruct/reconstruct.h"
namespace qn::rec {
void incmd() { std::abort(); }
int32_t unzip() { std::abort(); }
}  // namespace qn::rec
