// Block-path test helpers: a naive model of the forward transform, test data, block setup, child runs.
#pragma once
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "decoder/decoder.h"
#include "frontend/frontend.h"
#include "driver/driver.h"
#include "reconstruct/reconstruct.h"

namespace qn::rec::test {

using Bytes = std::vector<uint8_t>;

struct Transformed {
  Bytes data;
  uint64_t start;
};

// The transform straight from its definition: positions in decreasing order, stably
// sorted by the 3-byte context key; row j holds the byte after its position.
inline Transformed naiveForward(const Bytes& in) {
  const size_t n = in.size();
  auto at = [&](int64_t i) { return uint32_t(in[size_t(((i % int64_t(n)) + int64_t(n)) % int64_t(n))]); };
  std::vector<int64_t> pos(n);
  for (size_t i = 0; i < n; ++i) pos[i] = int64_t(n - 1 - i);
  auto key = [&](int64_t t) { return at(t) << 16 | at(t - 1) << 8 | at(t - 2); };
  std::stable_sort(pos.begin(), pos.end(), [&](int64_t a, int64_t b) { return key(a) < key(b); });
  Transformed r{Bytes(n), 0};
  for (size_t j = 0; j < n; ++j) {
    r.data[j] = uint8_t(at(pos[j] + 1));
    if (pos[j] == int64_t(n - 1)) r.start = j;
  }
  return r;
}

// ---- Test data ----
inline Bytes randomBytes(size_t n, uint32_t seed, int alphabet = 256) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = uint8_t(rng() % uint32_t(alphabet));
  return b;
}

inline Bytes textBytes(size_t n, uint32_t seed) {
  static const char* words[] = {"the ", "block ",      "sorting ", "of ",     "contexts ", "is ",
                                "a ",   "transform\n", "archive ", "bytes, ", "and ",      "runs. "};
  std::mt19937 rng(seed);
  Bytes b;
  while (b.size() < n) {
    const char* w = words[rng() % 12];
    b.insert(b.end(), w, w + std::char_traits<char>::length(w));
  }
  b.resize(n);
  return b;
}

// Little-endian 32-bit counters with a slowly changing high part: typical binary data.
inline Bytes binaryBytes(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) {
    uint32_t v = uint32_t(i / 4) * 2654435761u >> (i % 7 == 0 ? 3 : 0);
    b[i] = uint8_t(v >> (8 * (i % 4)));
  }
  return b;
}

inline Bytes periodicBytes(size_t n, size_t period) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t('a' + (i % period) * 7 % 26);
  return b;
}

// ---- Block path setup ----

// Allocates the block buffers for blocks of mib MiB in block mode, as the driver does.
inline void setBlocks(uint32_t mib) {
  fe::param[fe::kBlock] = mib;
  fe::iBlock = uint64_t(mib) << 20;
  fe::iBWT = 1;
  initBwt();
  for (int k = 0; k < 3; ++k) statBwt[k] = 0, lenBwt[k] = 0;
  pBwtW = pBwtR = bufBlk[0];
  rec::stHead = rec::stTail = 0;
}

inline void pushStart(uint64_t start) {
  rec::st[rec::stTail] = start;
  rec::stTail = (rec::stTail + 1) & 0xFFF;
}

// Sends standard output to the null device while it lives: the transform's progress marks
// would bury the test report. Nothing may assert inside its scope (reports would be lost).
class QuietStdout {
 public:
  QuietStdout() {
    std::fflush(stdout);
    saved_ = dup(1);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
  }
  ~QuietStdout() {
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
  }

 private:
  int saved_;
};

// Inverts data in block buffer 0 with the given start index.
inline Bytes invertInPlace(const Bytes& data, uint64_t start) {
  std::copy(data.begin(), data.end(), bufBlk[0]);
  lenBwt[0] = int64_t(data.size());
  pushStart(start);
  {
    QuietStdout quiet;
    outBwtBlk(0);
  }
  return Bytes(bufBlk[0], bufBlk[0] + data.size());
}

// ---- Child processes (for the fatal stops) ----

struct Child {
  int status;       // exit status, or 128 + signal
  std::string out;  // standard output
  std::string log;  // the error log the child left
};

// Runs f in a forked child, in a scratch working directory (for the error log), in English,
// with standard output captured; the child exits 0 when f returns.
template <class F>
Child runChild(F f) {
  std::fflush(stdout);
  char dir[] = "/tmp/qn_bwt_test.XXXXXX";
  char out[] = "/tmp/qn_bwt_out.XXXXXX";
  if (mkdtemp(dir) == nullptr) return {-1, "", ""};
  int fd = mkstemp(out);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fd, 1);
    if (chdir(dir) != 0) _exit(99);
    fe::iLanguage = 2;
    f();
    std::fflush(stdout);
    _exit(0);
  }
  int st = 0;
  waitpid(pid, &st, 0);
  close(fd);
  auto slurp = [](const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  Child c{WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st), slurp(out),
          slurp(std::string(dir) + "/" + fe::kLogName)};
  unlink(out);
  std::filesystem::remove_all(dir);
  return c;
}

inline std::string damagedText(const char* zip) {
  char buf[512];
  std::snprintf(buf, sizeof buf, txt::kDamagedStream.en, zip);
  return buf;
}

}  // namespace qn::rec::test
