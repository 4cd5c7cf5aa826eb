// Tests of the index line reader, the value parsers and the invalid-data report.
#include <iconv.h>

#include "index/index_fixture.h"

namespace qn::test {
namespace {

std::string invalid(const std::string& text, int line) {
  return "Invalid data '" + text + "' near line " + std::to_string(line) +
         " of XML index file idx.xml";
}

std::string nextLine() {
  char buf[520];
  idx::getXmlLine(buf);
  return buf;
}

std::string toGbk(const std::string& utf8) {
  iconv_t cd = iconv_open("GBK", "UTF-8");
  std::string out(utf8.size() * 2, '\0');
  char* in = const_cast<char*>(utf8.data());
  char* o = out.data();
  size_t inLeft = utf8.size(), outLeft = out.size();
  iconv(cd, &in, &inLeft, &o, &outLeft);
  iconv_close(cd);
  out.resize(out.size() - outLeft);
  return out;
}

TEST_F(IndexTest, LineReaderSkipsBlanksAndReportsLinesWithoutBracket) {
  openIndex("\n\r\n   <a>\n\t<b>\ntext only\n  <c attr=\"1\">\n");
  EXPECT_EQ(nextLine(), "<a>");
  EXPECT_EQ(idx::iXmlLine, 1);
  EXPECT_EQ(nextLine(), "<c attr=\"1\">");
  EXPECT_EQ(idx::iXmlLine, 4);
  EXPECT_EQ(nextLine(), "");   // end of the index
  EXPECT_EQ(idx::iXmlLine, 4);
  EXPECT_EQ(reports(), (std::vector<std::string>{invalid("\t<b>", 2), invalid("text only", 3)}));
  EXPECT_EQ(fe::iError, 1);
}

TEST_F(IndexTest, LineReaderLongLines) {
  const std::string exact = "<" + std::string(511, 'x');
  std::string long600 = "<";
  for (int i = 1; i < 600; ++i) long600 += static_cast<char>('a' + i % 26);
  openIndex(exact + "\n" + long600 + "\n<end>\n");
  EXPECT_EQ(nextLine(), exact);                  // 512 bytes, read whole
  EXPECT_EQ(nextLine(), long600.substr(0, 512)); // cut at 512; byte 513 is lost
  EXPECT_EQ(nextLine(), "<end>");                // the last 87 bytes came back as a line
  EXPECT_EQ(reports(), (std::vector<std::string>{invalid(long600.substr(513), 3)}));
  EXPECT_EQ(long600.substr(513).size(), 87u);
}

TEST_F(IndexTest, LineReaderStopsWhenFewerThanThreeBytesRemain) {
  openIndex("<a>\n<b");   // two bytes left after the first line
  EXPECT_EQ(nextLine(), "<a>");
  EXPECT_EQ(nextLine(), "");
  openIndex("<a>\n<bc");   // three bytes left: read
  EXPECT_EQ(nextLine(), "<a>");
  EXPECT_EQ(nextLine(), "<bc");
  // A file shorter than the announced length ends where the file ends.
  openIndex("<a>\n  \n");
  ctr::fLenXml += 100;
  EXPECT_EQ(nextLine(), "<a>");
  EXPECT_EQ(nextLine(), "");
  EXPECT_EQ(nextLine(), "");
}

TEST_F(IndexTest, DecimalAndHexadecimalValues) {
  idx::iXmlLine = 9;
  auto dec = [](std::string s) { return idx::getXmlInt(s.data()); };
  auto hex = [](std::string s) { return idx::getXmlHex(s.data()); };
  EXPECT_EQ(dec("<size>00012</size>"), 12u);
  EXPECT_EQ(dec("<size></size>"), 0u);
  EXPECT_EQ(dec("<size attr=\"x\">345</size>"), 345u);
  EXPECT_EQ(reports().size(), 0u);
  EXPECT_EQ(dec("<size>12 </size>"), 12u);                              // reported
  EXPECT_EQ(dec("<size 12"), 0u);                                       // no ">": reported
  EXPECT_EQ(dec("<size>-5</size>"), 0u);                                // a sign: reported
  EXPECT_EQ(dec("<size>18446744073709551617</size>"), 1u);             // 2^64 + 1 wraps
  EXPECT_EQ(hex("<time>6553f1A0</time>"), 0x6553F1A0u);
  EXPECT_EQ(hex("<time>6553F1a0</time>"), 0x6553F1A0u);
  EXPECT_EQ(hex("<time>fffffffffffffffff1</time>"), 0xFFFFFFFFFFFFFFF1u);  // wraps
  EXPECT_EQ(hex("<time>12g</time>"), 0x12u);                             // reported
  EXPECT_EQ(reports(), (std::vector<std::string>{invalid("<size>12 </size>", 9),
                                                 invalid("<size 12", 9),
                                                 invalid("<size>-5</size>", 9),
                                                 invalid("<time>12g</time>", 9)}));
}

TEST_F(IndexTest, TextValues) {
  idx::iXmlLine = 4;
  std::string entity = "<name>a &amp; b </name>";
  EXPECT_STREQ(idx::getXmlStr(entity.data()), "a &amp; b ");   // unchanged, trailing blank kept
  std::string gt = "<name>x>y</name>";
  EXPECT_STREQ(idx::getXmlStr(gt.data()), "x>y");
  std::string empty = "<path></path>";
  EXPECT_STREQ(idx::getXmlStr(empty.data()), "");
  EXPECT_EQ(reports().size(), 0u);
  std::string open = "<name>runs to the end ";
  EXPECT_STREQ(idx::getXmlStr(open.data()), "runs to the end ");
  std::string noGt = "<name runs";
  EXPECT_STREQ(idx::getXmlStr(noGt.data()), "");
  EXPECT_EQ(reports(), (std::vector<std::string>{invalid("<name>runs to the end ", 4),
                                                 invalid("<name runs", 4)}));
}

TEST_F(IndexTest, ChineseReportNamesTheFileBeforeTheLine) {
  fe::iLanguage = 1;
  idx::iXmlLine = 5;
  idx::errXml("bad");
  EXPECT_EQ(reports(), (std::vector<std::string>{toGbk("无效数据'bad'在索引XML文件idx.xml第5行")}));
}

}  // namespace
}  // namespace qn::test
