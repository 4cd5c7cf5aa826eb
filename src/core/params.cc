// The "qn.ini" keys with their digit limits, the number parser, and the parameter rules:
// range checks and the working values derived from the slots.
#include "core/params.h"

#include <cstring>

namespace qn::core {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool isPowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

}  // namespace

const IniKey* iniKey(const char* line, const char** value) {
  for (const IniKey& k : kIniKeys) {
    size_t n = std::strlen(k.name);
    if (std::strncmp(line, k.name, n) == 0 && line[n] == '=') {
      *value = line + n + 1;
      return &k;
    }
  }
  return nullptr;
}

bool getInt(const char* text, uint32_t* target, int digitLimit) {
  if (digitLimit < 1 || !isDigit(text[0])) return false;
  uint32_t value = 0;
  int i = 0;
  while (i < digitLimit && isDigit(text[i])) {
    value = value * 10 + static_cast<uint32_t>(text[i] - '0');  // wraps in 32 bits
    ++i;
  }
  if (text[i] != '\0') return false;
  *target = value;
  return true;
}

std::vector<ParamFault> checkParams(const uint32_t param[kParamSlots]) {
  using namespace qn::txt;
  std::vector<ParamFault> f;
  // A text that names a limit is formatted with it; the others are shown as they are.
  auto check = [&f](bool bad, const Text& t, int limit = -1) {
    if (!bad) return;
    if (limit < 0)
      f.push_back({t.cn, t.en, t.cnUtf8});
    else
      f.push_back({format(t.cn, limit), format(t.en, limit), format(t.cnUtf8, limit)});
  };
  check(param[kBlock] < 1 || param[kBlock] > 1048576, kParBlock, 1048576);
  check(param[kBwt] > 1, kParBwt);
  check(param[kCache] < 1 || param[kCache] > 1048571, kParCache, 1048571);
  if (param[kCluster] < 1 || param[kCluster] > 1024) {
    check(true, kParClusterRange);
  } else {
    check(!isPowerOfTwo(param[kCluster]), kParClusterPow2);
  }
  check(param[kColumn] < 1 || param[kColumn] > 128, kParColumn, 128);
  check(param[kEsc] < 1 || param[kEsc] > 16384, kParEsc);
  check(param[kFlush] < 1 || param[kFlush] > 16, kParFlush);
  check(param[kPipes] < 1 || param[kPipes] > 127, kParPipes, 127);
  check(static_cast<int32_t>(param[kSight]) < 1, kParSight);
  if (param[kTails] < 3 || param[kTails] > 256) {
    check(true, kParTailsRange, 256);
  } else {
    check(param[kTails] < param[kPipes] + 2, kParTailsPipes);
  }
  check(param[kVolume] % 4 != 0, kParVolume);
  return f;
}

Derived deriveParams(const uint32_t param[kParamSlots]) {
  Derived d{};
  d.iBlock = static_cast<uint64_t>(param[kBlock]) * kMiB;
  d.iBWT = param[kBwt];
  d.iCache = static_cast<uint64_t>(param[kCache]) * kMiB;
  d.iCluster = static_cast<int32_t>(param[kCluster] * 1024);
  d.iColumn = static_cast<int32_t>(param[kColumn]);
  d.iEscape = static_cast<int32_t>(param[kEsc]);
  d.iFlush = static_cast<int32_t>(param[kFlush]);
  d.iLimit = static_cast<int32_t>(kTableMax - param[kEsc]);
  d.iPipes = static_cast<int32_t>(param[kPipes]);
  d.iSight = static_cast<int32_t>(param[kSight]);
  d.iVolume = static_cast<int32_t>(param[kVolume]);
  d.iTails = 0;  // slot 9 is checked but not carried over
  // The ring: 8 MiB, or the smallest power of two of MiB not below cache + 3.
  const uint64_t need = static_cast<uint64_t>(param[kCache]) + kRingSpareMiB;
  uint64_t n = kMinRingMiB;
  while (n < need) n <<= 1;
  d.iMaxBuf = static_cast<int64_t>(n * kMiB);
  d.iMaxBuf_1 = d.iMaxBuf - 1;
  return d;
}

}  // namespace qn::core
