// Front end: process-wide state and routines of start-up, messages, error log,
// configuration ("qn.ini", parameters) and password entry.
#pragma once
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace qn::fe {

// ---- Start-up and command line ----
inline constexpr int kPathBuf = 260;      // path buffers: 255 characters, a "/" and NUL
inline char sFileZip[kPathBuf];           // archive path, backslashes turned into "/"
inline char sFileXml[kPathBuf];           // index XML path
inline char sBaseDir[kPathBuf];           // destination prefix ("" or ending in "/"), or "-xml"
inline int64_t sTime = 0;                 // start of decoding; elapsed seconds at the end
inline int32_t iTagGet = 0;               // files decompressed (counted by the index reader)
inline uint64_t iTotalSize = 0;           // bytes written into destination files
inline int32_t iError = 0;                // 1 once err() has reported anything (set under the message lock)

// ---- Messages and error log ----
inline int32_t iLanguage = 0;             // 1 Chinese, 2 English, anything else both
inline int32_t iLogSize = 1000;           // rotate the log at iLogSize * 1024 bytes
inline constexpr const char* kLogName = "qn_error.log";
inline constexpr const char* kLogBak = "qn_error.bak";
inline constexpr int kFmtBuf = 65536;     // bound of one formatted message text
// Serialises formatting, console output, the log append and iError, across all threads.
inline std::mutex mutexMsg;

// ---- Configuration and parameters ----
enum ParamSlot : int { kBlock = 0, kBwt, kCache, kCluster, kColumn, kEsc, kFlush, kPipes, kSight, kTails, kVolume };
inline uint32_t param[11];
inline char sFileCfg[kPathBuf];
// Working values derived from param by loadPar().
inline uint64_t iBlock = 0, iBWT = 0, iCache = 0;
inline int32_t iCluster = 0, iColumn = 0, iEscape = 0, iFlush = 0, iLimit = 0;
inline int32_t iPipes = 0, iSight = 0, iVolume = 0, iTails = 0;
inline int64_t iMaxBuf = 0, iMaxBuf_1 = 0;

// ---- Password ----
inline uint8_t bufPwd[68];
inline int32_t iPwdLen = 0;

// ---- A message pair: GBK Chinese text and ASCII English text ----
struct Text {
  const char* cn;
  const char* en;
};

// msg: console only, no line feed, no flush. err: console + log, sets iError.
// halt: "see the log" message and exit status 1, from any thread.
void msg(const char* cn, const char* en);
void err(const char* cn, const char* en);
[[noreturn]] void halt();

// Both texts formatted with the same arguments (printf style).
void msgf(const Text& t, ...);
void errf(const Text& t, ...);
// printf into a std::string, for pairs whose Chinese text takes other arguments.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Start-up (program entry lives in main.cc and calls run()).
int run(int argc, char** argv);
void mainInit(int argc, char** argv);
[[noreturn]] void help();

// Configuration.
void initPar();
void getIni();
int getLine(FILE* fp, char* buffer, int limit);   // buffer needs limit + 8 bytes; returns bytes stored
bool getInt(const char* text, uint32_t* target, int digitLimit);
int parOK();
void loadPar();

// Password entry.
void pwdIn();
int32_t keyIn(uint8_t* buffer, int32_t limit, int maskFlag);
int getch();

}  // namespace qn::fe

// The message table, generated from texts.def.
namespace qn::txt {
#define QN_TEXT(name, en, cn) extern const qn::fe::Text name;
#include "frontend/texts.def"
#undef QN_TEXT
}  // namespace qn::txt
