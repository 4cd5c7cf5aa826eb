// Index XML line reader and value parsers (stub, to be written).
#include <cstdlib>
#include "index/index.h"
namespace qn::idx {
void getXmlLine(char*) { std::abort(); }
uint64_t getXmlInt(char*) { std::abort(); }
uint64_t getXmlHex(char*) { std::abort(); }
char* getXmlStr(char*) { std::abort(); }
void errXml(const char*) { std::abort(); }
}  // namespace qn::idx
