// Stream writer (stub, to be written).
#include <cstdlib>
#include "compressor/stream_writer.h"
namespace qn::zip {
StreamWriter::StreamWriter(dec::Model& model) : m_(model) {}
void StreamWriter::prime(const uint8_t*, int) { std::abort(); }
void StreamWriter::beginStream(bool, uint64_t) { std::abort(); }
void StreamWriter::literal(uint8_t) { std::abort(); }
void StreamWriter::match(uint32_t, uint64_t) { std::abort(); }
void StreamWriter::endOfBuffer() { std::abort(); }
void StreamWriter::blockStart(uint64_t) { std::abort(); }
std::vector<uint8_t> StreamWriter::endStream(unsigned) { std::abort(); }
uint32_t StreamWriter::priceLiteral(uint8_t) const { std::abort(); }
uint32_t StreamWriter::priceMatch(uint32_t, uint64_t) const { std::abort(); }
}  // namespace qn::zip
