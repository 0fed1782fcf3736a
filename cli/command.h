// Sub-commands of kvx register themselves here; main() dispatches on the first argument.
#pragma once

#include <string>
#include <vector>

namespace kvx {

/// Exit codes: 0 ok, 1 the operation failed (engine message on stderr), 2 usage.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

using CommandFn = int (*)(const std::vector<std::string>& args);

struct Command {
  const char* name;     // "scan", "drives", ...
  const char* usage;    // one line: "scan SOURCE [--deep] ..."
  const char* summary;  // one line of what it does
  CommandFn run;
};

/// Registers a command at start-up; used as `static const kvx::Registration reg{{...}};`.
struct Registration {
  explicit Registration(const Command& command);
};

const std::vector<Command>& commands();

}  // namespace kvx
