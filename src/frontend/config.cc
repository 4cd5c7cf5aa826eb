// Configuration file "qn.ini": line reader, number parser, parameter defaults, checks and derived values.
#include <sys/types.h>

#include <cstdio>
#include <cstring>

#include "frontend/frontend.h"

namespace qn::fe {
namespace {

constexpr int kIniLine = 512;
constexpr uint32_t kDefaults[11] = {32, 0, 4, 64, 1, 63, 5, 4, 20, 6, 0};

// Targets outside param.
enum : int { kLanguage = -1, kLogSize = -2, kPassword = -3 };

struct IniKey {
  const char* key;  // exact bytes, "=" included
  int target;       // a ParamSlot or one of the targets above
  int digits;       // digit limit of the value
};

constexpr IniKey kKeys[] = {
    {"block=", kBlock, 6},      {"bwt=", kBwt, 1},       {"cache=", kCache, 6},
    {"cluster=", kCluster, 4},  {"column=", kColumn, 3}, {"esc=", kEsc, 5},
    {"flush=", kFlush, 2},      {"language=", kLanguage, 1}, {"logsize=", kLogSize, 6},
    {"password=", kPassword, 0}, {"pipes=", kPipes, 3},  {"sight=", kSight, 10},
    {"tails=", kTails, 3},      {"volume=", kVolume, 10},
};

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Sets the key's target from value; an unusable value leaves the target as it was.
void setKey(const IniKey& k, const char* value) {
  if (k.target >= 0) {
    getInt(value, &param[k.target], k.digits);
    return;
  }
  if (k.target == kPassword) return;  // the password is asked for at the terminal
  uint32_t v = 0;
  if (!getInt(value, &v, k.digits)) return;
  if (k.target == kLanguage) iLanguage = static_cast<int32_t>(v);
  if (k.target == kLogSize) iLogSize = static_cast<int32_t>(v);
}

// One line of the file: a comment, a known key, or a fatal unknown parameter.
void iniLine(const char* line) {
  if (line[0] == '#') return;
  for (const IniKey& k : kKeys) {
    size_t n = std::strlen(k.key);
    if (std::strncmp(line, k.key, n) == 0) {
      setKey(k, line + n);
      return;
    }
  }
  errf(qn::txt::kUnknownParam, line);
  halt();
}

bool isPowerOfTwo(uint32_t v) {
  if (v == 0) return false;
  while ((v & 1) == 0) v >>= 1;
  return v == 1;
}

// Reports one failed check; returns 0 so that the caller can fold the result.
int fail(const Text& t) {
  err(t.cn, t.en);
  return 0;
}

int failNum(const Text& t, int limit) {
  errf(t, limit);
  return 0;
}

}  // namespace

void initPar() { std::memcpy(param, kDefaults, sizeof param); }

int getLine(FILE* fp, char* buffer, int limit) {
  int c = std::fgetc(fp);
  while (c == '\n' || c == '\r' || c == ' ') c = std::fgetc(fp);
  int n = 0;
  // The buffer holds limit + 8 bytes: stop storing at limit + 7, before the NUL.
  while (c != EOF && c != 255 && c != '\n' && c != '\r') {
    if (n >= limit && (c < 128 || c > 254)) break;  // a GBK pair that straddles the limit stays whole
    buffer[n++] = static_cast<char>(c);
    if (n >= limit + 7) break;                       // full: the next byte starts the next line
    c = std::fgetc(fp);
  }
  buffer[n] = '\0';
  return n;
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

void getIni() {
  if (sFileCfg[0] == '\0') std::strcpy(sFileCfg, "qn.ini");
  FILE* fp = std::fopen(sFileCfg, "rb");
  if (fp == nullptr) {
    errf(qn::txt::kFailOpenCfg, sFileCfg);
    halt();
  }
  fseeko(fp, 0, SEEK_END);
  const int64_t size = ftello(fp);
  fseeko(fp, 0, SEEK_SET);
  char line[kIniLine + 8];
  while (ftello(fp) < size - 3) {
    getLine(fp, line, kIniLine);
    iniLine(line);
  }
  std::fclose(fp);
  if (parOK() == 0) {
    errf(qn::txt::kErrParamFile, sFileCfg);
    halt();
  }
}

int parOK() {
  using namespace qn::txt;
  int ok = 1;
  if (param[kBlock] < 1 || param[kBlock] > 1048576) ok = failNum(kParBlock, 1048576);
  if (param[kBwt] > 1) ok = fail(kParBwt);
  if (param[kCache] < 1 || param[kCache] > 1048571) ok = failNum(kParCache, 1048571);
  if (param[kCluster] < 1 || param[kCluster] > 1024) {
    ok = fail(kParClusterRange);
  } else if (!isPowerOfTwo(param[kCluster])) {
    ok = fail(kParClusterPow2);
  }
  if (param[kColumn] < 1 || param[kColumn] > 128) ok = failNum(kParColumn, 128);
  if (param[kEsc] < 1 || param[kEsc] > 16384) ok = fail(kParEsc);
  if (param[kFlush] < 1 || param[kFlush] > 16) ok = fail(kParFlush);
  if (param[kPipes] < 1 || param[kPipes] > 127) ok = failNum(kParPipes, 127);
  if (static_cast<int32_t>(param[kSight]) < 1) ok = fail(kParSight);
  if (param[kTails] < 3 || param[kTails] > 256) {
    ok = failNum(kParTailsRange, 256);
  } else if (param[kTails] < param[kPipes] + 2) {
    ok = fail(kParTailsPipes);
  }
  if (param[kVolume] % 4 != 0) ok = fail(kParVolume);
  loadPar();
  return ok;
}

void loadPar() {
  iBlock = static_cast<uint64_t>(param[kBlock]) * 1048576;
  iBWT = param[kBwt];
  iCache = static_cast<uint64_t>(param[kCache]) * 1048576;
  iCluster = static_cast<int32_t>(param[kCluster] * 1024);
  iColumn = static_cast<int32_t>(param[kColumn]);
  iEscape = static_cast<int32_t>(param[kEsc]);
  iFlush = static_cast<int32_t>(param[kFlush]);
  iLimit = static_cast<int32_t>(65535 - param[kEsc]);
  iPipes = static_cast<int32_t>(param[kPipes]);
  iSight = static_cast<int32_t>(param[kSight]);
  iVolume = static_cast<int32_t>(param[kVolume]);
  iTails = 0;  // slot 9 is checked but not carried over
  // The ring: 8 MiB, or the smallest power of two of MiB not below cache + 3.
  const uint64_t need = static_cast<uint64_t>(param[kCache]) + 3;
  uint64_t n = 8;
  while (n < need) n <<= 1;
  iMaxBuf = static_cast<int64_t>(n * 1048576);
  iMaxBuf_1 = iMaxBuf - 1;
}

}  // namespace qn::fe
