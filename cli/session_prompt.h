// The two questions the engine asks during a scan: whether to save an interrupted scan as a
// session, and whether to stop when memory runs low. Asked on the terminal; scripts answer the
// first with --save / --no-save, and without a terminal both default to the safe answer.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "options.h"

namespace kvx {

/// How the questions of one scan are answered.
struct ScanQuestions {
  /// --save (true) or --no-save (false); unset: ask on a terminal, else no.
  std::optional<bool> save;
  /// Both --save and --no-save were given: a usage error.
  bool saveConflict = false;
  /// Whether stdin and stderr are terminals; filled by the constructor.
  bool terminal;
  ScanQuestions();
};

/// Engine callbacks; @p arg is a ScanQuestions*. Both run on the search thread.
/// askSaveSession: 1 = save the session file. askStopOnLowMemory: 1 = stop the scan with what it
/// found so far, 0 = go on (also the answer without a terminal).
int askSaveSession(void* arg);
int askStopOnLowMemory(void* arg);

/// Takes --save / --no-save (saveOptionDecls) from @p args into @p questions; sets saveConflict
/// when both are given.
void saveFlagsFromArgs(const Args& args, ScanQuestions& questions);

/// Asks @p question on @p out, reading the answer line from descriptor @p in: "y"/"yes" is true,
/// "n"/"no" or an empty line is false, anything else asks again. End of input, a read error or
/// Ctrl-C gives false. The progress line is held still meanwhile.
bool askYesNo(const char* question, int in, std::FILE* out);

}  // namespace kvx
