// quarnzip -l and -t: the decompressor's passes with nothing written, and the listing.
#include "quarnzip/inspect.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "core/format.h"
#include "driver/driver.h"
#include "quarnzip/index_xml.h"
#include "quarnzip/report.h"

namespace qn::zip {
namespace {

// The decompressor's reports come in quarnzip's language; it has no UTF-8 Chinese, so a
// UTF-8 console gets them in English.
int32_t reportLanguage() {
  const ReportState& s = reportState();
  return s.utf8 && s.language != 2 ? 2 : s.language;
}

// The decoder's progress lines follow -q and -v, and otherwise show on a terminal only.
drv::CheckResult check(const Options& o, bool test) {
  drv::CheckJob job;
  job.archive = o.archive.c_str();
  if (o.password && !o.passwordText.empty()) job.password = o.passwordText.c_str();
  job.language = reportLanguage();
  job.test = test;
  job.progress = o.progress == ProgressMode::kOn || (o.progress == ProgressMode::kAuto && isatty(1));
  return drv::checkArchive(job);
}

// Bytes of the archive file and, with volumes, of "ARCHIVE.1", "ARCHIVE.2", ... while they exist.
void archiveFiles(const std::string& archive, bool volumes, uint64_t& bytes, int& files) {
  bytes = 0;
  files = 0;
  struct stat st {};
  for (std::string name = archive; (files == 0 || volumes) && stat(name.c_str(), &st) == 0 &&
                                   S_ISREG(st.st_mode);
       name = archive + "." + std::to_string(files)) {
    bytes += static_cast<uint64_t>(st.st_size);
    ++files;
  }
}

// A stored name as the terminal should show it: control bytes as ^X (ESC as ^[), as unzip
// lists them, so that a hostile name cannot drive the terminal.
std::string shownName(const std::string& name) {
  std::string out;
  for (const char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c != 0x7F) {
      out += ch;
    } else {
      out += '^';
      out += static_cast<char>(c ^ 0x40);
    }
  }
  return out;
}

std::string shownTime(uint64_t t) {
  const time_t tt = static_cast<time_t>(t);
  struct tm tmv {};
  char buf[32];
  if (localtime_r(&tt, &tmv) == nullptr || std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &tmv) == 0)
    return std::string(16, '-');
  return buf;
}

void printTotals(const IndexPlan& plan, const Options& o, bool password, int files, uint64_t total) {
  uint64_t archiveBytes = 0;
  int archiveFileCount = 0;
  archiveFiles(o.archive, plan.param[core::kVolume] != 0, archiveBytes, archiveFileCount);
  const double ratio = total ? static_cast<double>(archiveBytes) / static_cast<double>(total) : 0.0;
  msgf(txt::kZipListTotal, files, static_cast<unsigned long long>(total),
       static_cast<unsigned long long>(archiveBytes), ratio, archiveFileCount - 1);
  const uint32_t* p = plan.param;
  msgf(txt::kZipListParams, textOf(p[core::kBwt] ? txt::kZipModeBlock : txt::kZipModePlain).c_str(),
       textOf(password ? txt::kZipYes : txt::kZipNo).c_str(), p[core::kBlock], p[core::kCache],
       p[core::kCluster], p[core::kColumn], p[core::kEsc], p[core::kFlush], p[core::kSight],
       p[core::kVolume]);
}

}  // namespace

int listArchive(const Options& o) {
  const drv::CheckResult r = check(o, false);
  msgf(txt::kZipListHead);
  int files = 0;
  uint64_t total = 0;
  const IndexPlan plan = scanIndex(r.index, r.indexBytes, [&](PlanItem&& i) {
    if (i.column) return;
    std::printf("%12llu  %s  %s\n", static_cast<unsigned long long>(i.size), shownTime(i.time).c_str(),
                shownName(i.entry).c_str());
    ++files;
    total += i.size;
  });
  if (r.index != nullptr) std::fclose(r.index);
  printTotals(plan, o, r.password, files, total);
  std::fflush(stdout);
  return r.error ? 1 : 0;
}

int testArchive(const Options& o) {
  const drv::CheckResult r = check(o, true);
  if (!r.error) msgf(txt::kZipTestOk, o.archive.c_str(), r.files, static_cast<unsigned long long>(r.bytes));
  std::fflush(stdout);
  return r.error ? 1 : 0;
}

}  // namespace qn::zip
