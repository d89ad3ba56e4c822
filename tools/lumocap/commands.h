// The subcommands of lumocap. Each lives in its own <name>_command.cpp; main.cpp only looks the
// name up in its table and hands over the rest of the command line. A command returns the
// process exit status: 0 done, 1 trouble with files or the run, 2 wrong usage.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace lumocap {

// `lumocap demo [--seed N] [--realtime]`: a small scenario on the simulated machine (two client
// threads, a periodic timer with its DPC, a work item and a semaphore) and its trace.
int RunDemoCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace lumocap
