// Password entry at the terminal (stub, to be written).
#include <cstdlib>
#include "frontend/frontend.h"
namespace qn::fe {
void pwdIn() { std::abort(); }
int32_t keyIn(uint8_t*, int32_t, int) { std::abort(); }
int getch() { std::abort(); }
}  // namespace qn::fe
