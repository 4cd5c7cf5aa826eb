// Keys read at the terminal one at a time, without echo (password entry).
#pragma once
#include <cstdint>

namespace qn::core {

// One key from standard input in raw mode; EOF at the end of input.
int getch();
// Up to limit keys into buffer until Enter, echoing "*" (maskFlag 1) or the key; backspace
// takes one back. Ends with a line feed; returns the keys kept.
int32_t keyIn(uint8_t* buffer, int32_t limit, int maskFlag);

}  // namespace qn::core
