// The index XML grammar: line reader, parameter element names, and element writing.
#include "core/index_xml.h"

namespace qn::core {

int getLine(FILE* fp, char* buffer, int limit) {
  int c = std::fgetc(fp);
  while (c == '\n' || c == '\r' || c == ' ') c = std::fgetc(fp);
  int n = 0;
  // The buffer holds limit + 8 bytes: stop storing at limit + 7, before the NUL.
  while (c != EOF && c != 255 && c != '\n' && c != '\r') {
    if (n >= limit && (c < 128 || c > 254)) break;  // a GBK pair that straddles the limit stays whole
    buffer[n++] = static_cast<char>(c);
    if (n >= limit + kLineSpare - 1) break;          // full: the next byte starts the next line
    c = std::fgetc(fp);
  }
  buffer[n] = '\0';
  return n;
}

void xmlElement(std::string& out, const char* indent, const char* tag, const std::string& value) {
  out += indent;
  out += "<";
  out += tag;
  out += ">";
  out += value;
  out += "</";
  out += tag;
  out += ">\n";
}

}  // namespace qn::core
