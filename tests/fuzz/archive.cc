// Fuzz target: a whole archive extracted into a scratch destination, as the command line
// "quarnunzip a.qn a.xml out" would. Input: one byte n, n % 65 password bytes (typed at the
// prompt when the header asks for one), then the archive file.
#include <filesystem>

#include "driver/driver.h"
#include "fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t pwd = data[0] % 65;
  if (size < 1 + pwd) return 0;
  qn::fuzz::hosted([&] {
    qn::fuzz::put("qn.ini", reinterpret_cast<const uint8_t*>("language=2\nlogsize=64\n"), 23);
    qn::fuzz::put("a.qn", data + 1 + pwd, size - 1 - pwd);
    qn::fuzz::typeAhead(data + 1, pwd);
    char arg0[] = "quarnunzip", arg1[] = "a.qn", arg2[] = "a.xml", arg3[] = "out";
    char* argv[] = {arg0, arg1, arg2, arg3, nullptr};
    qn::drv::run(4, argv);
  });
  qn::fuzz::removeAll("out");
  return 0;
}
