// Fuzz target: "qn.ini" read at start-up, with the checks of the parameters it sets.
#include "fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qn::fuzz::hosted([&] {
    using namespace qn;
    qn::fuzz::put("qn.ini", data, size);
    fe::initPar();
    fe::getIni();
    fe::parOK();
    fe::initPar();
    fe::loadPar();
  });
  return 0;
}
