// Archive container and pipeline frame: process-wide state of the archive reader, the
// driver's pass counters, the frame (buffers, control words, mutexes, conditions) and the input ring.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "core/checksum.h"
#include "core/format.h"

namespace qn::ctr {

// ---- Archive container ----
using core::kChunk;
using core::kMagic;
using core::kVersion;
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
using core::kCmdWords;
using core::kSlot;
inline uint8_t* bufChrAlloc = nullptr;            // reservation: 8 spare bytes, ring, 16 spare bytes
inline size_t lenChrAlloc = 0;                    // its length
inline size_t lenChrBacked = 0;                   // its first bytes backed ahead of the interpreter
inline uint8_t* bufChr = nullptr;                 // character ring of iMaxBuf bytes
inline uint32_t* statChr = nullptr;               // per slot status, under mutexChr
inline uint32_t* lenChr = nullptr;                // per slot length, under mutexChr
inline uint8_t* bufZip[2] = {nullptr, nullptr};   // input ring buffers, 2 MiB each, kept for the process
inline uint32_t sizeZip[2] = {0, 0};
inline int64_t chrHead = 0;                       // ring offset of the slot read next, under mutexChr
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

// A host that outlives a fatal stop (see fe::haltHook) sets stopAll: every stage then calls
// the hook at its next wait. threadsAlive counts the pipeline threads not yet ended.
inline std::atomic<bool> stopAll{false};
inline std::atomic<int> threadsAlive{0};

// Locks a pipeline mutex; a failure is reported as "Error locking (label)" and ignored.
std::unique_lock<std::mutex> lockSite(std::mutex& m, const char* label);
// One timed wait: the deadline is one second from now; a timeout is not an error.
void waitSecond(std::condition_variable& cv, std::unique_lock<std::mutex>& lk);
// Sleep between the polls of the drain and of the stop (10 ms).
void pollSleep();

// Container.
void zipFileRead(uint8_t* buffer, uint32_t n);
// Opens sFileZip as fpIn and checks its 16-byte header (fatal reports, version warning);
// sets fLenXml, fLen, d, fDataPos, fZipSize; leaves fpIn at offset 16; returns the flags byte.
int checkHeader();
// Reads the data-stream end field at fDataPos (0 = the archive's size) and checks it.
uint64_t readDataEnd();

}  // namespace qn::ctr
