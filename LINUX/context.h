// What a run works with besides its own arguments.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "capture.h"
#include "delivery.h"
#include "os.h"
#include "quillet.h"

namespace quillet {

// The command line and the settings taken from it, the console, the fixed
// values and the operating-system boundaries. The shipped binary builds one in
// main_entry; tests build their own (tests/support/test_context.h).
struct Context {
  std::vector<std::string> command_line;  // as invoked, program path first
  Settings settings;                      // filled from command_line by the entry
  std::string configuration_file;         // read by a collection run when it exists
  std::ostream& out;
  std::ostream& err;
  CaptureSetup capture;
  DeliveryBounds delivery;
  CommandRunner& runner;
  ContainedRunner& contained;
  Pause pause;
};

}  // namespace quillet
