// quarnzip's command line and "qn.ini": options, parameter defaults, level presets and checks.
#include "quarnzip/options.h"

#include <sched.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/index_xml.h"
#include "core/params.h"
#include "core/terminal.h"
#include "quarnzip/match_tree.h"
#include "quarnzip/report.h"

namespace qn::zip {
namespace {

constexpr uint32_t kMaxSafeEsc = 63;  // larger escapes can break the shared tables
constexpr size_t kMaxPassword = 64;

using Key = core::IniKey;

// A parameter's value on the command line: digits only, as many as given (a range such as
// block's 1-1048576 needs more digits than qn.ini's limit). A number beyond 32 bits is held
// as 2^32 - 1, outside every parameter's range: it gets the range message instead of
// wrapping into the range.
bool optionValue(const char* text, uint32_t* target) {
  if (!*text) return false;
  uint64_t v = 0;
  for (const char* p = text; *p; ++p) {
    if (*p < '0' || *p > '9') return false;
    v = std::min<uint64_t>(v * 10 + static_cast<uint64_t>(*p - '0'), UINT32_MAX);
  }
  *target = static_cast<uint32_t>(v);
  return true;
}

// Stores a number into a key's target; false when the text is not a number of its digits
// (qn.ini, and the message settings) or not a number at all (a parameter's option).
bool setNumber(Options& o, const Key& k, const char* text, bool option = false) {
  uint32_t v = 0;
  if (!(option && k.target >= 0 ? optionValue(text, &v) : core::getInt(text, &v, k.digits))) return false;
  if (k.target == core::kKeyLanguage) {
    reportState().language = static_cast<int32_t>(v);
  } else if (k.target == core::kKeyLogSize) {
    reportState().logSize = static_cast<int32_t>(v);
  } else {
    o.param[k.target] = v;
    o.given[k.target] = true;
  }
  return true;
}

// One line of qn.ini; false for a line that is neither a comment nor a key.
bool iniLine(Options& o, const char* line) {
  if (line[0] == '#') return true;
  const char* value = nullptr;
  const Key* k = core::iniKey(line, &value);
  if (!k) return false;
  if (k->target == core::kKeyPassword) {
    if (*value) {
      o.password = true;
      o.passwordText = value;
    }
  } else {
    setNumber(o, *k, value);  // an unusable value keeps the default, as the decompressor does
  }
  return true;
}

const Key* optionKey(const char* name) {
  for (const Key& k : core::kIniKeys)
    if (std::strcmp(name, k.name) == 0 && k.target != core::kKeyPassword) return &k;
  return nullptr;
}

}  // namespace

bool checkParams(const uint32_t param[core::kParamSlots]) {
  const auto faults = core::checkParams(param);
  for (const core::ParamFault& f : faults) err(f.cn.c_str(), f.en.c_str(), f.cnUtf8.c_str());
  return faults.empty();
}

LevelPreset levelPreset(int level) {
  // sight, pipes, tails, cache, optimal, key, binaryKey: levels 1 to 9 (docs/quarnzip.md shows
  // the same table). Levels 4 to 9 parse optimally. The walks of levels 4 to 6 (two, four
  // and twelve nodes) are too short to pass the many positions of text that share a short
  // key: their trees are keyed on eight bytes for text. Machine code keys on six at levels 4
  // and 5, on five from level 6 (docs/decisions.md).
  static constexpr LevelPreset kPresets[9] = {
      {2, 1, 3, 4, false, 4, 4},   {4, 1, 4, 4, false, 4, 4},   {8, 2, 4, 4, false, 4, 4},
      {2, 1, 4, 4, true, 8, 6},    {4, 1, 4, 16, true, 8, 6},   {12, 1, 4, 61, true, 8, 5},
      {16, 1, 5, 61, true, 6, 5},  {24, 1, 6, 61, true, 6, 5},  {48, 1, 8, 61, true, 6, 5},
  };
  return kPresets[std::clamp(level, 1, 9) - 1];
}

bool searchFollowsData(int level) { return levelPreset(level).optimal; }

LevelPreset levelPreset(int level, bool manyContexts) {
  // Binary data's matches are short and near: at levels 6 to 9 its trees are keyed on five
  // bytes (six lose matches of four and five: 0.5% larger at level 9 on a tar of shared
  // libraries, 0.4% at level 6), and at level 6 32 MiB of history instead of 61 save 45% of
  // the memory and a sixth of the time for 0.5% in size (docs/compression-history.md).
  LevelPreset p = levelPreset(level);
  if (!manyContexts || !p.optimal) return p;
  p.key = p.binaryKey;
  if (level == 6) p.cache = 32;
  return p;
}

void applyPreset(Options& o, const LevelPreset& p) {
  if (!o.given[core::kSight]) o.param[core::kSight] = p.sight;
  if (!o.given[core::kPipes]) o.param[core::kPipes] = p.pipes;
  if (!o.given[core::kTails]) o.param[core::kTails] = p.tails;
  if (!o.given[core::kCache]) o.param[core::kCache] = p.cache;
  o.key = p.key;
}

bool readIni(Options& o) {
  std::memcpy(o.param, core::kParamDefaults, sizeof core::kParamDefaults);
  FILE* fp = std::fopen("qn.ini", "rb");
  if (!fp) return true;  // optional for the compressor
  struct stat st {};
  fstat(fileno(fp), &st);
  char line[core::kIniLine + core::kLineSpare];
  bool ok = true;
  while (std::ftell(fp) < st.st_size - 3) {
    core::getLine(fp, line, core::kIniLine);
    if (!iniLine(o, line)) {
      errf(txt::kUnknownParam, line);
      ok = false;
    }
  }
  std::fclose(fp);
  if (!ok) errf(txt::kErrParamFile, "qn.ini");
  return ok;
}

bool parseArgs(Options& o, int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (a[0] != '-' || a[1] == 0) {
      (o.archive.empty() ? o.archive : o.paths.emplace_back()) = a;
      continue;
    }
    if (a[1] >= '1' && a[1] <= '9' && a[2] == 0) {
      o.level = a[1] - '0';
    } else if (!std::strncmp(a, "-T", 2) || !std::strncmp(a, "--threads", 9)) {
      // -T N, -TN, --threads N, --threads=N
      const char* v = a[1] == 'T' ? a + 2 : a + 9;
      if (*v == '=' && a[1] == '-') ++v;
      else if (*v != 0 && a[1] == '-') return errf(txt::kZipBadOption, a), false;
      if (*v == 0) v = i + 1 < argc ? argv[++i] : "";
      char* stop = nullptr;
      const long n = std::strtol(v, &stop, 10);
      if (*v < '0' || *v > '9' || *stop != 0 || n > 1 << 20) return errf(txt::kZipBadValue, a), false;
      o.threads = int(n);
    } else if (!std::strcmp(a, "-l") || !std::strcmp(a, "--list")) {
      o.list = true;
    } else if (!std::strcmp(a, "-t") || !std::strcmp(a, "--test")) {
      o.test = true;
    } else if (!std::strcmp(a, "-f") || !std::strcmp(a, "--force")) {
      o.force = true;
    } else if (!std::strcmp(a, "-q") || !std::strcmp(a, "--quiet")) {
      o.progress = ProgressMode::kOff;
    } else if (!std::strcmp(a, "-v") || !std::strcmp(a, "--verbose")) {
      o.progress = ProgressMode::kOn;
    } else if (!std::strcmp(a, "-h") || !std::strcmp(a, "--help")) {
      o.help = true;
    } else if (!std::strcmp(a, "--version")) {
      o.version = true;
    } else if (!std::strcmp(a, "--password")) {
      o.password = true;
      o.passwordText.clear();
    } else if (!std::strncmp(a, "--password=", 11)) {
      o.password = true;
      o.passwordText = a + 11;
      if (o.passwordText.empty()) return errf(txt::kZipBadPassword), false;
    } else if (!std::strcmp(a, "--index-in") || !std::strcmp(a, "--source")) {
      if (i + 1 >= argc) return errf(txt::kZipBadValue, a), false;
      (a[2] == 'i' ? o.indexIn : o.sourceDir) = argv[++i];
    } else {
      // --key N or --key=N for every numeric key of qn.ini.
      std::string name = a + 2;
      std::string value;
      size_t eq = name.find('=');
      if (eq != std::string::npos) {
        value = name.substr(eq + 1);
        name.resize(eq);
      } else if (i + 1 < argc) {
        value = argv[++i];
      }
      const Key* k = a[1] == '-' ? optionKey(name.c_str()) : nullptr;
      if (!k) return errf(txt::kZipBadOption, a), false;
      if (!setNumber(o, *k, value.c_str(), true)) return errf(txt::kZipBadValue, a), false;
    }
  }
  return true;
}

