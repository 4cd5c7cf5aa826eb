// The bilingual message table and the formatting of a pair in the chosen language.
#pragma once
#include <cstdarg>
#include <string>

namespace qn::core {

// A message pair: GBK Chinese text and ASCII English text (and the Chinese in UTF-8, for a
// terminal that shows UTF-8).
struct Text {
  const char* cn;
  const char* en;
  const char* cnUtf8 = nullptr;  // null: cn only
};

inline constexpr int kFmtBuf = 65536;  // bound of one formatted message text

// printf into a std::string, bounded to kFmtBuf bytes (NUL included).
std::string vformat(const char* fmt, va_list ap);
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Both texts of a pair formatted with the same arguments; utf8: the Chinese in UTF-8.
void formatPair(const Text& t, va_list ap, std::string& cn, std::string& en, bool utf8 = false);
// A pair as the user sees it: language 1 Chinese, 2 English, else "English (Chinese)".
std::string inLanguage(int language, const char* cn, const char* en);

}  // namespace qn::core

// The message table, generated from texts.def.
namespace qn::txt {
#define QN_TEXT(name, en, cn) extern const qn::core::Text name;
#include "core/texts.def"
#undef QN_TEXT
}  // namespace qn::txt
