// lumocap: the program a person runs. It dispatches to one subcommand per file (commands.h).
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "commands.h"
#if LUMOCAP_WITH_DRIVER
#include "scale_command.h"
#endif

namespace {

struct Command {
  const char* name;
  const char* summary;
  int (*run)(const std::vector<std::string>& args);
};

const Command kCommands[] = {
    {"demo", "[--seed N] [--realtime]  run a small scenario on the simulated machine, print its trace",
     [](const std::vector<std::string>& args) {
       return lumocap::RunDemoCommand(args, std::cout, std::cerr);
     }},
#if LUMOCAP_WITH_DRIVER
    {"scale", "--to WxH IN OUT  the driver's frame conversion of one raw 640x480 frame",
     [](const std::vector<std::string>& args) { return lumocap::RunScaleCommand(args, std::cerr); }},
#endif
};

void PrintHelp(std::ostream& out) {
  out << "usage: lumocap COMMAND [ARGS]\n\ncommands:\n";
  for (const Command& command : kCommands) {
    out << "  " << command.name << " " << command.summary << "\n";
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") ||
      !std::strcmp(argv[1], "help")) {
    PrintHelp(argc < 2 ? std::cerr : std::cout);
    return argc < 2 ? 2 : 0;
  }
  std::vector<std::string> args(argv + 2, argv + argc);
  for (const Command& command : kCommands) {
    if (argv[1] == std::string(command.name)) return command.run(args);
  }
  std::cerr << "lumocap: unknown command '" << argv[1] << "'\n";
  PrintHelp(std::cerr);
  return 2;
}
