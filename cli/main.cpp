// kvx: the command line over the engine. Each sub-command lives in its own cmd_*.cpp and declares
// its arguments there; this file dispatches, parses and answers help and --version.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "command.h"

#ifndef KVX_VERSION
#define KVX_VERSION "0.0"
#endif

namespace {

int help(const std::vector<std::string>& topics) {
  if (topics.empty()) {
    std::fputs(kvx::generalHelp(kvx::commands()).c_str(), stdout);
    return kvx::kExitOk;
  }
  if (topics.size() > 1) {
    std::fprintf(stderr, "kvx help: one topic only (a command or \"states\")\n");
    return kvx::kExitUsage;
  }
  if (topics[0] == "states") {
    std::fputs(kvx::statesHelp().c_str(), stdout);
    return kvx::kExitOk;
  }
  if (const kvx::Command* c = kvx::findCommand(topics[0])) {
    std::fputs(kvx::commandHelp(*c).c_str(), stdout);
    return kvx::kExitOk;
  }
  std::fprintf(stderr, "kvx help: no command '%s' (kvx help lists them)\n", topics[0].c_str());
  return kvx::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kvx::generalHelp(kvx::commands()).c_str(), stderr);
    return kvx::kExitUsage;
  }
  const std::string name = argv[1];
  const std::vector<std::string> rest(argv + 2, argv + argc);
  if (name == "--help" || name == "-h" || name == "help") return help(rest);
  if (name == "--version" || name == "-V") {
    std::printf("kvx %s\n", KVX_VERSION);
    return kvx::kExitOk;
  }
  // Build-time outputs: the man page and completion scripts come from the same declarations.
  if (name == "--generate" && rest.size() == 1) {
    const std::string& what = rest[0];
    if (what == "man")
      std::fputs(kvx::manPage(kvx::commands(), KVX_VERSION).c_str(), stdout);
    else if (what == "bash")
      std::fputs(kvx::bashCompletion(kvx::commands()).c_str(), stdout);
    else if (what == "zsh")
      std::fputs(kvx::zshCompletion(kvx::commands()).c_str(), stdout);
    else
      return kvx::kExitUsage;
    return kvx::kExitOk;
  }
  const kvx::Command* c = kvx::findCommand(name);
  if (c == nullptr) {
    std::fprintf(stderr, "kvx: unknown command '%s' (see kvx --help)\n", name.c_str());
    return kvx::kExitUsage;
  }
  kvx::Args args;
  const kvx::ParseOutcome parsed = kvx::parseArgs(c->positionals, c->options, rest, args);
  if (parsed.kind == kvx::ParseOutcome::Help) {
    std::fputs(kvx::commandHelp(*c).c_str(), stdout);
    return kvx::kExitOk;
  }
  if (parsed.kind == kvx::ParseOutcome::Error) return kvx::usageError(*c, parsed.message);
  return c->run(args);
}
