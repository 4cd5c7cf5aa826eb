// Tests that the Chinese texts are GBK bytes, as iconv converts them, on the console and in the log.
#include <gtest/gtest.h>

#include "fe_util.h"

namespace qn::fe::test {
namespace {

TEST(Gbk, TextsAreGbkOnConsoleAndInLog) {
  struct Case {
    const Text& text;
    const char* utf8;
  };
  const Case cases[] = {
      {qn::txt::kPwdPrompt, "请输入密码"},
      {qn::txt::kPwdChinese, "密码不能使用中文"},
      {qn::txt::kTooLongParam, "命令行参数太长"},
      {qn::txt::kSeeLog, "程序出错，请查看日志文件'%s'"},
      {qn::txt::kParClusterPow2, "参数cluster取值必须是2的幂，例如1、2、4、8等"},
      {qn::txt::kSummary, "%d 个文件已解压，耗时：%d 秒"},
  };
  ScratchDir dir;
  resetFrontEnd();
  for (const Case& c : cases) {
    const std::string want = gbk(c.utf8);
    EXPECT_EQ(std::string(c.text.cn), want) << c.utf8;
    Child r = runChild([&] {
      iLanguage = 1;
      msg(c.text.cn, c.text.en);
    });
    EXPECT_EQ(r.out, want) << c.utf8;
  }
  // The log holds the same bytes in language 1.
  runChild([] {
    iLanguage = 1;
    err(qn::txt::kPwdChinese.cn, qn::txt::kPwdChinese.en);
  });
  const std::string log = readFile(kLogName);
  const std::string tail = " ==== " + gbk("密码不能使用中文") + "\n";
  ASSERT_GE(log.size(), tail.size());
  EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
}

}  // namespace
}  // namespace qn::fe::test
