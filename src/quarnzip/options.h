// quarnzip's command line and "qn.ini": options, parameter defaults, level presets and checks.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "core/format.h"
#include "quarnzip/progress.h"

namespace qn::zip {

// What one run of quarnzip is asked to do.
struct Options {
  uint32_t param[core::kParamSlots];         // the parameter slots, in the order of core::ParamSlot
  bool given[core::kParamSlots] = {};           // slot set by qn.ini or the command line (else the level decides)
  int level = 6;
  int threads = 0;               // -T: match finding threads (0: one per core)
  uint32_t key = 6;              // bytes the optimal parser's trees are keyed on (by the data)
  bool password = false;         // encode with a password
  std::string passwordText;      // its bytes (empty: ask at the terminal)
  std::string archive;           // ARCHIVE.qn
  std::vector<std::string> paths;
  std::string indexIn, sourceDir;  // --index-in FILE --source DIR
  bool help = false, version = false;
  bool list = false, test = false;  // -l, -t: the ARCHIVE is read, nothing is made
  bool force = false;             // -f: replace an existing archive and volume files
  ProgressMode progress = ProgressMode::kAuto;  // -q off, -v on
};

// Per-level defaults of the match finder knobs and the ring (used where nothing was given).
struct LevelPreset {
  uint32_t sight;   // candidates visited per position
  uint32_t pipes;   // lazy steps of the lazy parser (1 = greedy)
  uint32_t tails;   // nice length / 16
  uint32_t cache;   // MiB of history
  bool optimal;     // price-driven optimal parser
  uint32_t key;     // bytes the optimal parser's trees are keyed on
  uint32_t binaryKey;  // the same where the stream's start holds many contexts (machine code)
};
LevelPreset levelPreset(int level);
// Whether the level's search follows the stream's contexts: the optimal levels.
bool searchFollowsData(int level);
// The level's preset; where the search follows the data and the stream's start holds many
// three-byte contexts (machine code), trees keyed on fewer bytes, and at the default level a
// shorter history.
LevelPreset levelPreset(int level, bool manyContexts);
// The slots a preset decides (sight, pipes, tails, cache), where neither the command line
// nor qn.ini gave them, and its key.
void applyPreset(Options& o, const LevelPreset& p);

// Reads "qn.ini" from the working directory when it exists (keys give defaults, "password="
// included, "language=" and "logsize=" set the message settings). Returns false after
// reporting a bad file.
bool readIni(Options& o);
// Parses argv on top of what readIni gave. Returns false after reporting a bad command line.
bool parseArgs(Options& o, int argc, char** argv);
// Fills the slots the level decides, then checks every slot with the decompressor's ranges
// (and esc at most 63). Returns false after reporting each violation.
bool finishParams(Options& o);
// Reports every failed parameter check as the decompressor does; false after any.
bool checkParams(const uint32_t param[core::kParamSlots]);
// The thread count -T asks for: 0 means one per core; at most MatchTree::kMaxThreads.
int threadCount(int asked);
// Asks for the password at the terminal when none was given; checks 1-64 bytes below 128.
bool settlePassword(Options& o);

}  // namespace qn::zip
