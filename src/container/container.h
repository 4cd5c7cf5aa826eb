// Archive container and extraction driver: process-wide state of the archive reader,
// the pipeline frame (buffers, threads, control words, mutexes, conditions) and the input ring.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>

namespace qn::ctr {

// ---- Archive container ----
inline constexpr uint32_t kChunk = 0x200000;      // a stored chunk: payload + 8-byte sum
inline constexpr uint8_t kMagic = 0xA5;
inline constexpr uint8_t kVersion = 4;
inline FILE* fpIn = nullptr;                      // archive or volume file now open
inline int32_t iVolNum = 0;                       // 0 = the archive file itself
inline uint32_t iVolCnt = 0;                      // MiB counted in the open file, 2 per chunk
inline uint64_t fDataPos = 0;                     // data section offset from the header
inline uint64_t fZipSize = 0;                     // size of the archive file itself (first file)

// ---- Extraction driver ----
inline uint64_t fLenXml = 0;                      // index length from the header
inline uint64_t fLen = 0;                         // expected output length of the current pass
inline int64_t fPos = 0;                          // bytes produced in the current pass (interpreter)
inline double d = 0;                              // progress factor: 100.0 / fLen

// ---- Pipeline frame ----
inline constexpr uint32_t kSlot = 0x100000;       // one character-ring slot (1 MiB)
inline constexpr uint32_t kCmdWords = 0x180000;   // words per instruction buffer
inline uint8_t* bufChrAlloc = nullptr;            // allocation: 8 spare bytes, ring, 16 spare bytes
inline uint8_t* bufChr = nullptr;                 // character ring of iMaxBuf bytes
inline uint32_t* statChr = nullptr;               // per slot status, under mutexChr
inline uint32_t* lenChr = nullptr;                // per slot length, under mutexChr
inline uint8_t* bufZip[2] = {nullptr, nullptr};   // input ring buffers, 2 MiB each, kept for the process
inline uint32_t sizeZip[2] = {0, 0};
// Control words: 2 inzip (mutexZip), 3 incmd (mutexCmd), 4 outblock (mutexChr),
// 5 outbwt (mutexBwt), 6 outstream (mutexChr in plain mode, mutexBwt in block mode).
inline uint32_t* msgCode = nullptr;
inline constexpr uint32_t kStop = 3;
inline constexpr uint32_t kEndInput = 263;

inline std::mutex mutexZip;   // statZip, lenZip, control word 2
inline std::mutex mutexCmd;   // statCmd, lenCmd, control word 3
inline std::mutex mutexChr;   // statChr, lenChr, ring positions, control words 4 and 6 (plain)
inline std::mutex mutexBwt;   // block buffers, st ring, control words 5 and 6 (block)
inline std::condition_variable lockIn, lockZip, lockCmdW, lockCmdR, lockChrW, lockChrR, lockOut,
    lockBwtW, lockBwtR0;

// ---- Input stream ring (state under mutexZip) ----
inline uint32_t statZip[2] = {0, 0};
inline uint32_t lenZip[2] = {0, 0};
inline uint8_t* bufInStream = nullptr;            // the buffer the driver fills
inline int32_t lenInStream = 0;
inline char bufCheckStr[64];                      // text the pass must begin with
// Our additions, under mutexZip: the decoder waits for input / has met its end code.
// The drain uses them to end a stream that runs out before its end code, and to
// ignore chunks that follow the end code, instead of waiting for ever.
inline bool inzipWaiting = false;
inline bool inzipDone = false;

// Locks a pipeline mutex; a failure is reported as "Error locking (label)" and ignored.
std::unique_lock<std::mutex> lockSite(std::mutex& m, const char* label);
// One timed wait: the deadline is one second from now; a timeout is not an error.
void waitSecond(std::condition_variable& cv, std::unique_lock<std::mutex>& lk);
// Sleep between the polls of the drain and of the stop (10 ms).
void pollSleep();

// Frame.
void initBuf(int64_t size);
void init();
void threadCreateLock();
void threadStart();
void threadStop();
// Ring.
void initStreamUnzip(const char* expected);
void inStreamUnzip(uint8_t* data, int32_t n);
void flushStreamUnzip(uint32_t code);
// Container and driver.
void zipFileRead(uint8_t* buffer, uint32_t n);
// Opens sFileZip as fpIn and checks its 16-byte header (fatal reports, version warning);
// sets fLenXml, fLen, d, fDataPos, fZipSize; leaves fpIn at offset 16; returns the flags byte.
int checkHeader();
// Reads the data-stream end field at fDataPos (0 = the archive's size) and checks it.
uint64_t readDataEnd();
// Sum modulo 2^64 of n / 8 little-endian 64-bit words.
uint64_t chunkSum(const uint8_t* data, uint32_t n);
void unzipFile();

}  // namespace qn::ctr
