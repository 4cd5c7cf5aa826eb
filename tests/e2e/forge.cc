// qn_forge ARCHIVE INDEX DATA [END]: a single-file archive with chosen instructions, for the
// damaged-archive table. The index stream: the file INDEX as literals, then control code END (7).
// The data stream: DATA's blank-separated words, each N times when it ends in "*N": x:HEX literals,
// m:LEN:DIST a match of a length field, b:IDX a block start index, c:N the closing control code (5).
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/format.h"
#include "quarnzip/archive.h"
#include "quarnzip/stream_writer.h"

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  std::ifstream f(argv[2], std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  qn::core::Model model;
  model.init();
  qn::zip::StreamWriter w(model);
  w.beginStream(false, 1);
  for (size_t i = 0; i < text.size(); ++i) {
    w.literal(uint8_t(text[i]));
    if ((i + 1) % qn::core::kSlot == 0) w.endOfBuffer();  // an instruction buffer per 1 MiB of output
  }
  const std::vector<uint8_t> index = w.endStream(argc > 4 ? std::stoul(argv[4]) : 7);
  w.beginStream(true, 2);
  unsigned end = 5;
  std::istringstream in(argv[3]);
  for (std::string word; in >> word;) {
    const size_t star = word.find('*');
    const std::string arg = word.substr(2, star - 2);
    for (long k = star == word.npos ? 1 : std::stol(word.substr(star + 1)); k > 0; --k) {
      if (word[0] == 'x') {
        for (size_t i = 0; i + 1 < arg.size(); i += 2) w.literal(uint8_t(std::stoul(arg.substr(i, 2), nullptr, 16)));
      } else if (word[0] == 'm') {
        w.match(uint32_t(std::stoul(arg)), std::stoull(arg.substr(arg.find(':') + 1)));
      } else if (word[0] == 'b') {
        w.blockStart(std::stoull(arg));
      } else {
        end = unsigned(std::stoul(arg));
      }
    }
  }
  const std::vector<uint8_t> data = w.endStream(end);
  qn::zip::ArchiveWriter archive(argv[1], 0, true);
  archive.begin(uint32_t(text.size()), false, index);
  archive.data(data.data(), data.size());
  return archive.finish() && !w.broken() ? 0 : 1;
}
