// The bilingual message table and the formatting of a pair in the chosen language.
#include "core/texts.h"

#include <algorithm>
#include <cstdio>

namespace qn::txt_utf8 {
#define QN_TEXT(name, en, cn) constexpr const char* name = cn;
#include "core/texts.def"
#undef QN_TEXT
}  // namespace qn::txt_utf8

namespace qn::txt {
#define QN_TEXT(name, en, cn) const qn::core::Text name = {cn, en, qn::txt_utf8::name};
#include "texts_gbk.def"
#undef QN_TEXT
}  // namespace qn::txt

namespace qn::core {

std::string vformat(const char* fmt, va_list ap) {
  std::string out(kFmtBuf, '\0');
  int n = std::vsnprintf(out.data(), kFmtBuf, fmt, ap);
  out.resize(std::clamp(n, 0, kFmtBuf - 1));
  return out;
}

std::string format(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string out = vformat(fmt, ap);
  va_end(ap);
  return out;
}

void formatPair(const Text& t, va_list ap, std::string& cn, std::string& en, bool utf8) {
  va_list ap2;
  va_copy(ap2, ap);
  cn = vformat(utf8 && t.cnUtf8 ? t.cnUtf8 : t.cn, ap);
  en = vformat(t.en, ap2);
  va_end(ap2);
}

std::string inLanguage(int language, const char* cn, const char* en) {
  if (language == 1) return cn;
  if (language == 2) return en;
  return std::string(en) + " (" + cn + ")";
}

}  // namespace qn::core
