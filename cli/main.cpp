// kvx: the command line over the engine. Each sub-command lives in its own cmd_*.cpp.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "command.h"

namespace kvx {
namespace {
std::vector<Command>& registry() {
  static std::vector<Command> list;
  return list;
}
}  // namespace

Registration::Registration(const Command& command) { registry().push_back(command); }
const std::vector<Command>& commands() { return registry(); }

}  // namespace kvx

namespace {
void printHelp(std::FILE* to) {
  std::fprintf(to, "usage: kvx COMMAND [ARGS]\n\nCommands:\n");
  for (const auto& c : kvx::commands()) std::fprintf(to, "  %-60s %s\n", c.usage, c.summary);
  std::fprintf(to,
               "\nExit codes: 0 ok, 1 operation failed, 2 usage error.\n"
               "Drive letters come from KVX_DRIVES (E=/path/img;F=/dev/sdc1), drives.ini in\n"
               "$XDG_CONFIG_HOME/rekovia/ and the block devices of this machine.\n");
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    printHelp(stderr);
    return kvx::kExitUsage;
  }
  const std::string name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    printHelp(stdout);
    return kvx::kExitOk;
  }
  for (const auto& c : kvx::commands()) {
    if (name == c.name) return c.run(std::vector<std::string>(argv + 2, argv + argc));
  }
  std::fprintf(stderr, "kvx: unknown command '%s' (see kvx --help)\n", name.c_str());
  return kvx::kExitUsage;
}
