// Tests of the bilingual messages, the error log with its rotation, and the fatal stop.
#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <thread>
#include <vector>

#include "fe_util.h"

namespace qn::fe::test {
namespace {

const Text kPair = {"\xd6\xd0\xce\xc4", "English"};  // "中文" in GBK

// True when stamp is the ctime text of some second from t0 to t1.
bool stampBetween(const std::string& stamp, time_t t0, time_t t1) {
  for (time_t t = t0; t <= t1; ++t) {
    char buf[64];
    if (stamp == ctime_r(&t, buf)) return true;
  }
  return false;
}

// Splits a log into its entries: the stamp line (with its line feed) and the text after " ==== ".
std::vector<std::pair<std::string, std::string>> logEntries(const std::string& log) {
  std::vector<std::pair<std::string, std::string>> out;
  size_t pos = 0;
  while (pos < log.size()) {
    size_t nl1 = log.find('\n', pos);
    size_t nl2 = log.find('\n', nl1 + 1);
    if (nl1 == std::string::npos || nl2 == std::string::npos) break;
    std::string body = log.substr(nl1 + 1, nl2 - nl1 - 1);
    EXPECT_EQ(body.rfind(" ==== ", 0), 0u) << body;
    out.emplace_back(log.substr(pos, nl1 + 1 - pos), body.substr(6));
    pos = nl2 + 1;
  }
  EXPECT_EQ(pos, log.size()) << "trailing bytes in the log";
  return out;
}

TEST(Messages, ConsoleAndLogFollowTheLanguage) {
  struct Mode {
    int lang;
    std::string text;
  };
  const std::string cn = kPair.cn;
  const std::vector<Mode> modes = {{0, "English (" + cn + ")"}, {1, cn}, {2, "English"},
                                   {3, "English (" + cn + ")"}, {9, "English (" + cn + ")"}};
  for (const Mode& m : modes) {
    ScratchDir dir;
    resetFrontEnd();
    time_t t0 = std::time(nullptr);
    Child c = runChild([&] {
      iLanguage = m.lang;
      msg(kPair.cn, kPair.en);
      msg("[", "[");  // msg adds no line feed
      err(kPair.cn, kPair.en);
      std::printf("iError=%d", iError);
    });
    time_t t1 = std::time(nullptr);
    const std::string bracket = m.lang == 0 || m.lang >= 3 ? "[ ([)" : "[";
    EXPECT_EQ(c.out, m.text + bracket + "\n" + m.text + "\niError=1") << "language " << m.lang;
    auto entries = logEntries(readFile(kLogName));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_TRUE(stampBetween(entries[0].first, t0, t1)) << entries[0].first;
    EXPECT_EQ(entries[0].second, m.text);
  }
}

TEST(Messages, FormattedPairsTakeTheSameArguments) {
  ScratchDir dir;
  resetFrontEnd();
  Child c = runChild([] {
    msgf(Text{"C%d-%s", "E%d-%s"}, 7, "x");
    errf(Text{"c%u", "e%u"}, 4000000000u);
    std::printf("|%d", iError);
  });
  EXPECT_EQ(c.out, "E7-x (C7-x)\ne4000000000 (c4000000000)\n|1");
  EXPECT_EQ(logEntries(readFile(kLogName)).at(0).second, "e4000000000 (c4000000000)");
  // The 64 KiB bound: at most 65535 characters of text.
  EXPECT_EQ(format("%d:%s", 12, "ab"), "12:ab");
  const std::string big(70000, 'z');
  EXPECT_EQ(format("%s", big.c_str()), std::string(65535, 'z'));
  c = runChild([&] {
    iLanguage = 2;
    msgf(Text{"%s", "%s"}, big.c_str());
  });
  EXPECT_EQ(c.out, std::string(65535, 'z'));
}

TEST(Messages, LogRotatesAtTheSizeLimit) {
  ScratchDir dir;
  resetFrontEnd();
  auto report = [](const char* text) {
    runChild([&] {
      iLanguage = 2;
      iLogSize = 1;
      err(text, text);
    });
  };
  // One byte short of 1 KiB: appended to.
  writeFile(kLogName, std::string(1023, 'a'));
  writeFile(kLogBak, "old backup");
  report("first");
  std::string log = readFile(kLogName);
  EXPECT_EQ(log.substr(0, 1023), std::string(1023, 'a'));
  EXPECT_EQ(logEntries(log.substr(1023)).at(0).second, "first");
  EXPECT_EQ(readFile(kLogBak), "old backup");
  // Exactly 1 KiB: moved to the backup (replacing the old one) before the new entry.
  writeFile(kLogName, std::string(1024, 'b'));
  report("second");
  EXPECT_EQ(readFile(kLogBak), std::string(1024, 'b'));
  auto entries = logEntries(readFile(kLogName));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].second, "second");
}

