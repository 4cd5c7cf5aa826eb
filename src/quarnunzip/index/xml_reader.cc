// Index XML line reader and value parsers: one element per line, values between ">" and "<".
#include <cstring>
#include <string>

#include "container/container.h"
#include "frontend/frontend.h"
#include "index/index.h"

namespace qn::idx {

namespace {

// The value of an element line begins after the first ">" from the line's second byte on;
// null when the line has none.
char* valueStart(char* line) {
  if (line[0] == '\0') return nullptr;
  char* gt = std::strchr(line + 1, '>');
  return gt ? gt + 1 : nullptr;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int decDigit(char c) { return (c >= '0' && c <= '9') ? c - '0' : -1; }

// Digits in the given base up to the first other byte, which must be "<"; wraps at 64 bits.
uint64_t parseValue(char* line, uint64_t base, int (*digit)(char)) {
  char* p = valueStart(line);
  if (!p) {
    errXml(line);
    return 0;
  }
  uint64_t value = 0;
  for (int dg; (dg = digit(*p)) >= 0; ++p) value = value * base + static_cast<uint64_t>(dg);
  if (*p != '<') errXml(line);
  return value;
}

}  // namespace

void getXmlLine(char* buffer) {
  for (;;) {
    buffer[0] = '\0';
    const int64_t pos = ftello(fpXml);
    if (pos < 0 || pos > static_cast<int64_t>(ctr::fLenXml) - 3) return;
    // A file shorter than the header says ends the index where the file ends.
    if (std::feof(fpXml)) return;
    fe::getLine(fpXml, buffer, kXmlLine);
    ++iXmlLine;
    if (buffer[0] == '<') return;
    errXml(buffer);
  }
}

uint64_t getXmlInt(char* line) { return parseValue(line, 10, decDigit); }

uint64_t getXmlHex(char* line) { return parseValue(line, 16, hexDigit); }

char* getXmlStr(char* line) {
  char* start = valueStart(line);
  if (!start) {
    errXml(line);
    return line + std::strlen(line);
  }
  char* lt = std::strchr(start, '<');
  if (lt)
    *lt = '\0';
  else
    errXml(line);
  return start;
}

void errXml(const char* text) {
  const auto& t = txt::kInvalidXmlData;
  // The Chinese text names the file before the line number.
  const std::string en = fe::format(t.en, text, iXmlLine, fe::sFileXml);
  const std::string cn = fe::format(t.cn, text, fe::sFileXml, iXmlLine);
  fe::err(cn.c_str(), en.c_str());
}

}  // namespace qn::idx
