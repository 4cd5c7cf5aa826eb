// Extraction driver: opens the archive, runs the index and data passes, and checks what was written.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "container/container.h"
#include "core/index_xml.h"
#include "decoder/decoder.h"
#include "driver/driver.h"
#include "frontend/frontend.h"
#include "index/index.h"
#include "reconstruct/reconstruct.h"

namespace qn::drv {

using namespace ctr;

namespace {

// Hands one stored stream of `remaining` bytes to the pipeline, chunk by chunk.
void readStream(int64_t remaining) {
  while (remaining > 0) {
    const int64_t n = remaining < kChunk ? remaining : kChunk;
    zipFileRead(bufInStream, static_cast<uint32_t>(n - 8));
    inStreamUnzip(bufInStream, static_cast<int32_t>(n - 8));
    remaining -= n;
  }
}

// Drains the pass and stops its threads.
void endPass() {
  flushStreamUnzip(kEndInput);
  threadStop();
}

// The index XML file of pass one. A check keeps it in an unnamed file that vanishes when
// closed: in the temporary folder, as an index may run to gigabytes that memory need not
// hold, or in memory where that folder takes no such file.
FILE* createXml() {
  if (!idx::bCheckOnly) return std::fopen(fe::sFileXml, "wb");
  const char* dir = std::getenv("TMPDIR");
  int fd = open(dir != nullptr && *dir != '\0' ? dir : "/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) fd = memfd_create("quarnel-index", MFD_CLOEXEC);
  FILE* f = fd >= 0 ? fdopen(fd, "w+b") : nullptr;
  if (f == nullptr && fd >= 0) close(fd);
  return f;
}

void closeXml() {
  if (idx::bCheckOnly) {
    std::fflush(idx::fpOut);
    idx::fpXmlKept = idx::fpOut;
  } else {
    std::fclose(idx::fpOut);
  }
  idx::fpOut = nullptr;
}

void indexPass() {
  idx::fpOut = createXml();
  if (idx::fpOut == nullptr) {
    fe::errf(txt::kFailCreateXml, fe::sFileXml);
    fe::halt();
  }
  idx::fpXml = nullptr;
  fe::sTime = std::time(nullptr);
  initStreamUnzip(core::kIndexHead);
  threadCreateLock();
  dec::syncUnzip(1);
  threadStart();
  readStream(static_cast<int64_t>(fDataPos) - 16);
  endPass();
  closeXml();
  if (fPos != static_cast<int64_t>(fLenXml)) {
    fe::errf(txt::kXmlStreamEnd);
    fe::halt();
  }
}

// The index XML file written by the index pass is read back for the data pass.
void openIndex() {
  idx::fpXml = idx::fpXmlKept != nullptr ? idx::fpXmlKept : std::fopen(fe::sFileXml, "rb");
  idx::fpXmlKept = nullptr;
  if (idx::fpXml != nullptr) rewind(idx::fpXml);
  if (idx::fpXml == nullptr) {
    fe::errf(txt::kFailOpenXml, fe::sFileXml);
    fe::halt();
  }
}

void dataPass() {
  openIndex();
  const uint64_t end = readDataEnd();
  const int64_t length = static_cast<int64_t>(end - fDataPos - 8);
  fseeko(fpIn, static_cast<off_t>(fDataPos + 8), SEEK_SET);
  idx::iCol = 0;
  idx::iXmlLine = 0;
  if (idx::getWriteFile() == 0) {
    fe::errf(txt::kFailGetXml, fe::sFileXml);
    fe::halt();
  }
  if (fe::parOK() == 0) {
    fe::errf(txt::kInvalidParamElem, fe::sFileXml);
    fe::halt();
  }
  initBuf(fe::iMaxBuf);
  rec::initBwt();
  initStreamUnzip(nullptr);
  dec::syncUnzip(0);
  threadStart();
  readStream(length);
  endPass();
  std::fclose(fpIn);
  fpIn = nullptr;
  std::fclose(idx::fpXml);
  idx::fpXml = nullptr;
  if (fPos != static_cast<int64_t>(fLen)) {
    fe::errf(txt::kStreamEnd);
    fe::halt();
  }
}

// What was written against what the index announced: reported, not fatal.
void endChecks() {
  for (int i = 0; i < idx::iCol; ++i) {
    idx::FileRec& f = idx::arrFile[i];
    if (f.fp != nullptr) std::fclose(f.fp);
    f.fp = nullptr;
    if (f.lenLeft != 0) fe::errf(txt::kUnreleased, f.sName, static_cast<long long>(f.lenLeft));
  }
  if (fe::iTagGet != idx::iFiles) fe::errf(txt::kFileCount, fe::iTagGet, idx::iFiles);
  if (fe::iTotalSize != fLen)
    fe::errf(txt::kTotalSize, static_cast<unsigned long long>(fe::iTotalSize),
             static_cast<unsigned long long>(fLen));
}

}  // namespace

void unzipFile() {
  const int flags = checkHeader();
  if (flags & 1) fe::pwdIn();
  initBuf(fe::iMaxBuf);
  dec::syncInit();
  iVolNum = 0;
  iVolCnt = 0;
  rec::initBwt();
  indexPass();
  if (std::strcmp(fe::sBaseDir, "-xml") == 0) {
    std::fclose(fpIn);
    fpIn = nullptr;
    return;
  }
  dataPass();
  endChecks();
}

namespace {

bool anyError() {
  std::lock_guard lk(fe::mutexMsg);
  return fe::iError >= 1;
}

}  // namespace

// Start-up, the extraction run and its summary.
int run(int argc, char** argv) {
  using namespace fe;
  mainInit(argc, argv);
  initPar();
  getIni();
  initPar();
  loadPar();
  iError = 0;
  iTagGet = 0;
  iTotalSize = 0;
  sTime = std::time(nullptr);
  unzipFile();
  sTime = std::time(nullptr) - sTime;
  std::printf("%c%60s%c", 13, "", 13);  // wipes the progress line
  msgf(qn::txt::kSummary, iTagGet, static_cast<int32_t>(sTime));
  std::fputc('\n', stdout);
  if (anyError()) halt();
  return 0;
}

}  // namespace qn::drv
