// Tests of "qn.ini": the line reader, the number parser, every check of the parameters and their order.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "fe_util.h"

namespace qn::fe::test {
namespace {

// Reads every line of bytes with getLine(limit), checking the returned count each time.
std::vector<std::string> lines(const std::string& bytes, int limit, int count) {
  ScratchDir dir;
  writeFile("f", bytes);
  FILE* fp = std::fopen("f", "rb");
  std::vector<std::string> out;
  std::vector<char> buf(limit + 8 + 16, '#');
  for (int i = 0; i < count; ++i) {
    int n = getLine(fp, buf.data(), limit);
    EXPECT_EQ(n, static_cast<int>(std::strlen(buf.data())));
    out.emplace_back(buf.data(), n);
  }
  std::fclose(fp);
  // Nothing beyond the limit + 8 bytes the caller owns.
  EXPECT_EQ(std::string(buf.data() + limit + 8, 16), std::string(16, '#'));
  return out;
}

std::string digits(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += static_cast<char>('0' + i % 10);
  return s;
}

TEST(Config, LineReader) {
  using V = std::vector<std::string>;
  // Leading blanks and empty lines are skipped; CR, LF and CRLF end lines; byte 255 ends a line.
  EXPECT_EQ(lines("  \r\n\n  abc def  \r\nxyz\rq\xffr", 512, 5), (V{"abc def  ", "xyz", "q", "r", ""}));
  // 600 bytes: 512 kept, the 513th dropped, the rest is a line of its own.
  std::string long600 = digits(600);
  EXPECT_EQ(lines(long600 + "\nnext\n", 512, 3), (V{long600.substr(0, 512), long600.substr(513), "next"}));
  // A GBK pair straddling the limit stays whole; the ASCII byte after it is dropped.
  std::string straddle = std::string(511, 'a') + "\xb0\xa1";
  EXPECT_EQ(lines(straddle + "tail\n", 512, 2), (V{straddle, "ail"}));
  // A byte 255 right after the limit ends the line like any other ending byte.
  EXPECT_EQ(lines(std::string(512, 'b') + "\xff" + "c", 512, 2), (V{std::string(512, 'b'), "c"}));
  // High bytes past the limit fill at most the caller's limit + 8 bytes; the rest is the next line.
  std::string high(20, '\xb0');
  EXPECT_EQ(lines(std::string(510, 'a') + high + "\n", 512, 2),
            (V{std::string(510, 'a') + high.substr(0, 9), high.substr(9)}));
}

TEST(Config, NumberParser) {
  struct Case {
    const char* text;
    int limit;
    bool ok;
    uint32_t value;
  };
  const Case cases[] = {
      {"32", 6, true, 32},           {"0032", 6, true, 32},       {"10", 1, false, 0},
      {"", 6, false, 0},             {"32 ", 6, false, 0},        {" 32", 6, false, 0},
      {"-1", 6, false, 0},           {"+1", 6, false, 0},         {"123456", 6, true, 123456},
      {"1234567", 6, false, 0},      {"5", 0, false, 0},          {"4294967297", 10, true, 1},
      {"4294967296", 10, true, 0},   {"4294967295", 10, true, 4294967295u}, {"9x", 2, false, 0},
  };
  for (const Case& c : cases) {
    uint32_t target = 777;
    EXPECT_EQ(getInt(c.text, &target, c.limit), c.ok) << c.text;
    EXPECT_EQ(target, c.ok ? c.value : 777u) << c.text;
  }
}

// Runs getIni on the given qn.ini in a child; the child prints the parameters when getIni returns.
Child iniRun(const std::string& ini) {
  writeFile("qn.ini", ini);
  return runChild([] {
    getIni();
    std::printf("OK");
    for (uint32_t p : param) std::printf(" %u", p);
    std::printf(" lang=%d log=%d", iLanguage, iLogSize);
  });
}

TEST(Config, KeysAndValues) {
  ScratchDir dir;
  resetFrontEnd();
  // Good lines, ignored values, comments with GBK text, CRLF endings, the password key.
  Child c = iniRun(
      "# \xd6\xd0\xce\xc4 comment\r\nblock=0032\r\nbwt=10\ncache=\ncluster=128\ncolumn=5 \nesc=00063\n"
      "flush=16\nlanguage=7\nlogsize=000012\npassword=secret\npipes=127\nsight=4294967297\n"
      "tails=256\nvolume=4294967292\n");
  EXPECT_EQ(c.status, 0);
  EXPECT_EQ(c.out, "OK 32 0 4 128 1 63 16 127 1 256 4294967292 lang=7 log=12");
  // Files of three bytes or fewer have no lines.
  c = iniRun("zz\n");
  EXPECT_EQ(c.out, "OK 32 0 4 64 1 63 5 4 20 6 0 lang=0 log=1000");
  // The loop runs while the position is below size - 3: a last line "xy\n" is never read...
  c = iniRun("language=2\nxy\n");
  EXPECT_EQ(c.status, 0);
  EXPECT_EQ(c.out, "OK 32 0 4 64 1 63 5 4 20 6 0 lang=2 log=1000");
  // ...but "xyz\n" is, and is an unknown parameter.
  c = iniRun("language=2\nxyz\n");
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(c.out, "\nUnknown parameter 'xyz'\nError occured, please see the log file 'qn_error.log'\n\n");
}

TEST(Config, UnusableFiles) {
  ScratchDir dir;
  resetFrontEnd();
  const std::string seeLog = "Error occured, please see the log file 'qn_error.log'\n\n";
  Child c = runChild([] {
    iLanguage = 2;
    getIni();
  });
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(c.out, "\nFail opening config file 'qn.ini'\n" + seeLog);
  EXPECT_NE(readFile(kLogName).find(" ==== Fail opening config file 'qn.ini'\n"), std::string::npos);
  // Keys are exact: a blank before "=" or another case is unknown.
  c = iniRun("language=2\nblock =5\n");
  EXPECT_EQ(c.out, "\nUnknown parameter 'block =5'\n" + seeLog);
  c = iniRun("language=2\nBlock=5\n");
  EXPECT_EQ(c.out, "\nUnknown parameter 'Block=5'\n" + seeLog);
  // An overlong comment: its tail after byte 513 is a line of its own, and not a comment.
  c = iniRun("language=2\n#" + std::string(599, 'c') + "\n");
  EXPECT_EQ(c.out, "\nUnknown parameter '" + std::string(87, 'c') + "'\n" + seeLog);
}

TEST(Config, EveryViolationReportedInOrder) {
  ScratchDir dir;
  resetFrontEnd();
  const std::string tail = "\nError in parameter file qn.ini\nError occured, please see the log file 'qn_error.log'\n\n";
  Child c = iniRun("language=2\nvolume=6\nflush=17\ntails=5\ncluster=0\n");
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(c.out,
            "\nParameter 'cluster' value range must be 1-1024\n"
            "\nParameter 'flush' value range must be 1-16\n"
            "\nParameter 'tails' must be larger than 'pipes+1'\n"
            "\nParameter 'volume' value must be multiple of 4, such as 0, 4, 8, 12 and so on\n" +
                tail);
  std::string log = readFile(kLogName);
  size_t a = log.find("cluster"), b = log.find("flush"), t = log.find("tails"), v = log.find("volume"),
         e = log.find("Error in parameter file qn.ini");
  EXPECT_TRUE(a < b && b < t && t < v && v < e && e != std::string::npos) << log;
  c = iniRun("language=2\ncluster=96\ntails=2\n");
  EXPECT_EQ(c.out,
            "\nParameter 'cluster' value must be power of 2, such as 1, 2, 4, 8 and so on\n"
            "\nParameter 'tails' value range must be 3-256\n" +
                tail);
  c = iniRun("language=2\ntails=6\ncluster=1024\nblock=1048576\n");
  EXPECT_EQ(c.status, 0);
}

// parOK on a hand-set parameter array, in a child: its console output and its result.
Child checkParams(const uint32_t (&p)[11]) {
  return runChild([&] {
    iLanguage = 2;
    std::memcpy(param, p, sizeof param);
    int ok = parOK();
    std::printf("=%d block=%llu", ok, static_cast<unsigned long long>(iBlock));
  });
}

TEST(Config, ParameterChecksAndBoundaries) {
  ScratchDir dir;
  resetFrontEnd();
  Child c = checkParams({0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 1});
  EXPECT_EQ(c.out,
            "\nParameter 'block' value range must be 1-1048576\n"
            "\nParameter 'bwt' value must be 0 or 1\n"
            "\nParameter 'cache' value range must be 1-1048571\n"
            "\nParameter 'cluster' value range must be 1-1024\n"
            "\nParameter 'column' value range must be 1-128\n"
            "\nParameter 'esc' value range must be 1-16384\n"
            "\nParameter 'flush' value range must be 1-16\n"
            "\nParameter 'pipes' value range must be 1-127\n"
            "\nParameter 'sight' value range must be 1-2147483647\n"
            "\nParameter 'tails' value range must be 3-256\n"
            "\nParameter 'volume' value must be multiple of 4, such as 0, 4, 8, 12 and so on\n"
            "=0 block=0");
  // The upper edges pass; one above each fails (loadPar still derives from the bad values).
  c = checkParams({1048576, 1, 1048571, 1024, 128, 16384, 16, 127, 2147483647, 256, 0});
  EXPECT_EQ(c.out, "=1 block=1099511627776");
  c = checkParams({1048577, 1, 1048572, 2048, 129, 16385, 17, 128, 2147483648u, 257, 4294967292u});
  EXPECT_EQ(c.out,
            "\nParameter 'block' value range must be 1-1048576\n"
            "\nParameter 'cache' value range must be 1-1048571\n"
            "\nParameter 'cluster' value range must be 1-1024\n"
            "\nParameter 'column' value range must be 1-128\n"
            "\nParameter 'esc' value range must be 1-16384\n"
            "\nParameter 'flush' value range must be 1-16\n"
            "\nParameter 'pipes' value range must be 1-127\n"
            "\nParameter 'sight' value range must be 1-2147483647\n"
            "\nParameter 'tails' value range must be 3-256\n"
            "=0 block=1099512676352");
  // tails must reach pipes + 2; pipes 4: 5 fails, 6 passes.
  c = checkParams({32, 0, 4, 64, 1, 63, 5, 4, 20, 5, 0});
  EXPECT_EQ(c.out, "\nParameter 'tails' must be larger than 'pipes+1'\n=0 block=33554432");
  c = checkParams({32, 0, 4, 64, 1, 63, 5, 4, 20, 6, 0});
  EXPECT_EQ(c.out, "=1 block=33554432");
}

TEST(Config, DerivedValues) {
  resetFrontEnd();
  loadPar();
  EXPECT_EQ(iBlock, 32u << 20);
  EXPECT_EQ(iBWT, 0u);
  EXPECT_EQ(iCache, 4u << 20);
  EXPECT_EQ(iCluster, 65536);
  EXPECT_EQ(iColumn, 1);
  EXPECT_EQ(iEscape, 63);
  EXPECT_EQ(iFlush, 5);
  EXPECT_EQ(iLimit, 65535 - 63);
  EXPECT_EQ(iPipes, 4);
  EXPECT_EQ(iSight, 20);
  EXPECT_EQ(iTails, 0);  // never carried over
  EXPECT_EQ(iVolume, 0);
  EXPECT_EQ(iMaxBuf, 8 << 20);
  EXPECT_EQ(iMaxBuf_1, (8 << 20) - 1);
  // Ring size: 8 MiB up to cache + 3 = 8, then the next power of two of MiB.
  const std::pair<uint32_t, int64_t> rings[] = {{1, 8}, {5, 8}, {6, 16}, {13, 16}, {14, 32},
                                                {61, 64}, {62, 128}, {1048571, 1 << 20}};
  for (auto [cache, mib] : rings) {
    param[kCache] = cache;
    loadPar();
    EXPECT_EQ(iMaxBuf, mib << 20) << cache;
    EXPECT_EQ(iMaxBuf_1, (mib << 20) - 1);
  }
}

}  // namespace
}  // namespace qn::fe::test
