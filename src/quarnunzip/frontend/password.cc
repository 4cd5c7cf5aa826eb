// Password entry at the terminal: the prompt, and the refusal of non-ASCII entries.
#include <cstdio>

#include "frontend/frontend.h"

namespace qn::fe {
namespace {

constexpr int32_t kPwdMax = 64;

bool allAscii(const uint8_t* b, int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    if (b[i] >= 128) return false;
  }
  return true;
}

}  // namespace

void pwdIn() {
  std::fputc('\n', stdout);
  if (iPwdLen != 0) return;
  for (;;) {
    msg(qn::txt::kPwdPrompt.cn, qn::txt::kPwdPrompt.en);
    std::fputs(" : ", stdout);
    iPwdLen = keyIn(bufPwd, kPwdMax, 1);
    if (iPwdLen == 0 || allAscii(bufPwd, iPwdLen)) return;
    // A refused entry: the message, then the prompt again on the same line.
    msg(qn::txt::kPwdChinese.cn, qn::txt::kPwdChinese.en);
  }
}

}  // namespace qn::fe
