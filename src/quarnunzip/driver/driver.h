// Extraction driver: the two decoding passes, the frame's buffers and threads, and the input
// ring, which reset or touch every stage of the pipeline.
#pragma once
#include <cstdint>

namespace qn::drv {

// Program run: start-up, the extraction, the run summary; the exit status.
int run(int argc, char** argv);
void unzipFile();

// Frame.
void initBuf(int64_t size);
// Releases the character ring and the instruction buffers (initBuf does, before it
// allocates them again; a host that runs the program again does too).
void freeRing();
void init();
void threadCreateLock();
void threadStart();
void threadStop();

// Input ring.
void initStreamUnzip(const char* expected);
void inStreamUnzip(uint8_t* data, int32_t n);
void flushStreamUnzip(uint32_t code);

}  // namespace qn::drv
