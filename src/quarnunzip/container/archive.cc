// Archive container: header check, chunk reading with the 64-bit sum, volume files.
#include <cstring>
#include <string>

#include "container/container.h"
#include "core/checksum.h"
#include "frontend/frontend.h"

namespace qn::ctr {

namespace {

uint64_t loadLe64(const uint8_t* p) {
  uint64_t v = 0;
  for (int b = 7; b >= 0; --b) v = (v << 8) | p[b];
  return v;
}

[[noreturn]] void fatal(const fe::Text& t) {
  fe::errf(t, fe::sFileZip);
  fe::halt();
}

// Opens the next volume file "%s.%d" when the open file has counted its volume size.
void switchVolume() {
  if (fe::iVolume == 0 || iVolCnt < static_cast<uint32_t>(fe::iVolume)) return;
  std::fclose(fpIn);
  ++iVolNum;
  std::string name = fe::format("%s.%d", fe::sFileZip, iVolNum);
  fpIn = std::fopen(name.c_str(), "rb");
  if (fpIn == nullptr) {
    fe::errf(txt::kFailOpenVol, fe::sFileZip, iVolNum);
    fe::halt();
  }
  iVolCnt = 0;
}

// Reads up to `want` bytes, going on after short reads until a read delivers nothing.
uint32_t readFully(uint8_t* buffer, uint32_t want) {
  uint32_t got = 0;
  while (got < want) {
    size_t r = std::fread(buffer + got, 1, want - got, fpIn);
    if (r == 0) break;
    got += static_cast<uint32_t>(r);
  }
  return got;
}

[[noreturn]] void readError() {
  if (iVolNum >= 1) {
    fe::errf(txt::kErrReadVol, fe::sFileZip, iVolNum);
    fe::halt();
  }
  fatal(txt::kErrReadZip);
}

// The Chinese text also shows the stored check and the computed sum.
[[noreturn]] void checksumError(uint64_t stored, uint64_t sum) {
  using ull = unsigned long long;
  std::string cn, en;
  if (iVolNum >= 1) {
    cn = fe::format(txt::kChecksumVol.cn, ull(stored), ull(sum), fe::sFileZip, iVolNum);
    en = fe::format(txt::kChecksumVol.en, fe::sFileZip, iVolNum);
  } else {
    cn = fe::format(txt::kChecksum.cn, ull(stored), ull(sum), fe::sFileZip);
    en = fe::format(txt::kChecksum.en, fe::sFileZip);
  }
  fe::err(cn.c_str(), en.c_str());
  fe::halt();
}

}  // namespace

void zipFileRead(uint8_t* buffer, uint32_t n) {
  switchVolume();
  // n + 8 in 32 bits: a last chunk shorter than its check (n "negative") asks for that many bytes.
  const uint32_t t = readFully(buffer, n + 8);
  if (t == 0 || t % 8 != 0) readError();
  const uint64_t sum = core::chunkSum(buffer, t - 8);
  const uint64_t stored = loadLe64(buffer + t - 8);
  if (sum != stored) checksumError(stored, sum);
  iVolCnt += core::kVolumeMiBPerChunk;
}

int checkHeader() {
  fpIn = std::fopen(fe::sFileZip, "rb");
  if (fpIn == nullptr) fatal(txt::kFailOpenZip);
  uint8_t h[core::kHeaderSize];
  if (std::fread(h, 1, sizeof h, fpIn) != sizeof h) fatal(txt::kFailReadZip);
  if (h[0] != kMagic) fatal(txt::kInvalidFormat);
  if (h[1] != kVersion) fe::errf(txt::kZipVersion, int(h[1]), int(kVersion));
  uint32_t indexLen = 0;
  for (int b = core::kHeaderIndexLen + 3; b >= core::kHeaderIndexLen; --b) indexLen = (indexLen << 8) | h[b];
  fLenXml = fLen = indexLen;
  d = 100.0 / indexLen;
  fDataPos = loadLe64(h + core::kHeaderDataPos);
  // The archive's size, for the stream positions; the file stays at offset 16.
  fseeko(fpIn, 0, SEEK_END);
  fZipSize = static_cast<uint64_t>(ftello(fpIn));
  fseeko(fpIn, core::kHeaderSize, SEEK_SET);
  if (fDataPos < uint64_t(core::kHeaderSize) || fDataPos > fZipSize) fatal(txt::kBadStreamPos);
  return h[core::kHeaderFlags];
}

uint64_t readDataEnd() {
  uint8_t e[8];
  if (fseeko(fpIn, static_cast<off_t>(fDataPos), SEEK_SET) != 0 || std::fread(e, 1, 8, fpIn) != 8) {
    fe::errf(txt::kFailReadDataPos);
    fe::halt();
  }
  uint64_t end = loadLe64(e);
  if (end == 0) end = fZipSize;
  if (end < fDataPos + 8) fatal(txt::kBadStreamPos);
  return end;
}

}  // namespace qn::ctr
