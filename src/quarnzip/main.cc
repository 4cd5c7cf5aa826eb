// quarnzip: program entry; options, tree walk or given index, compression, summary.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <new>

#include "quarnzip/archive.h"
#include "quarnzip/compress.h"
#include "quarnzip/inspect.h"
#include "quarnzip/layout.h"
#include "quarnzip/options.h"
#include "quarnzip/tree.h"
#include "core/params.h"
#include "quarnzip/report.h"

namespace {

constexpr const char* kVersion = "1.0 (v20261206, linux-x86_64)";
#ifdef __clang__
constexpr const char* kCompiler = "clang++";
#else
constexpr const char* kCompiler = "g++";
#endif

// The index file, read whole (a pipe too); refused as soon as it passes the longest index.
bool readIndex(const std::string& path, std::string& out) {
  std::ifstream f(path, std::ios::binary);
  char buf[1 << 16];
  while (f && (f.read(buf, sizeof buf) || f.gcount() > 0)) {
    if (out.size() + static_cast<uint64_t>(f.gcount()) > qn::core::kIndexLenMax) {
      qn::zip::errf(qn::txt::kZipIndexTooLong, path.c_str());
      return false;
    }
    out.append(buf, static_cast<size_t>(f.gcount()));
  }
  if (!f.eof()) qn::zip::errf(qn::txt::kZipFailIndexIn, path.c_str());
  return f.eof();
}

int finish() {
  std::fflush(stdout);
  return qn::zip::reportState().error ? 1 : 0;
}

// The job for a walked tree: its index written with the run's parameters. The stream's
// contexts decide the block size of block mode where none was given, and the optimal
// levels' search.
bool treeJob(qn::zip::Options& o, qn::zip::ArchiveJob& job) {
  using qn::core::kBlock, qn::core::kBwt;
  qn::zip::SourceTree tree = qn::zip::walkPaths(o.paths, o.archive);
  job.plan = qn::zip::planFromTree(tree, o.param);
  const bool sizeBlocks = o.param[kBwt] != 0 && !o.given[kBlock];
  const bool pickSearch = o.param[kBwt] == 0 && qn::zip::searchFollowsData(o.level);
  if (sizeBlocks || pickSearch) {
    const qn::zip::ContextSample sample = qn::zip::sampleStream(job.plan);
    if (sizeBlocks) o.param[kBlock] = sample.blockMiB();
    if (pickSearch) qn::zip::applyPreset(o, qn::zip::levelPreset(o.level, sample.manyContexts()));
    std::memcpy(job.plan.param, o.param, sizeof job.plan.param);
  }
  job.indexText = qn::zip::writeIndex(tree, o.param, static_cast<int64_t>(std::time(nullptr)));
  return true;
}

// The job for a hand-written index: its text verbatim, its own parameters.
bool indexJob(const qn::zip::Options& o, qn::zip::ArchiveJob& job) {
  if (!readIndex(o.indexIn, job.indexText)) return false;
  job.plan = qn::zip::planFromIndex(job.indexText, o.sourceDir);
  uint32_t param[qn::core::kParamSlots];
  std::memcpy(param, job.plan.param, sizeof param);
  param[qn::core::kColumn] = 1;  // a column count the index states is its own business
  return qn::zip::checkParams(param);
}

}  // namespace

int run(int argc, char** argv) {
  using namespace qn;
  using zip::msgf;
  zip::Options o;
  zip::languageFromLocale();  // qn.ini's "language=" overrides it
  if (!zip::readIni(o) || !zip::parseArgs(o, argc, argv)) return finish();
  if (o.version) {
    msgf(txt::kZipBanner, kVersion);
    msgf(txt::kZipBuild, kCompiler, __VERSION__, QN_BUILD_TYPE);
    return finish();
  }
  bool indexMode = !o.indexIn.empty();
  const bool check = o.list || o.test;
  if (check && !o.help && !o.archive.empty() && o.paths.empty() && !indexMode && o.list != o.test)
    return o.list ? zip::listArchive(o) : zip::testArchive(o);
  if (o.help || check || o.archive.empty() || (o.paths.empty() && !indexMode)) {
    msgf(txt::kZipUsage, argv[0], argv[0], argv[0]);
    return o.help ? finish() : 1;
  }
  if (!zip::finishParams(o) || !zip::settlePassword(o)) return finish();
  time_t start = std::time(nullptr);
  zip::ArchiveJob job;
  job.archive = o.archive;
  job.password = o.password ? o.passwordText : "";
  job.level = o.level;
  job.threads = zip::threadCount(o.threads);
  job.force = o.force;
  job.progress = o.progress;
  if (!(indexMode ? indexJob(o, job) : treeJob(o, job))) return finish();
  job.pipes = o.param[core::kPipes];
  job.tails = o.param[core::kTails];
  job.key = o.key;
  zip::ArchiveResult r = zip::compressArchive(job);
  if (r.archiveBytes == 0) return 1;  // reported; nothing was written
  int files = 0;
  for (const zip::PlanItem& i : job.plan.items) files += i.column ? 0 : 1;
  msgf(txt::kZipSummary, files, static_cast<unsigned long long>(r.inputBytes),
           static_cast<unsigned long long>(r.archiveBytes), static_cast<int>(std::time(nullptr) - start));
  std::printf("\n");
  return r.ok ? finish() : 1;
}

// Buffers follow the input, but the system may still refuse one: that ends the run with a
// report, and the archive's files are removed on the way out (an older archive stays).
int main(int argc, char** argv) {
  qn::zip::removeOnSignal();
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    qn::zip::errf(qn::txt::kZipNoMemory);
    std::fflush(stdout);
    return 1;
  }
}
