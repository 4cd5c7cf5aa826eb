// The message table: every pair defined from the GBK copy of texts.def made at build time.
#include "frontend/frontend.h"

namespace qn::txt {
#define QN_TEXT(name, en, cn) const qn::fe::Text name = {cn, en};
#include "texts_gbk.def"
#undef QN_TEXT
}  // namespace qn::txt
