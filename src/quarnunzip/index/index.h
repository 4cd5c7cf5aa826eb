// Index XML and output files: process-wide state of the index reader, the destination
// file table and the output thread.
#pragma once
#include <cstdint>
#include <cstdio>

#include "core/format.h"

namespace qn::idx {

// ---- Index XML reader ----
inline FILE* fpOut = nullptr;     // index XML file being written (pass one)
inline FILE* fpXml = nullptr;     // index XML file being read (pass two); null in pass one
inline int32_t iXmlLine = 0;
inline char zipVer[5];
// Listing and testing (quarnzip -l, -t): the index pass writes into an unnamed file, kept
// open for the data pass, and the data pass makes no directory and no file.
inline bool bCheckOnly = false;
inline FILE* fpXmlKept = nullptr;

// ---- Destination files ----
// The file table and its counters belong to the thread that runs the index parser: the main
// thread before the data pass starts, then the output thread; they need no lock.
struct FileRec {
  FILE* fp;
  int64_t lenLeft;     // bytes still to come
  int64_t tFile;       // modification time, seconds since the epoch
  char sName[260];     // full destination name, at most 256 bytes
  bool toNull;         // bytes go to the null device: no time is set at completion
};
inline constexpr int32_t kMaxFiles = 128;   // records of arrFile
using core::kXmlLine;                       // longest index line; line buffers hold 520 bytes
inline FileRec arrFile[kMaxFiles];
inline int32_t iCol = 0;        // records in use: 0 .. iCol - 1
inline int32_t iFileCur = 0;    // the record whose turn it is
inline int32_t iFiles = 0;      // files the archive block announces

// ---- Output thread ----
inline uint8_t* bufOutStream = nullptr;
inline int64_t lenOutStream = 0;   // lengths of pieces are carried in 64 bits

void getXmlLine(char* buffer);
uint64_t getXmlInt(char* line);
uint64_t getXmlHex(char* line);
char* getXmlStr(char* line);
void errXml(const char* text);
int32_t getWriteFile();
// Closes a record's file and gives it its time (not for one that writes into /dev/null).
void closeRecord(FileRec& rec);
void outstream();
void writeBlk(const uint8_t* data, int64_t n);

}  // namespace qn::idx
