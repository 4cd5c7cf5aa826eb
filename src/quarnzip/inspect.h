// quarnzip -l and -t: what an archive holds, and whether it decodes, by the decompressor's passes.
#pragma once
#include "quarnzip/options.h"

namespace qn::zip {

// One line per file (size, time, name) and the totals; reads only the index stream.
// Returns the exit status.
int listArchive(const Options& o);
// Decodes everything and makes every check of extraction, writing no file. The exit status.
int testArchive(const Options& o);

}  // namespace qn::zip
