// The entry: command line into settings, mode dispatch, exit statuses, and the
// launch mode.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "quillet.h"

namespace quillet {

// The run modes that the entry can start; tests put their own in.
struct Modes {
  std::function<void(const std::string& caminho, Context& ctx)> coletarDns;
  std::function<void(const std::string& mode, Context& ctx)> launch;
};

Modes real_modes();

// Runs the program on `command_line` (program path first) and returns the exit
// status. Every way a run can end comes back here as a status.
int run(const std::vector<std::string>& command_line, Context& ctx, const Modes& modes);

// The child's command line: the program path as invoked, the part of `mode`
// after its last "launch_", then the words after the mode, all unchanged.
std::vector<std::string> launch_command_line(const std::string& mode,
                                             const std::vector<std::string>& command_line);

// Starts the program again as a child with the mode after the last "launch_",
// prints the success line and ends the run with status 0 (RunEnd).
void launch(const std::string& mode, Context& ctx);

// The process entry, with the real console, setup and modes.
int main_entry(int argc, char** argv);

}  // namespace quillet
