// The front end: bilingual messages, the error log and its rotation, the fatal stop; the
// "qn.ini" line reader, number parser and parameter checks; argument normalisation; GBK texts.
#include <array>
#include <atomic>
#include <ctime>
#include <thread>

#include "support.h"

namespace qn::test {
namespace {

using namespace fe;

// Splits a log into its entries: the stamp line (with its line feed) and the text after " ==== ".
std::vector<std::pair<std::string, std::string>> logEntries(const std::string& log) {
  std::vector<std::pair<std::string, std::string>> out;
  size_t pos = 0;
  for (size_t nl1, nl2; pos < log.size(); pos = nl2 + 1) {
    nl1 = log.find('\n', pos), nl2 = log.find('\n', nl1 + 1);
    if (nl2 == std::string::npos) break;
    const std::string body = log.substr(nl1 + 1, nl2 - nl1 - 1);
    EXPECT_EQ(body.rfind(" ==== ", 0), 0u) << body;
    out.emplace_back(log.substr(pos, nl1 + 1 - pos), body.substr(6));
  }
  EXPECT_EQ(pos, log.size()) << "trailing bytes in the log";
  return out;
}
std::string lastLogged() {
  const auto e = logEntries(readFile(kLogName));
  return e.empty() ? "<none>" : e.back().second;
}
const std::string kSeeLog = "Error occured, please see the log file 'qn_error.log'\n\n";

using Frontend = Unit;

TEST_F(Frontend, ConsoleAndLogFollowTheLanguage) {
  const std::string cn = gbk("中文"), both = "English (" + cn + ")";
  const std::pair<int, std::string> modes[] = {{0, both}, {1, cn}, {2, "English"}, {3, both}, {9, both}};
  for (const auto& [lang, text] : modes) {
    std::filesystem::remove(kLogName);
    const time_t t0 = std::time(nullptr);
    const Child c = runChild([&, lang = lang] {
      iLanguage = lang;
      msg(cn.c_str(), "English"), msg("[", "[");  // msg adds no line feed
      err(cn.c_str(), "English");
      std::printf("iError=%d", iError);
    });
    const time_t t1 = std::time(nullptr);
    EXPECT_EQ(c.out, text + (lang == 1 || lang == 2 ? "[" : "[ ([)") + "\n" + text + "\niError=1") << lang;
    const auto entries = logEntries(readFile(kLogName));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].second, text);
    bool stamped = false;  // the ctime text of a second of the run
    char buf[64];
    for (time_t t = t0; t <= t1; ++t) stamped |= entries[0].first == ctime_r(&t, buf);
    EXPECT_TRUE(stamped) << entries[0].first;
  }
  // Formatted pairs take the same arguments; a text is bound to 65535 characters.
  iLanguage = 0;
  Child c = runChild([] {
    msgf(Text{"C%d-%s", "E%d-%s"}, 7, "x");
    errf(Text{"c%u", "e%u"}, 4000000000u);
  });
  EXPECT_EQ(c.out, "E7-x (C7-x)\ne4000000000 (c4000000000)\n");
  EXPECT_EQ(lastLogged(), "e4000000000 (c4000000000)");
  const std::string big(70000, 'z');
  EXPECT_EQ(format("%d:%s|%s", 12, "ab", big.c_str()), "12:ab|" + std::string(65535 - 6, 'z'));
  c = runChild([&] { iLanguage = 2, msgf(Text{"%s", "%s"}, big.c_str()); });
  EXPECT_EQ(c.out, std::string(65535, 'z'));
}

TEST_F(Frontend, LogRotation) {
  // At logsize 1: a log one byte short of 1 KiB is appended to; at exactly 1 KiB it
  // becomes the backup (replacing the old one) before the entry; logsize 0 rotates always.
  const struct {
    int logSize;
    std::string log;
    std::string keptPrefix, bak;
  } cases[] = {{1, std::string(1023, 'a'), std::string(1023, 'a'), "old backup"},
               {1, std::string(1024, 'b'), "", std::string(1024, 'b')},
               {0, std::string(10, 'c'), "", std::string(10, 'c')}};
  for (const auto& k : cases) {
    writeFile(kLogName, k.log), writeFile(kLogBak, "old backup");
    runChild([&] { iLogSize = k.logSize, err("x", "entry"); });
    const std::string log = readFile(kLogName);
    EXPECT_EQ(log.substr(0, k.keptPrefix.size()), k.keptPrefix);
    EXPECT_EQ(logEntries(log.substr(k.keptPrefix.size())).at(0).second, "entry");
    EXPECT_EQ(readFile(kLogBak), k.bak);
  }
  // A log that can be neither read nor created leaves the console only.
  std::filesystem::remove(kLogName), std::filesystem::remove(kLogBak);
  ASSERT_EQ(symlink("missing/qn_error.log", kLogName), 0);
  const Child c = runChild([] { err("x", "console only"), std::printf("|%d", iError); });
  EXPECT_EQ(c.status, 0);
  EXPECT_EQ(c.out, "\nconsole only\n|1");
  EXPECT_FALSE(exists("missing") || exists(kLogBak));
}