TEST(Messages, LogSizeZeroRotatesEveryReport) {
  ScratchDir dir;
  resetFrontEnd();
  for (const char* text : {"one", "two", "three"}) {
    runChild([&] {
      iLanguage = 2;
      iLogSize = 0;
      err(text, text);
    });
  }
  auto log = logEntries(readFile(kLogName));
  auto bak = logEntries(readFile(kLogBak));
  ASSERT_EQ(log.size(), 1u);
  ASSERT_EQ(bak.size(), 1u);
  EXPECT_EQ(log[0].second, "three");
  EXPECT_EQ(bak[0].second, "two");
}

TEST(Messages, UnopenableLogLeavesTheConsoleOnly) {
  ScratchDir dir;
  resetFrontEnd();
  // A link into a missing directory: the log can be neither read nor created.
  ASSERT_EQ(symlink("missing/qn_error.log", kLogName), 0);
  Child c = runChild([] {
    iLanguage = 2;
    err("x", "console only");
    std::printf("|%d", iError);
  });
  EXPECT_EQ(c.status, 0);
  EXPECT_EQ(c.out, "\nconsole only\n|1");
  EXPECT_FALSE(exists("missing"));
  EXPECT_FALSE(exists(kLogBak));
}

TEST(Messages, HaltEndsTheProcessFromAnyThread) {
  ScratchDir dir;
  resetFrontEnd();
  const std::string seeLog = "Error occured, please see the log file 'qn_error.log'\n\n";
  Child c = runChild([] {
    iLanguage = 2;
    msg("", "pending ");  // unflushed output is not lost
    halt();
  });
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(c.out, "pending " + seeLog);
  EXPECT_FALSE(exists(kLogName));  // halt itself logs nothing

  c = runChild([] {
    iLanguage = 2;
    std::thread([] { halt(); }).join();
    std::printf("returned");
  });
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(c.out, seeLog);

  c = runChild([] { halt(); });
  EXPECT_EQ(c.out, format(qn::txt::kSeeLog.en, "qn_error.log") + " (" +
                       format(qn::txt::kSeeLog.cn, "qn_error.log") + ")\n\n");
}

TEST(Messages, ReportsFromSeveralThreadsDoNotInterleave) {
  ScratchDir dir;
  resetFrontEnd();
  constexpr int kThreads = 4, kEach = 100;
  auto text = [](int t, int i) { return std::string(500 + 37 * t, static_cast<char>('a' + t)) + std::to_string(i); };
  Child c = runChild([&] {
    iLanguage = 2;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kEach; ++i) {
          std::string s = text(t, i);
          if (i % 2 == 0) {
            err(s.c_str(), s.c_str());
          } else {
            msg(s.c_str(), ("\n" + s + "\n").c_str());
          }
        }
      });
    }
    for (auto& th : threads) th.join();
  });
  // Every report is a whole "\n<text>\n" block; each thread's reports keep their order.
  std::vector<int> next(kThreads, 0);
  size_t pos = 0;
  int logged = 0;
  while (pos < c.out.size()) {
    ASSERT_EQ(c.out[pos], '\n');
    size_t end = c.out.find('\n', pos + 1);
    ASSERT_NE(end, std::string::npos);
    std::string s = c.out.substr(pos + 1, end - pos - 1);
    int t = s[0] - 'a';
    ASSERT_TRUE(t >= 0 && t < kThreads) << s.substr(0, 20);
    ASSERT_EQ(s, text(t, next[t]));
    ++next[t];
    pos = end + 1;
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kEach);
  for (const auto& e : logEntries(readFile(kLogName))) {
    int t = e.second[0] - 'a';
    ASSERT_TRUE(t >= 0 && t < kThreads);
    EXPECT_EQ(e.second.substr(0, 500 + 37 * t), std::string(500 + 37 * t, static_cast<char>('a' + t)));
    ++logged;
  }
  EXPECT_EQ(logged, kThreads * kEach / 2);
}

}  // namespace
}  // namespace qn::fe::test
