// Block (BWT) path: collector and inverse transform (stub, to be written).
#include <cstdlib>
#include "reconstruct/reconstruct.h"
namespace qn::rec {
void initBwt() {}
void outblock() { std::abort(); }
int64_t outBlk() { std::abort(); }
void outbwt() { std::abort(); }
void outBwtBlk(int) { std::abort(); }
}  // namespace qn::rec
