// Extraction driver: the two decoding passes, the frame's buffers and threads, and the input
// ring, which reset or touch every stage of the pipeline.
#pragma once
#include <cstdint>
#include <cstdio>

namespace qn::drv {

// Program run: start-up, the extraction, the run summary; the exit status.
int run(int argc, char** argv);
void unzipFile();

// quarnzip's -l and -t: the index pass (test: and the data pass) on one archive, with the
// checks and reports of extraction, writing no file. A fatal fault ends the process as in
// extraction, and so does a test that reported anything.
struct CheckJob {
  const char* archive;
  const char* password = nullptr;   // null: asked for at the terminal if the archive has one
  int32_t language = -1;            // the reports' language; -1: qn.ini's
  bool test = false;                // the data pass too
  bool progress = true;             // the decoder's progress lines
};
struct CheckResult {
  FILE* index = nullptr;  // listing: the index XML at its start, bytes long; the caller closes it
  int64_t indexBytes = 0;
  int32_t files = 0;    // file records read (test)
  uint64_t bytes = 0;   // bytes that reached them (test)
  bool error = false;   // something was reported
  bool password = false;  // the archive is encoded with a password
};
CheckResult checkArchive(const CheckJob& job);

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