TEST_F(Frontend, HaltFromAnyThreadAndReportsThatDoNotInterleave) {
  Child c = runChild([] { msg("", "pending "), halt(); });  // unflushed output is not lost
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(c.out, "pending " + kSeeLog);
  EXPECT_FALSE(exists(kLogName));  // halt itself logs nothing
  c = runChild([] { std::thread([] { halt(); }).join(), std::printf("returned"); });
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(c.out, kSeeLog);
  c = runChild([] { iLanguage = 0, halt(); });
  EXPECT_EQ(c.out, "Error occured, please see the log file 'qn_error.log' (" + gbk("程序出错，请查看日志文件'qn_error.log'") + ")\n\n");

  // Four threads report at once, and a fifth prints progress lines as the pipeline does
  // (one printf, no lock): every report is a whole "\n<text>\n" block, in order per thread.
  constexpr int kThreads = 4, kEach = 100;
  auto text = [](int t, int i) { return std::string(500 + 37 * t, char('a' + t)) + std::to_string(i); };
  c = runChild([&] {
    std::vector<std::thread> threads;
    std::atomic<bool> done = false;
    std::thread progress([&] {
      for (int i = 0; !done; ++i) std::printf("%c%d", 13, i);
    });
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        for (int i = 0; i < kEach; ++i) {
          const std::string s = text(t, i);
          if (i % 2 == 0) err(s.c_str(), s.c_str());
          else msg(s.c_str(), ("\n" + s + "\n").c_str());
        }
      });
    for (auto& th : threads) th.join();
    done = true;
    progress.join();
  });
  std::vector<int> next(kThreads, 0);
  for (size_t pos = 0, end; pos < c.out.size(); pos = end + 1) {
    while (pos < c.out.size() && c.out[pos] == '\r')  // progress lines between the blocks
      pos = c.out.find_first_not_of("0123456789", pos + 1);
    if (pos >= c.out.size()) break;
    ASSERT_EQ(c.out[pos], '\n');
    end = c.out.find('\n', pos + 1);
    ASSERT_NE(end, std::string::npos);
    const std::string s = c.out.substr(pos + 1, end - pos - 1);
    const int t = s[0] - 'a';
    ASSERT_TRUE(t >= 0 && t < kThreads) << s.substr(0, 20);
    ASSERT_EQ(s, text(t, next[t]++));
  }
  EXPECT_EQ(next, std::vector<int>(kThreads, kEach));
  const auto logged = logEntries(readFile(kLogName));
  EXPECT_EQ(logged.size(), size_t(kThreads * kEach / 2));
  for (const auto& e : logged) {
    const int t = e.second[0] - 'a';
    EXPECT_EQ(e.second.substr(0, 500 + 37 * t), std::string(500 + 37 * t, char('a' + t)));
  }
}

TEST_F(Frontend, LineReaderAndNumberParser) {
  // Each case: the file, the lines read at limit 512. Leading blanks and empty lines are
  // skipped; CR, LF, CRLF and byte 255 end lines; a long line keeps 512 bytes, drops the
  // 513th; a GBK pair straddling the limit stays whole; high bytes fill at most limit + 8.
  const std::string d600 = std::string(600, '7'), straddle = std::string(511, 'a') + "\xb0\xa1", high(20, '\xb0');
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"  \r\n\n  abc def  \r\nxyz\rq\xffr", {"abc def  ", "xyz", "q", "r", ""}},
      {d600 + "\nnext\n", {d600.substr(0, 512), d600.substr(513), "next"}},
      {straddle + "tail\n", {straddle, "ail"}},
      {std::string(512, 'b') + "\xff" + "c", {std::string(512, 'b'), "c"}},
      {std::string(510, 'a') + high + "\n", {std::string(510, 'a') + high.substr(0, 9), high.substr(9)}},
  };
  for (const auto& [bytes, want] : cases) {
    writeFile("f", bytes);
    FILE* fp = std::fopen("f", "rb");
    std::vector<char> buf(512 + 8 + 16, '#');
    for (const std::string& line : want) {
      const int n = getLine(fp, buf.data(), 512);
      EXPECT_EQ(std::string(buf.data(), size_t(n)), line);
      EXPECT_EQ(size_t(n), std::strlen(buf.data()));
    }
    std::fclose(fp);
    EXPECT_EQ(std::string(buf.data() + 520, 16), std::string(16, '#'));  // nothing beyond limit + 8
  }
  const std::tuple<const char*, int, bool, uint32_t> numbers[] = {
      {"32", 6, true, 32},          {"0032", 6, true, 32},     {"10", 1, false, 0},      {"", 6, false, 0},
      {"32 ", 6, false, 0},         {" 32", 6, false, 0},      {"-1", 6, false, 0},      {"+1", 6, false, 0},
      {"123456", 6, true, 123456},  {"1234567", 6, false, 0},  {"5", 0, false, 0},       {"9x", 2, false, 0},
      {"4294967297", 10, true, 1},  {"4294967296", 10, true, 0}, {"4294967295", 10, true, 4294967295u},
  };
  for (const auto& [text, limit, ok, value] : numbers) {
    uint32_t target = 777;
    EXPECT_EQ(getInt(text, &target, limit), ok) << text;
    EXPECT_EQ(target, ok ? value : 777u) << text;
  }
}

