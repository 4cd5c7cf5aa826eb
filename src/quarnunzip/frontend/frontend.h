// Front end: process-wide state and routines of start-up, messages, error log,
// configuration ("qn.ini", parameters) and password entry.
#pragma once
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "core/format.h"
#include "core/index_xml.h"
#include "core/log.h"
#include "core/params.h"
#include "core/terminal.h"
#include "core/texts.h"

namespace qn::fe {

// ---- Start-up and command line ----
using core::kPathBuf;
inline char sFileZip[kPathBuf];           // archive path, backslashes turned into "/"
inline char sFileXml[kPathBuf];           // index XML path
inline char sBaseDir[kPathBuf];           // destination prefix ("" or ending in "/"), or "-xml"
inline int64_t sTime = 0;                 // start of decoding; elapsed seconds at the end
inline int32_t iTagGet = 0;               // files decompressed (counted by the index reader)
inline uint64_t iTotalSize = 0;           // bytes written into destination files
inline bool bProgress = true;             // the decoder's progress lines on stdout (quarnzip -l, -t: a choice)
inline int32_t iError = 0;                // 1 once err() has reported anything (set under the message lock)

// ---- Messages and error log ----
inline int32_t iLanguage = 0;             // 1 Chinese, 2 English, anything else both
inline int32_t iLogSize = 1000;           // rotate the log at iLogSize * 1024 bytes
// Serialises formatting, console output, the log append and iError, across all threads.
inline std::mutex mutexMsg;

// ---- Configuration and parameters ----
using core::ParamSlot;
using enum core::ParamSlot;
inline uint32_t param[core::kParamSlots];
inline char sFileCfg[kPathBuf];
// Working values derived from param by loadPar().
inline uint64_t iBlock = 0, iBWT = 0, iCache = 0;
inline int32_t iCluster = 0, iColumn = 0, iEscape = 0, iFlush = 0, iLimit = 0;
inline int32_t iPipes = 0, iSight = 0, iVolume = 0, iTails = 0;
inline int64_t iMaxBuf = 0, iMaxBuf_1 = 0;

// ---- Password ----
inline uint8_t bufPwd[68];
inline int32_t iPwdLen = 0;

using core::kFmtBuf;
using core::kLogBak;
using core::kLogName;
using core::Text;
using core::format;

// msg: console only, no line feed, no flush. err: console + log, sets iError.
// halt: "see the log" message and exit status 1, from any thread.
// A host that must outlive a fatal stop (a fuzz target) sets haltHook: halt() calls it after
// the message instead of ending the process. The hook must not return.
inline void (*haltHook)() = nullptr;
void msg(const char* cn, const char* en);
void err(const char* cn, const char* en);
[[noreturn]] void halt();

// Both texts formatted with the same arguments (printf style); the pair goes by value, as
// va_start needs.
void msgf(Text t, ...);
void errf(Text t, ...);

// Start-up: the command line.
void mainInit(int argc, char** argv);
// Copies one path argument; 256 characters or more stop the run.
void copyArg(char* dest, const char* arg);
// Backslashes become "/".
void slashes(char* s);
[[noreturn]] void help();

// Configuration.
void initPar();
void getIni();
using core::getInt;
using core::getLine;
int parOK();
void loadPar();

// Password entry.
void pwdIn();
using core::getch;
using core::keyIn;

}  // namespace qn::fe

