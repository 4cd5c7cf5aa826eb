// Keys read at the terminal one at a time, without echo (password entry).
#include "core/terminal.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace qn::core {

int32_t keyIn(uint8_t* buffer, int32_t limit, int maskFlag) {
  if (limit < 1) {
    std::fputc('\n', stdout);
    return 0;
  }
  int32_t count = 0;
  while (count < limit) {
    std::fflush(stdout);  // the prompt and the echo must show before the next key
    int c = getch();
    if (c < 0 || c == 13 || c == 10) break;  // end of input ends the entry like Enter
    if (c == 8) {
      if (count > 0) {
        std::printf("%c %c", 8, 8);
        --count;
      }
      continue;
    }
    buffer[count++] = static_cast<uint8_t>(c);
    std::fputc(maskFlag == 1 ? '*' : c, stdout);
  }
  std::fputc('\n', stdout);
  std::fflush(stdout);
  return count;
}

int getch() {
  termios saved{};
  termios raw{};
  tcgetattr(0, &saved);  // fails harmlessly when standard input is not a terminal
  raw = saved;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  tcsetattr(0, TCSANOW, &raw);
  unsigned char ch = 0;
  ssize_t n;
  do {
    n = read(0, &ch, 1);
  } while (n < 0 && errno == EINTR);
  tcsetattr(0, TCSANOW, &saved);
  return n == 1 ? ch : EOF;
}

}  // namespace qn::core
