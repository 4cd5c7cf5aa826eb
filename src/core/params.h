// The "qn.ini" keys with their digit limits, the number parser, and the parameter rules:
// range checks and the working values derived from the slots.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "core/format.h"
#include "core/texts.h"

namespace qn::core {

// Targets of a key outside the parameter slots.
enum : int { kKeyLanguage = -1, kKeyLogSize = -2, kKeyPassword = -3 };

struct IniKey {
  const char* name;  // the key without "=" (quarnzip's option "--name" too)
  int target;        // a ParamSlot or one of the targets above
  int digits;        // digit limit of the value
};

inline constexpr IniKey kIniKeys[] = {
    {"block", kBlock, 6},       {"bwt", kBwt, 1},           {"cache", kCache, 6},
    {"cluster", kCluster, 4},   {"column", kColumn, 3},     {"esc", kEsc, 5},
    {"flush", kFlush, 2},       {"language", kKeyLanguage, 1}, {"logsize", kKeyLogSize, 6},
    {"password", kKeyPassword, 0}, {"pipes", kPipes, 3},    {"sight", kSight, 10},
    {"tails", kTails, 3},       {"volume", kVolume, 10},
};

// The key a "qn.ini" line sets ("name=" at its start), and its value; null for none.
const IniKey* iniKey(const char* line, const char** value);

// Digits only, at most digitLimit of them, up to the end of the text; wraps in 32 bits.
// False (target untouched) for anything else.
bool getInt(const char* text, uint32_t* target, int digitLimit);

// One failed parameter check: its message pair, with the limit it names filled in.
struct ParamFault {
  std::string cn, en, cnUtf8;
};
// Every failed check of the slots, in the order they are made.
std::vector<ParamFault> checkParams(const uint32_t param[kParamSlots]);

// The working values derived from the slots.
struct Derived {
  uint64_t iBlock, iBWT, iCache;
  int32_t iCluster, iColumn, iEscape, iFlush, iLimit, iPipes, iSight, iVolume, iTails;
  int64_t iMaxBuf, iMaxBuf_1;
};
Derived deriveParams(const uint32_t param[kParamSlots]);

}  // namespace qn::core
