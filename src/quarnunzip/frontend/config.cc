// Configuration file "qn.ini": reading it, and the parameter checks and derived values in place.
#include <sys/types.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "frontend/frontend.h"

namespace qn::fe {
namespace {

// Sets the key's target from value; an unusable value leaves the target as it was.
void setKey(const core::IniKey& k, const char* value) {
  if (k.target >= 0) {
    getInt(value, &param[k.target], k.digits);
    return;
  }
  if (k.target == core::kKeyPassword) return;  // the password is asked for at the terminal
  uint32_t v = 0;
  if (!getInt(value, &v, k.digits)) return;
  if (k.target == core::kKeyLanguage) iLanguage = static_cast<int32_t>(v);
  if (k.target == core::kKeyLogSize) iLogSize = static_cast<int32_t>(v);
}

// One line of the file: a comment, a known key, or a fatal unknown parameter.
void iniLine(const char* line) {
  if (line[0] == '#') return;
  const char* value = nullptr;
  if (const core::IniKey* k = core::iniKey(line, &value)) {
    setKey(*k, value);
    return;
  }
  errf(qn::txt::kUnknownParam, line);
  halt();
}

}  // namespace

void initPar() { std::memcpy(param, core::kParamDefaults, sizeof param); }

void getIni() {
  if (sFileCfg[0] == '\0') std::strcpy(sFileCfg, "qn.ini");
  // Closed however the reading ends (a host that outlives a fatal stop gets it back).
  const std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(sFileCfg, "rb"), std::fclose);
  FILE* fp = file.get();
  if (fp == nullptr) {
    errf(qn::txt::kFailOpenCfg, sFileCfg);
    halt();
  }
  fseeko(fp, 0, SEEK_END);
  const int64_t size = ftello(fp);
  fseeko(fp, 0, SEEK_SET);
  char line[core::kIniLine + core::kLineSpare];
  while (ftello(fp) < size - 3) {
    getLine(fp, line, core::kIniLine);
    iniLine(line);
  }
  if (parOK() == 0) {
    errf(qn::txt::kErrParamFile, sFileCfg);
    halt();
  }
}

// Reports every failed check, then derives the values.
int parOK() {
  const auto faults = core::checkParams(param);
  for (const core::ParamFault& f : faults) err(f.cn.c_str(), f.en.c_str());
  loadPar();
  return faults.empty() ? 1 : 0;
}

void loadPar() {
  const core::Derived d = core::deriveParams(param);
  iBlock = d.iBlock, iBWT = d.iBWT, iCache = d.iCache;
  iCluster = d.iCluster, iColumn = d.iColumn, iEscape = d.iEscape, iFlush = d.iFlush;
  iLimit = d.iLimit, iPipes = d.iPipes, iSight = d.iSight, iVolume = d.iVolume, iTails = d.iTails;
  iMaxBuf = d.iMaxBuf, iMaxBuf_1 = d.iMaxBuf_1;
}

}  // namespace qn::fe
