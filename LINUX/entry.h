// The entry: command line into settings, mode dispatch, exit statuses, and the
// launch mode.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "context.h"

namespace quillet {

// The run modes that the entry can start, each returning its exit status;
// tests put their own in.
struct Modes {
  std::function<int(const std::string& caminho, Context& ctx)> coletarDns;
  std::function<int(const std::string& mode, Context& ctx)> launch;
};

Modes real_modes();

// Runs the program on `ctx.command_line` and returns the exit status. Every
// way a run can end comes back here as a status.
int run(Context& ctx, const Modes& modes);

// The child's command line: the program path as invoked, the part of `mode`
// after its last "launch_", then the words after the mode, all unchanged.
std::vector<std::string> launch_command_line(const std::string& mode,
                                             const std::vector<std::string>& command_line);

// Starts the program again as a child with the mode after the last "launch_",
// prints the success line and returns status 0.
int launch(const std::string& mode, Context& ctx);

// The process entry, with the real console, setup and modes.
int main_entry(int argc, char** argv);

}  // namespace quillet