TEST_F(Frontend, QnIniKeysValuesAndChecksInOrder) {
  // getIni in a child, which prints the parameters when it returns.
  const std::string tail = "\nError in parameter file qn.ini\n" + kSeeLog;
  const std::string defaults = "OK 32 0 4 64 1 63 5 4 20 6 0";
  const std::tuple<std::string, int, std::string> cases[] = {
      {"# \xd6\xd0 comment\r\nblock=0032\r\nbwt=10\ncache=\ncluster=128\ncolumn=5 \nesc=00063\nflush=16\nlanguage=7\n"
       "logsize=000012\npassword=secret\npipes=127\nsight=4294967297\ntails=256\nvolume=4294967292\n",
       0, "OK 32 0 4 128 1 63 16 127 1 256 4294967292 lang=7 log=12"},  // bad values are ignored
      {"zz\n", 0, defaults + " lang=0 log=1000"},                 // three bytes or fewer: no lines
      {"language=2\nxy\n", 0, defaults + " lang=2 log=1000"},     // a last line of 3 bytes is never read
      {"language=2\nxyz\n", 1, "\nUnknown parameter 'xyz'\n" + kSeeLog},
      {"language=2\nBlock=5\n", 1, "\nUnknown parameter 'Block=5'\n" + kSeeLog},
      {"language=2\n#" + std::string(599, 'c') + "\n", 1, "\nUnknown parameter '" + std::string(87, 'c') + "'\n" + kSeeLog},
      {"language=2\nvolume=6\nflush=17\ntails=5\ncluster=0\n", 1,
       "\nParameter 'cluster' value range must be 1-1024\n\nParameter 'flush' value range must be 1-16\n"
       "\nParameter 'tails' must be larger than 'pipes+1'\n"
       "\nParameter 'volume' value must be multiple of 4, such as 0, 4, 8, 12 and so on\n" + tail},
      {"language=2\ncluster=96\ntails=2\n", 1,
       "\nParameter 'cluster' value must be power of 2, such as 1, 2, 4, 8 and so on\n"
       "\nParameter 'tails' value range must be 3-256\n" + tail},
      {"language=2\ntails=6\ncluster=1024\n", 0, "OK 32 0 4 1024 1 63 5 4 20 6 0 lang=2 log=1000"},
  };
  for (const auto& [ini, status, out] : cases) {
    writeFile("qn.ini", ini);
    const Child c = runChild([] {
      iLanguage = 0, iLogSize = 1000, initPar(), getIni();
      std::printf("OK");
      for (uint32_t p : param) std::printf(" %u", p);
      std::printf(" lang=%d log=%d", iLanguage, iLogSize);
    });
    EXPECT_EQ(c.status, status) << ini;
    EXPECT_EQ(c.out, out) << ini;
  }
  // The log holds the reports in the same order, the file named last.
  const std::string log = readFile(kLogName);
  EXPECT_LT(log.find("'cluster' value must be power"), log.rfind("'tails' value range"));
  EXPECT_LT(log.rfind("'tails' value range"), log.rfind("Error in parameter file qn.ini"));
  std::filesystem::remove("qn.ini");
  const Child c = runChild([] { getIni(); });
  EXPECT_EQ(c.out, "\nFail opening config file 'qn.ini'\n" + kSeeLog);
}

