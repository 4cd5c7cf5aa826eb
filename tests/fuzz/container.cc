// Fuzz target: the container reader, the header, the data-stream end field, chunks and their
// sums, and the switch to volume files. Input: the volume size in MiB (one byte, 0 to 7), the
// chunk length in 8-byte words (one byte; 0: the program's 2 MiB chunks; small ones reach
// the volumes sooner), then the archive file and its volume files separated by kSplit.
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz.h"

namespace {

constexpr std::string_view kSplit = "\nVOLUME\n";

// Reads one stored stream of `remaining` bytes in chunks of `chunk` bytes, as the driver does.
void readStream(int64_t remaining, int64_t chunk) {
  static std::vector<uint8_t> buffer(qn::ctr::kChunk);
  while (remaining > 0) {
    const int64_t n = std::min(remaining, chunk);
    qn::ctr::zipFileRead(buffer.data(), static_cast<uint32_t>(n - 8));
    remaining -= n;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);
  qn::fuzz::hosted([&] {
    using namespace qn;
    std::string name = "a.qn";
    for (int vol = 1;; ++vol) {
      const size_t cut = std::min(rest.find(kSplit), rest.size());
      qn::fuzz::put(name, reinterpret_cast<const uint8_t*>(rest.data()), cut);
      if (cut == rest.size()) break;
      rest.remove_prefix(cut + kSplit.size());
      name = "a.qn." + std::to_string(vol);
    }
    std::strcpy(fe::sFileZip, "a.qn");
    fe::initPar();
    fe::loadPar();
    fe::iVolume = data[0] % 8;
    const int64_t chunk = data[1] == 0 ? int64_t(ctr::kChunk) : 8 * int64_t(data[1]);
    ctr::checkHeader();
    ctr::iVolNum = 0;
    ctr::iVolCnt = 0;
    readStream(static_cast<int64_t>(ctr::fDataPos) - 16, chunk);
    const uint64_t end = ctr::readDataEnd();
    fseeko(ctr::fpIn, static_cast<off_t>(ctr::fDataPos + 8), SEEK_SET);
    readStream(static_cast<int64_t>(end - ctr::fDataPos - 8), chunk);
  });
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(".", ec))
    if (e.path().filename().string().starts_with("a.qn")) qn::fuzz::removeAll(e.path());
  return 0;
}
