// Coder reset, password priming and the input thread (stub, to be written).
#include <cstdlib>
#include "decoder/decoder.h"
namespace qn::dec {
void syncInit() { std::abort(); }
void syncUnzip(int) { std::abort(); }
void inzip() { std::abort(); }
}  // namespace qn::dec
