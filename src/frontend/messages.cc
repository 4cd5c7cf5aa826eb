// Bilingual messages, error log and fatal stop (stub, to be written).
#include <cstdlib>
#include "frontend/frontend.h"
namespace qn::fe {
void msg(const char*, const char*) { std::abort(); }
void err(const char*, const char*) { std::abort(); }
void halt() { std::abort(); }
void msgf(const Text&, ...) { std::abort(); }
void errf(const Text&, ...) { std::abort(); }
std::string format(const char*, ...) { std::abort(); }
}  // namespace qn::fe
