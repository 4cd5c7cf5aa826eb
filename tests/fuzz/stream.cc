// Fuzz target: a data stream through the decoder (coder, tables, grammar, lengths and
// distances) and the interpreter, plain or block mode, into the null device. Input: three
// bytes choosing esc, flush and the mode, then the stream as the input ring receives it.
#include <cstring>

#include "decoder/decoder.h"
#include "driver/driver.h"
#include "fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  qn::fuzz::hosted([&] {
    using namespace qn;
    fe::initPar();
    fe::param[fe::kEsc] = 1 + data[0] % 63;
    fe::param[fe::kFlush] = 1 + data[1] % 16;
    fe::param[fe::kBwt] = data[2] & 1;
    fe::param[fe::kBlock] = 1 + (data[2] >> 1 & 1);
    fe::param[fe::kCache] = 8;
    if (!fe::parOK()) return;
    drv::initBuf(fe::iMaxBuf);
    dec::syncInit();
    rec::initBwt();
    idx::fpOut = std::fopen("/dev/null", "wb");
    ctr::fLen = uint64_t(1) << 40;
    ctr::d = 100.0 / double(ctr::fLen);
    drv::initStreamUnzip(nullptr);
    dec::syncUnzip(0);
    drv::threadStart();
    for (size_t at = 3; at < size;) {
      const size_t n = std::min<size_t>(size - at, ctr::kChunk - 8);
      std::memcpy(ctr::bufInStream, data + at, n);
      drv::inStreamUnzip(ctr::bufInStream, static_cast<int32_t>(n));
      at += n;
    }
    drv::flushStreamUnzip(ctr::kEndInput);
    drv::threadStop();
  });
  return 0;
}
