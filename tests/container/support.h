// Helpers of the container tests: a private working directory, fatal-stop assertions, ring setup.
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "container/container.h"
#include "driver/driver.h"
#include "decoder/decoder.h"
#include "frontend/frontend.h"
#include "driver/driver.h"
#include "reconstruct/reconstruct.h"

namespace qn::test {

// One scratch directory per test run, removed at the parent's normal exit; the error log
// lands there. Death-test children find it in the environment and leave it to the parent.
inline const std::string& scratchDir() {
  struct Dir {
    std::string path;
    bool owner = false;
    Dir() {
      if (const char* inherited = std::getenv("QN_CTR_SCRATCH")) {
        path = inherited;
        return;
      }
      char tmpl[] = "/tmp/qn_ctr_XXXXXX";
      path = mkdtemp(tmpl);
      owner = true;
      setenv("QN_CTR_SCRATCH", path.c_str(), 1);
    }
    ~Dir() {
      if (owner) std::filesystem::remove_all(path);
    }
  };
  static Dir dir;
  return dir.path;
}

inline void enterScratch() {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ASSERT_EQ(chdir(scratchDir().c_str()), 0);
  fe::iLanguage = 2;
  fe::iError = 0;
}

// Console messages go to standard output; death tests read standard error.
inline void stdoutToStderr() {
  std::fflush(stdout);
  dup2(2, 1);
}

// The ring of the default 8 MiB in plain mode; the first call also sets up the model.
inline void makeRing(int64_t size = 8 << 20) {
  fe::iMaxBuf = size;
  fe::iMaxBuf_1 = size - 1;
  fe::iBWT = 0;
  drv::initBuf(size);
  drv::initStreamUnzip(nullptr);
}

inline void writeFile(const std::string& name, const std::vector<uint8_t>& bytes) {
  FILE* fp = std::fopen(name.c_str(), "wb");
  ASSERT_NE(fp, nullptr);
  if (!bytes.empty()) {
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), fp), bytes.size());
  }
  std::fclose(fp);
}

// The instruction words executed one byte at a time, straight from their definition; returns
// the bytes appended. Used as the independent model of the interpreter.
inline int64_t reference(std::vector<uint8_t>& ring, int64_t chr, const std::vector<uint32_t>& w) {
  const uint64_t mask = ring.size() - 1;
  const int64_t start = chr;
  size_t i = 0;
  while (i < w.size() && chr - start < 0x100000) {
    const uint32_t x = w[i];
    if (x < 256) {
      ring[chr++] = uint8_t(x);
      ++i;
    } else if (x == 257 || x == 258) {
      ++i;
    } else if (x == 262) {
      break;
    } else {
      const uint32_t n = x & 0x7FFFFFFF;
      const uint64_t len = n <= 0x10000 ? n : uint64_t{1} << (16 + n - 0x10000);
      uint64_t dist = w[i + 1];
      i += 2;
      if (len > 2 && (dist >> 31)) dist = ((dist & 0x7FFFFFFF) << 32) | w[i++];
      uint64_t src = (uint64_t(chr) - dist) & mask;
      for (uint64_t k = 0; k < len; ++k, src = (src + 1) & mask) ring[chr++] = ring[src];
    }
  }
  return chr - start;
}

}  // namespace qn::test

// The statement must end the process with status 1 and print text matching `regex`.
#define EXPECT_HALT(statement, regex)                                                   \
  EXPECT_EXIT(                                                                          \
      {                                                                                 \
        qn::test::stdoutToStderr();                                                     \
        statement;                                                                      \
      },                                                                                \
      ::testing::ExitedWithCode(1), regex)