TEST_F(Frontend, ParameterRangesAndDerivedValues) {
  const std::string all =
      "\nParameter 'block' value range must be 1-1048576\n\nParameter 'bwt' value must be 0 or 1\n"
      "\nParameter 'cache' value range must be 1-1048571\n\nParameter 'cluster' value range must be 1-1024\n"
      "\nParameter 'column' value range must be 1-128\n\nParameter 'esc' value range must be 1-16384\n"
      "\nParameter 'flush' value range must be 1-16\n\nParameter 'pipes' value range must be 1-127\n"
      "\nParameter 'sight' value range must be 1-2147483647\n\nParameter 'tails' value range must be 3-256\n";
  const std::string volume = "\nParameter 'volume' value must be multiple of 4, such as 0, 4, 8, 12 and so on\n";
  const std::string noBwt = all.substr(0, all.find("\nParameter 'bwt'")) + all.substr(all.find("\nParameter 'cache'"));
  const std::pair<std::array<uint32_t, 11>, std::string> cases[] = {
      {{0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 1}, all + volume + "=0 block=0"},
      {{1048576, 1, 1048571, 1024, 128, 16384, 16, 127, 2147483647, 256, 0}, "=1 block=1099511627776"},  // upper edges
      {{1048577, 1, 1048572, 2048, 129, 16385, 17, 128, 2147483648u, 257, 4294967292u}, noBwt + "=0 block=1099512676352"},
      {{32, 0, 4, 64, 1, 63, 5, 4, 20, 5, 0}, "\nParameter 'tails' must be larger than 'pipes+1'\n=0 block=33554432"},
      {{32, 0, 4, 64, 1, 63, 5, 4, 20, 6, 0}, "=1 block=33554432"},
  };
  for (const auto& [p, want] : cases) {
    const Child c = runChild([&, p = p] {
      std::copy(p.begin(), p.end(), param);
      const int ok = parOK();
      std::printf("=%d block=%llu", ok, static_cast<unsigned long long>(iBlock));
    });
    EXPECT_EQ(c.out, want);
  }
  initPar(), loadPar();
  EXPECT_EQ((std::vector<int64_t>{int64_t(iBlock), int64_t(iBWT), int64_t(iCache), iCluster, iColumn, iEscape, iFlush,
                                  iLimit, iPipes, iSight, iTails, iVolume, iMaxBuf, iMaxBuf_1}),
            (std::vector<int64_t>{32 << 20, 0, 4 << 20, 65536, 1, 63, 5, 65535 - 63, 4, 20, 0, 0, 8 << 20, (8 << 20) - 1}));
  // The ring: 8 MiB up to cache + 3 = 8, then the next power of two of MiB.
  const std::pair<uint32_t, int64_t> rings[] = {{1, 8}, {5, 8}, {6, 16}, {13, 16}, {14, 32}, {61, 64}, {62, 128}, {1048571, 1 << 20}};
  for (auto [cache, mib] : rings) {
    param[kCache] = cache;
    loadPar();
    EXPECT_EQ(iMaxBuf, mib << 20) << cache;
    EXPECT_EQ(iMaxBuf_1, (mib << 20) - 1);
  }
}

TEST_F(Frontend, ArgumentsAndGbkTexts) {
  const std::string p255(255, 'p'), p256(256, 'p');
  const std::string banner = "\n*** Quarnel -- Decompressor, Version: v20261206 linux-x86_64 ***\n (" +
                             gbk("\n*** Quarnel——解压运算器，版本：v20261206 linux-x86_64 ***\n") + ")\n";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"q", "z.qn", "i.xml"}, "z.qn|i.xml|-xml"},          {{"q", "z.qn", "i.xml", "out"}, "z.qn|i.xml|out/"},
      {{"q", "z.qn", "i.xml", "a\\b"}, "z.qn|i.xml|a/b/"},  {{"q", "z.qn", "i.xml", "a\\"}, "z.qn|i.xml|a/"},
      {{"q", "z.qn", "i.xml", ""}, "z.qn|i.xml|"},          {{"q", "z.qn", "i.xml", "-xml"}, "z.qn|i.xml|-xml"},
      {{"q", "d\\z.qn", "e\\f\\i.xml", "/abs"}, "d/z.qn|e/f/i.xml|/abs/"},
      {{"q", p255, p255, p255}, p255 + "|" + p255 + "|" + p255 + "/"},
      {{"q", "z.qn", "i.xml", p256}, "\nToo long of the command parameter (" + gbk("命令行参数太长") + ")\n"},
  };
  for (const auto& [args, want] : cases) {
    const Child c = runChild([args = args] {
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      iLanguage = 0, mainInit(int(args.size()), argv.data());
      std::printf("%s|%s|%s", sFileZip, sFileXml, sBaseDir);
    });
    EXPECT_EQ(c.out.substr(0, banner.size()), banner);  // the banner first, then nothing else
    EXPECT_EQ(c.out.substr(banner.size(), want.size()), want);
  }
  // Chinese texts are GBK bytes as iconv makes them (the prompt, refusal and summary are
  // checked byte for byte on the console by the command-line script).
  EXPECT_EQ(std::string(txt::kParClusterPow2.cn), gbk("参数cluster取值必须是2的幂，例如1、2、4、8等"));
}

}  // namespace
}  // namespace qn::test