bool finishParams(Options& o) {
  applyPreset(o, levelPreset(o.level));
  bool ok = checkParams(o.param);  // the decompressor's own checks and messages
  if (o.param[core::kEsc] > kMaxSafeEsc && o.param[core::kEsc] <= 16384) {
    errf(txt::kZipEscHigh);
    ok = false;
  }
  return ok;
}

int threadCount(int asked) {
  int n = asked;
  if (n == 0) {
    cpu_set_t cpus;
    n = sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 1;
  }
  return std::clamp(n, 1, MatchTree::kMaxThreads);
}

bool settlePassword(Options& o) {
  if (!o.password) return true;
  if (o.passwordText.empty()) {
    msgf(txt::kPwdPrompt);
    std::fflush(stdout);
    uint8_t buf[kMaxPassword + 8] = {};
    int32_t n = core::keyIn(buf, static_cast<int32_t>(kMaxPassword), 1);
    std::printf("\n");
    o.passwordText.assign(reinterpret_cast<char*>(buf), n > 0 ? static_cast<size_t>(n) : 0);
  }
  bool ok = !o.passwordText.empty() && o.passwordText.size() <= kMaxPassword;
  for (unsigned char c : o.passwordText) ok = ok && c < 128;
  if (!ok) errf(txt::kZipBadPassword);
  return ok;
}

}  // namespace qn::zip
