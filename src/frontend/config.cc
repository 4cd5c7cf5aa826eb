// Configuration file "qn.ini" and parameters (stub, to be written).
#include <cstdlib>
#include "frontend/frontend.h"
namespace qn::fe {
void initPar() { std::abort(); }
void getIni() { std::abort(); }
int getLine(FILE*, char*, int) { std::abort(); }
bool getInt(const char*, uint32_t*, int) { std::abort(); }
int parOK() { std::abort(); }
void loadPar() { std::abort(); }
}  // namespace qn::fe
