// Archives of the independent implementation, decoded by our decoder alone: the index
// stream must give index.xml byte for byte, the data stream every file's digest. A plain
// interpreter written here from the instruction format turns the words into bytes.
#include <fstream>
#include <map>
#include <sstream>

#include "decoder/decoder.h"
#include "harness.h"
#include "sha256.h"

namespace qn::test {
namespace {

const std::string kCases = std::string(QN_SHARED_DIR) + "/conformance/";

std::vector<uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint64_t le(const std::vector<uint8_t>& b, size_t at, int n) {
  uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = v << 8 | b[at + size_t(i)];
  return v;
}

// The payloads of the chunks in [from, to), joined: chunks of 2 MiB, each ending in its
// 8-byte sum, which is checked here.
std::vector<uint8_t> payloads(const std::vector<uint8_t>& a, size_t from, size_t to) {
  std::vector<uint8_t> out;
  for (size_t at = from; at < to; at += 0x200000) {
    const size_t end = std::min(to, at + 0x200000);
    uint64_t sum = 0;
    for (size_t p = at; p + 8 < end; p += 8) sum += le(a, p, 8);
    EXPECT_EQ(sum, le(a, end - 8, 8));
    out.insert(out.end(), a.begin() + ptrdiff_t(at), a.begin() + ptrdiff_t(end - 8));
  }
  return out;
}

// Executes instruction words up to the first end word (261 or 263).
std::vector<uint8_t> interpret(const std::vector<uint32_t>& w) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < w.size(); ++i) {
    const uint32_t x = w[i];
    if (x < 256) {
      out.push_back(uint8_t(x));
    } else if (x == 261 || x == 263) {
      return out;
    } else if (x == 257 || x == 258 || x == 262) {
      continue;
    } else {
      EXPECT_TRUE(x & 0x80000000u) << "word " << x;
      const uint32_t n = x & 0x7FFFFFFF;
      const uint64_t len = n <= 0x10000 ? n : uint64_t(1) << (16 + n - 0x10000);
      uint64_t d = w[++i];
      if (n != 2 && (d & 0x80000000u)) d = (d & 0x7FFFFFFF) << 32 | w[++i];
      if (d == 0 || d > out.size()) {
        ADD_FAILURE() << "distance " << d << " at " << out.size();
        return out;
      }
      for (uint64_t k = 0; k < len; ++k) out.push_back(out[out.size() - d]);
    }
  }
  ADD_FAILURE() << "no end word";
  return out;
}

std::string field(const std::string& text, const std::string& tag, size_t from, size_t to) {
  const size_t a = text.find("<" + tag + ">", from);
  if (a == std::string::npos || a > to) return "";
  const size_t b = text.find("</" + tag + ">", a);
  return text.substr(a + tag.size() + 2, b - a - tag.size() - 2);
}

// Decodes one case: index stream, then (given esc/flush) the data stream, checked file by
// file against the manifest in the index's order (column 1: files follow each other).
void checkCase(const std::string& name, const std::string& pwd, uint32_t esc, uint32_t flush) {
  SCOPED_TRACE(name);
  const auto a = readFile(kCases + name + "/archive.qn");
  ASSERT_GE(a.size(), 24u);
  const uint64_t dataPos = le(a, 8, 8);

  freshModel(63, 5);  // the index stream always runs with the default esc and flush
  resetPass();
  std::memcpy(fe::bufPwd, pwd.data(), pwd.size());
  fe::iPwdLen = int32_t(pwd.size());
  dec::syncInit();
  fe::iPwdLen = 0;
  resetPass();
  const Decoded index = runDecoder(payloads(a, 16, dataPos));
  ASSERT_TRUE(index.ended);
  const auto xml = interpret(flatten(index));
  const auto want = readFile(kCases + name + "/index.xml");
  ASSERT_EQ(std::string(xml.begin(), xml.end()), std::string(want.begin(), want.end()));

  uint64_t dataEnd = le(a, dataPos, 8);
  if (dataEnd == 0) dataEnd = a.size();
  fe::iEscape = int32_t(esc);
  fe::iFlush = int32_t(flush);
  dec::syncUnzip(0);
  resetPass();
  const Decoded data = runDecoder(payloads(a, dataPos + 8, dataEnd));
  ASSERT_TRUE(data.ended);
  ASSERT_EQ(flatten(data).back(), 261u);
  const auto bytes = interpret(flatten(data));

  std::map<std::string, std::string> digests;  // path -> sha256, from the manifest
  std::istringstream manifest([&] {
    const auto m = readFile(kCases + name + "/manifest.tsv");
    return std::string(m.begin(), m.end());
  }());
  for (std::string line; std::getline(manifest, line);) {
    std::istringstream row(line);
    std::string path, type, size, sha;
    std::getline(row, path, '\t'), std::getline(row, type, '\t');
    std::getline(row, size, '\t'), std::getline(row, sha, '\t');
    if (type == "f") digests[path] = sha;
  }
  const std::string text(want.begin(), want.end());
  size_t at = 0, files = 0;
  for (size_t f = text.find("<file>"); f != std::string::npos; f = text.find("<file>", f + 1)) {
    const size_t end = text.find("</file>", f);
    const std::string dir = field(text, "path", f, end);
    const std::string path = (dir.empty() ? "" : dir + "/") + field(text, "name", f, end);
    const size_t size = std::stoull(field(text, "size", f, end));
    ASSERT_LE(at + size, bytes.size()) << path;
    EXPECT_EQ(sha256Hex(bytes.data() + at, size), digests[path]) << path;
    at += size;
    ++files;
  }
  EXPECT_EQ(files, digests.size());
  EXPECT_EQ(at, bytes.size());
}

TEST(Conformance, IndexAndDataStreamsOfPlainArchives) {
  checkCase("tiny_tree", "", 63, 5);
  checkCase("many_small_files", "", 63, 5);
  checkCase("text_6mib", "", 63, 5);
  checkCase("random_3mib", "", 63, 5);
  checkCase("one_byte_7mib", "", 63, 5);
  checkCase("cache_64", "", 63, 5);
}

TEST(Conformance, PasswordsPrimeTheModel) {
  checkCase("password_1byte", "7", 63, 5);
  checkCase("password_64bytes",
            "The quick brown fox jumps over the lazy dog; 0123456789 ~!@#$%^&", 63, 5);
}

TEST(Conformance, DataStreamSwitchesToTheArchivesEscapeAndFlush) {
  checkCase("coder_esc1_flush1", "", 1, 1);
  checkCase("coder_esc1_flush16", "", 1, 16);
  checkCase("coder_esc20_flush3", "", 20, 3);
  checkCase("coder_esc63_flush16", "", 63, 16);
}

}  // namespace
}  // namespace qn::test
