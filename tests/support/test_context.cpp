#include "test_context.h"

namespace quillet::testing {

ExitStatus FakeRunner::run_shell(const std::string& command_line, ChildOutput output) {
  calls.push_back({command_line, output, console ? console->str() : std::string()});
  return on_run ? on_run(command_line) : ExitStatus{};
}

TestContext::TestContext()
    : ctx{.settings = {},
          // No configuration unless a test writes one: never the machine's own.
          .configuration_file = "/nonexistent/quillet-test/quillet.conf",
          .command_line = {},
          .out = out,
          .err = err,
          .capture = {},
          .delivery = {},
          .runner = runner,
          .pause = [this](std::chrono::milliseconds d) { pauses.push_back(d); }} {
  runner.console = &out;
}

}  // namespace quillet::testing
