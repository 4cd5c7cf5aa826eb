// Start-up, command line and run summary (stub, to be written).
#include <cstdlib>
#include "frontend/frontend.h"
namespace qn::fe {
int run(int, char**) { std::abort(); }
void mainInit(int, char**) { std::abort(); }
void help() { std::abort(); }
}  // namespace qn::fe
