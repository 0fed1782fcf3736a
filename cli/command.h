// Sub-commands of kvx register themselves here; main() dispatches on the first argument, parses
// the rest against the command's declarations (options.h) and hands the result to the command.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "options.h"

namespace kvx {

/// Exit codes: 0 ok, 1 the operation failed (engine message on stderr), 2 usage.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

using CommandFn = int (*)(const Args& args);

struct Command {
  const char* name;     // "scan", "drives", ...
  const char* summary;  // one line of what it does
  std::vector<Positional> positionals;
  std::vector<Option> options;
  const char* details;  // paragraphs after the options (what it writes, exit codes); may be null
  CommandFn run;
};

/// Registers a command at start-up; used as `const kvx::Registration reg{{...}};`.
struct Registration {
  explicit Registration(const Command& command);
};

const std::vector<Command>& commands();
const Command* findCommand(const std::string& name);

/// "kvx scan SOURCE [options]": the usage line made from the declarations.
std::string usageLine(const Command& c);
/// The whole help of one command: usage, summary, arguments, every option, details.
std::string commandHelp(const Command& c);
/// The general help: every command with its summary.
std::string generalHelp(const std::vector<Command>& all);
/// What the states and "(overwritten/total clusters)" of a listing mean.
std::string statesHelp();
/// The man page (roff) and completion scripts of every command.
std::string manPage(const std::vector<Command>& all, const char* version);
std::string bashCompletion(const std::vector<Command>& all);
std::string zshCompletion(const std::vector<Command>& all);

/// Usage error of @p c: "kvx CMD: MESSAGE", the usage line and where the help is; returns 2.
int usageError(const Command& c, const std::string& message);
int usageError(const char* command, const std::string& message);

}  // namespace kvx
