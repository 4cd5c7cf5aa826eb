// Test program: runs the password entry and reports the bytes taken, on the console and in a file.
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "frontend/frontend.h"
#include "driver/driver.h"

// Usage: pwd_probe [result_file] [language]. Hang-ups are ignored so that a closed terminal
// ends the entry through a failed read rather than through the signal.
int main(int argc, char** argv) {
  std::signal(SIGHUP, SIG_IGN);
  if (argc > 2) qn::fe::iLanguage = std::atoi(argv[2]);
  qn::fe::pwdIn();
  std::string line = qn::fe::format("LEN=%d HEX=", qn::fe::iPwdLen);
  for (int i = 0; i < qn::fe::iPwdLen; ++i) line += qn::fe::format("%02x", qn::fe::bufPwd[i]);
  std::printf("%s\n", line.c_str());
  if (argc > 1) {
    FILE* fp = std::fopen(argv[1], "w");
    if (fp != nullptr) {
      std::fprintf(fp, "%s\n", line.c_str());
      std::fclose(fp);
    }
  }
  return 0;
}
