// Fuzz target: an index document read as the data pass reads it (lines, values, the
// archive's parameters and their checks, directories and files created under a scratch
// destination), batch after batch.
#include <sys/stat.h>

#include <cstring>
#include <filesystem>

#include "container/container.h"
#include "fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qn::fuzz::hosted([&] {
    using namespace qn;
    qn::fuzz::put("i.xml", data, size);
    mkdir("out", 0755);
    std::strcpy(fe::sBaseDir, "out/");
    fe::initPar();
    ctr::fLenXml = size;  // the index length the archive header gives
    idx::fpXml = std::fopen("i.xml", "rb");
    idx::iCol = idx::iXmlLine = 0;
    if (idx::getWriteFile() == 0 || fe::parOK() == 0) return;
    // Every batch complete in turn, as the output thread finds them.
    do {
      for (int i = 0; i < idx::iCol; ++i) idx::closeRecord(idx::arrFile[i]);
      idx::iCol = 0;
    } while (idx::getWriteFile() != 0);
  });
  qn::fuzz::removeAll("out");
  return 0;
}
