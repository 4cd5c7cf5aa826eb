// The index XML grammar: line reader, parameter element names, and element writing.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

#include "core/format.h"

namespace qn::core {

// Reads one line: skips line ends and blanks before it, ends at LF, CR, byte 255 or the end
// of the file. After limit stored bytes it ends before any byte outside 128..254 (a GBK pair
// that straddles the limit stays whole), and at limit + 7 bytes in any case. The buffer holds
// limit + kLineSpare bytes; returns the bytes stored.
int getLine(FILE* fp, char* buffer, int limit);

// The parameter slots an index states in its <parameter> block, with their element names.
struct ParamElement {
  const char* name;
  int slot;
};
inline constexpr ParamElement kParamElements[] = {
    {"block", kBlock}, {"bwt", kBwt},     {"cache", kCache}, {"cluster", kCluster},
    {"esc", kEsc},     {"flush", kFlush}, {"sight", kSight}, {"volume", kVolume},
};
inline constexpr const char* kIndexHead = "<?xml version=";  // every index begins so
inline constexpr const char* kIndexVersion = "v4";

// Appends "indent<tag>value</tag>\n".
void xmlElement(std::string& out, const char* indent, const char* tag, const std::string& value);

}  // namespace qn::core
