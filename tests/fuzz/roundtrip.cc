// Fuzz target: any bytes under any parameters through quarnzip's writer and back through the
// whole decompressor: the same bytes must come out. Input: four bytes choosing the level,
// mode, block, columns, cluster, password, esc and flush, then the file's bytes.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "driver/driver.h"
#include "fuzz.h"
#include "quarnzip/compress.h"
#include "quarnzip/index_xml.h"
#include "quarnzip/options.h"
#include "quarnzip/tree.h"

namespace {

using namespace qn;

// The archive's parameters and password from the first four bytes; false if refused.
bool choose(const uint8_t* d, zip::Options& o, std::string& pwd) {
  std::memcpy(o.param, core::kParamDefaults, sizeof o.param);
  o.level = 1 + d[0] % 9;
  o.param[core::kBwt] = d[1] & 1;
  o.param[core::kBlock] = 1 + (d[1] >> 1 & 1);
  o.param[core::kColumn] = 1 + (d[1] >> 2 & 3);
  o.param[core::kCluster] = d[1] & 16 ? 1 : 64;
  o.param[core::kEsc] = 1 + d[2] % 63;
  o.param[core::kFlush] = 1 + d[3] % 16;
  pwd = d[1] & 32 ? "pw" : "";
  return zip::finishParams(o);
}

std::string slurp(const std::filesystem::path& p) {
  std::ifstream f(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zip::Options o;
  std::string pwd;
  if (size < 4 || !choose(data, o, pwd)) return 0;
  qn::fuzz::setUp();
  std::filesystem::create_directory("src");
  qn::fuzz::put("src/f", data + 4, size - 4);
  zip::ArchiveJob job;
  const zip::SourceTree tree = zip::walkPaths({"src"}, "a.qn");
  job.indexText = zip::writeIndex(tree, o.param, 1700000000);
  job.plan = zip::planFromTree(tree, o.param);
  job.archive = "a.qn", job.password = pwd, job.level = o.level;
  job.pipes = o.param[core::kPipes], job.tails = o.param[core::kTails];
  job.force = true;  // the archive of the last input is ours to replace
  if (!zip::compressArchive(job).ok) std::abort();  // any bytes under checked parameters
  const bool ok = qn::fuzz::hosted([&] {
    qn::fuzz::put("qn.ini", reinterpret_cast<const uint8_t*>("language=2\n"), 11);
    qn::fuzz::typeAhead(reinterpret_cast<const uint8_t*>(pwd.data()), pwd.size());
    char arg0[] = "quarnunzip", arg1[] = "a.qn", arg2[] = "a.xml", arg3[] = "out";
    char* argv[] = {arg0, arg1, arg2, arg3, nullptr};
    qn::drv::run(4, argv);
  });
  // An archive of empty files only ends its data pass with a failed index read (status 1),
  // as the format has it; its tree is complete all the same.
  if ((!ok && size > 4) || slurp("out/src/f") != std::string(reinterpret_cast<const char*>(data + 4), size - 4))
    std::abort();
  qn::fuzz::removeAll("out");
  return 0;
}
