// Tests of start-up: banner, arguments and their normalisation, usage text, overlong arguments, early stops.
#include <gtest/gtest.h>

#include <vector>

#include "fe_util.h"

namespace qn::fe::test {
namespace {

const std::string kBannerEn = "\n*** Quarnel -- Decompressor, Version: v20261206 linux-x86_64 ***\n";

// The banner as a fresh process prints it (language not yet read: both texts), then its line feed.
std::string bannerBoth() {
  return kBannerEn + " (" + gbk("\n*** Quarnel——解压运算器，版本：v20261206 linux-x86_64 ***\n") + ")\n";
}

std::string seeLogBoth() {
  return "Error occured, please see the log file 'qn_error.log' (" + gbk("程序出错，请查看日志文件'qn_error.log'") +
         ")\n\n";
}

// Runs mainInit on the arguments in a child; prints the three path buffers when it returns.
Child init(std::vector<std::string> args) {
  return runChild([&] {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    mainInit(static_cast<int>(args.size()), argv.data());
    std::printf("\x01%s|%s|%s", sFileZip, sFileXml, sBaseDir);
  });
}

std::string paths(const Child& c) {
  size_t p = c.out.find('\x01');
  return p == std::string::npos ? "<none>" : c.out.substr(p + 1);
}

TEST(Startup, ArgumentsAndDestinationPrefix) {
  ScratchDir dir;
  resetFrontEnd();
  struct Case {
    std::vector<std::string> args;
    std::string want;
  };
  const std::string p255(255, 'p');
  const std::vector<Case> cases = {
      {{"q", "z.qn", "i.xml"}, "z.qn|i.xml|-xml"},
      {{"q", "z.qn", "i.xml", "out"}, "z.qn|i.xml|out/"},
      {{"q", "z.qn", "i.xml", "out/"}, "z.qn|i.xml|out/"},
      {{"q", "z.qn", "i.xml", "a\\b"}, "z.qn|i.xml|a/b/"},
      {{"q", "z.qn", "i.xml", "a\\"}, "z.qn|i.xml|a/"},
      {{"q", "z.qn", "i.xml", ""}, "z.qn|i.xml|"},
      {{"q", "z.qn", "i.xml", "-xml"}, "z.qn|i.xml|-xml"},
      {{"q", "d\\z.qn", "e\\f\\i.xml", "/abs"}, "d/z.qn|e/f/i.xml|/abs/"},
      {{"q", p255, p255, p255}, p255 + "|" + p255 + "|" + p255 + "/"},
  };
  for (const Case& c : cases) {
    Child r = init(c.args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(paths(r), c.want);
    // The banner comes first, then nothing else.
    EXPECT_EQ(r.out.substr(0, r.out.find('\x01')), bannerBoth());
  }
  EXPECT_FALSE(exists(kLogName));
}

TEST(Startup, UsageTextWithoutLogEntry) {
  ScratchDir dir;
  resetFrontEnd();
  const std::string en =
      "\nCommand usage (Strict sequence of parameters):\n  quarnunzip zip_file index_xml_file [destination_path]\n"
      "Description:\n  zip_file -- Compressed file\n  index_xml_file -- Index XML file\n"
      "  destination_path -- Destination file path (Alternative)\n"
      "Example 1: quarnunzip /path1/zip.qn /path1/zip.xml /path/\n"
      "Example 2: quarnunzip ../path1/myzip.qn ../path1/myzip.xml\n"
      "Example 3: quarnunzip \"/my path/zip1.qn\" \"/my path/zip1.xml\" \"/home/My Document/\"\n";
  const std::string cn = gbk(
      "\n命令行用法(参数顺序必须正确)：\n  quarnunzip zip_file index_xml_file [destination_path]\n说明：\n"
      "  zip_file -- 压缩文件\n  index_xml_file -- 索引XML文件\n  destination_path -- 目标文件路径(可选)\n"
      "例1：quarnunzip /path1/zip.qn /path1/zip.xml /path/\n例2：quarnunzip ../path1/myzip.qn ../path1/myzip.xml\n"
      "例3：quarnunzip \"/my path/zip1.qn\" \"/my path/zip1.xml\" \"/home/My Document/\"\n");
  const std::vector<std::vector<std::string>> wrong = {{"q"}, {"q", "z.qn"}, {"q", "a", "b", "c", "d"}};
  for (const auto& args : wrong) {
    Child r = init(args);
    EXPECT_EQ(r.status, 1) << args.size();
    EXPECT_EQ(r.out, bannerBoth() + en + " (" + cn + ")\n");
  }
  EXPECT_FALSE(exists(kLogName));
}

TEST(Startup, OverlongArgumentStops) {
  const std::string p256(256, 'p');
  const std::vector<std::vector<std::string>> longOnes = {
      {"q", p256, "i.xml"}, {"q", "z.qn", p256}, {"q", "z.qn", "i.xml", p256}};
  for (const auto& args : longOnes) {
    ScratchDir dir;
    resetFrontEnd();
    Child r = init(args);
    const std::string text = "Too long of the command parameter (" + gbk("命令行参数太长") + ")";
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, bannerBoth() + "\n" + text + "\n" + seeLogBoth());
    EXPECT_NE(readFile(kLogName).find(" ==== " + text + "\n"), std::string::npos);
  }
}

TEST(Startup, RunStopsBeforeDecodingOnConfigErrors) {
  ScratchDir dir;
  resetFrontEnd();
  auto runIt = [] {
    return runChild([] {
      char a0[] = "quarnunzip", a1[] = "z.qn", a2[] = "i.xml";
      char* argv[] = {a0, a1, a2, nullptr};
      drv::run(3, argv);
      std::printf("returned");
    });
  };
  // No qn.ini: the message in both languages, since no language was read.
  Child r = runIt();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, bannerBoth() + "\nFail opening config file 'qn.ini' (" + gbk("打开参数设置文件'qn.ini'失败") + ")\n" +
                       seeLogBoth());
  // A bad value: reported in the file's language, then the file is named.
  writeFile("qn.ini", "language=2\nesc=0\n");
  r = runIt();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, bannerBoth() +
                       "\nParameter 'esc' value range must be 1-16384\n\nError in parameter file qn.ini\n"
                       "Error occured, please see the log file 'qn_error.log'\n\n");
  EXPECT_FALSE(exists("i.xml"));
}

}  // namespace
}  // namespace qn::fe::test
