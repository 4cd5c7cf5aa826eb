// Listing and testing for quarnzip (-l, -t): the extraction passes on one archive, with every
// check and report they make, writing no file.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include <unistd.h>

#include "driver/driver.h"
#include "frontend/frontend.h"
#include "index/index.h"

namespace qn::drv {
namespace {

// The settings of an extraction run: qn.ini as quarnunzip reads it, where there is one (for
// quarnzip it is optional), then the caller's language.
void settings(int32_t language) {
  using namespace fe;
  initPar();
  if (access("qn.ini", F_OK) == 0) getIni();
  initPar();
  loadPar();
  if (language >= 0) iLanguage = language;
}

// The archive's path as the command line would give it; reports name the index after it.
void names(const char* archive, bool listOnly) {
  using namespace fe;
  copyArg(sFileZip, archive);
  slashes(sFileZip);
  std::strcpy(sFileXml, sFileZip);
  std::strcpy(sBaseDir, listOnly ? "-xml" : "");
}

// The archive's flags byte, or 0 when it cannot be read (the header check reports that).
int archiveFlags() {
  unsigned char head[3] = {};
  FILE* f = std::fopen(fe::sFileZip, "rb");
  if (f == nullptr) return 0;
  const size_t n = std::fread(head, 1, sizeof head, f);
  std::fclose(f);
  return n == sizeof head ? head[2] : 0;
}

// A password given beforehand counts only for an archive that has one: priming the coder
// with it would spoil any other.
void presetPassword(const char* password, bool archiveHasOne) {
  if (password == nullptr || !archiveHasOne) return;  // else asked for if needed
  const size_t n = std::min(std::strlen(password), sizeof fe::bufPwd - 4);
  std::memcpy(fe::bufPwd, password, n);
  fe::iPwdLen = static_cast<int32_t>(n);
}

// The index file of the listing, at its start, and its length.
FILE* takeKept(int64_t& bytes) {
  FILE* f = idx::fpXmlKept;
  idx::fpXmlKept = nullptr;
  bytes = 0;
  if (f == nullptr) return nullptr;
  fseeko(f, 0, SEEK_END);
  bytes = ftello(f);
  rewind(f);
  return f;
}

}  // namespace

CheckResult checkArchive(const CheckJob& job) {
  const bool test = job.test;
  settings(job.language);
  names(job.archive, !test);
  const bool password = (archiveFlags() & 1) != 0;
  presetPassword(job.password, password);
  fe::bProgress = job.progress;
  idx::bCheckOnly = true;
  fe::iError = 0;
  fe::iTagGet = 0;
  fe::iTotalSize = 0;
  unzipFile();
  if (job.progress) std::printf("%c%60s%c", 13, "", 13);  // wipes the progress line
  CheckResult r;
  r.index = takeKept(r.indexBytes);
  r.files = fe::iTagGet;
  r.bytes = fe::iTotalSize;
  r.password = password;
  {
    std::lock_guard lk(fe::mutexMsg);
    r.error = fe::iError >= 1;
  }
  if (test && r.error) fe::halt();   // as extraction ends
  return r;
}

}  // namespace qn::drv
