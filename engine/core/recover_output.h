// The file a recoverer writes: created where the recovery dispatch says (a folder and a name, or
// a path), and ended so that only a file that got every byte stays under its name.
#pragma once

#include "core/last_error.h"
#include "core/log.h"
#include "core/undelete_object.h"
#include "host/host_output.h"

/// Creates the data file of the current recovery; false (logged, u->error kErrCreateFile) when
/// it cannot be created.
[[nodiscard]] inline bool Recover_CreateOutput(Undelete* u, HostOutputFile& out, const char* target,
                                               const char* failureLog) noexcept {
  u->outputName.clear();
  u->outputPartial = false;
  if (out.create(u->outputPlace, target)) {
    try {
      u->outputName = out.name();
    } catch (...) {
    }
    return true;
  }
  Undelete_Log(u, "%s", failureLog);
  Host_SetLastError(kErrCreateFile);
  u->error = kErrCreateFile;
  return false;
}

/// Ends the data file: kept when @p complete and closed cleanly; otherwise removed, or with
/// @p keepPartial kept under a ".partial" name (u->outputPartial, u->outputName). Returns
/// whether the recovery succeeded.
[[nodiscard]] inline bool Recover_EndOutput(Undelete* u, HostOutputFile& out, bool complete,
                                            bool keepPartial) noexcept {
  if (complete) {
    if (out.finish()) return true;
    Host_SetLastError(kErrWriteFile);
    u->error = kErrWriteFile;
    return false;
  }
  u->outputPartial = out.fail(keepPartial);
  try {
    u->outputName = u->outputPartial ? out.name() : std::string();
  } catch (...) {
  }
  return false;
}
