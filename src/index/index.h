// Index XML and output files: process-wide state of the index reader, the destination
// file table and the output thread.
#pragma once
#include <cstdint>
#include <cstdio>

namespace qn::idx {

// ---- Index XML reader ----
inline FILE* fpOut = nullptr;     // index XML file being written (pass one)
inline FILE* fpXml = nullptr;     // index XML file being read (pass two); null in pass one
inline int32_t iXmlLine = 0;
inline char zipVer[5];

// ---- Destination files ----
struct FileRec {
  FILE* fp;
  int64_t lenLeft;     // bytes still to come
  int64_t tFile;       // modification time, seconds since the epoch
  char sName[260];     // full destination name, at most 256 bytes
};
inline FileRec arrFile[128];
inline int32_t iCol = 0;        // records in use: 0 .. iCol - 1
inline int32_t iFileCur = 0;    // the record whose turn it is
inline int32_t iFiles = 0;      // files the archive block announces

// ---- Output thread (chrHead under ctr::mutexChr) ----
inline int64_t chrHead = 0;
inline uint8_t* bufOutStream = nullptr;
inline int32_t lenOutStream = 0;

void getXmlLine(char* buffer);
uint64_t getXmlInt(char* line);
uint64_t getXmlHex(char* line);
char* getXmlStr(char* line);
void errXml(const char* text);
int32_t getWriteFile();
void outstream();
void writeBlk(const uint8_t* data, int64_t n);

}  // namespace qn::idx
