// A Context for unit tests: console captured in strings, pauses recorded
// instead of slept, no configuration file unless a test writes one.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "context.h"

namespace quillet::testing {

// What tcpdump writes on its standard error at the end of a capture that lost
// nothing.
inline constexpr const char* kQuietCapture =
    "3 packets captured\n3 packets received by filter\n0 packets dropped by kernel\n";

// Records the shell command lines it is asked to run and answers with a fixed
// status; `on_run` lets a test act at that moment (write files, look at output).
class FakeRunner : public CommandRunner {
 public:
  struct Call {
    std::string command_line;
    ChildOutput output;
    std::string console_before;  // what the program had printed when it ran
  };

  ExitStatus run_shell(const std::string& command_line, ChildOutput output) override;
  // Each line in turn, as run_shell with its output dropped; its standard
  // error is `errors`' answer, by default tcpdump's end of a capture that lost
  // nothing.
  std::vector<ShellResult> run_shells(const std::vector<std::string>& command_lines) override;

  std::vector<Call> calls;
  std::function<ExitStatus(const std::string& command_line)> on_run;
  std::function<std::string(const std::string& command_line)> errors;
  const std::ostringstream* console = nullptr;
};

// The wall clock of a TestContext until a test moves it.
inline constexpr std::int64_t kTestClock = 1765000000;
inline constexpr std::int32_t kTestNs = 123456789;

// Records the contained programs it is asked to run; `on_run` plays the
// program (writes its output) and answers, by default a success.
class FakeContained : public ContainedRunner {
 public:
  struct Call {
    ContainedCommand command;
    Containment bounds;
    std::string console_before;
  };

  ContainedResult run(const ContainedCommand& command, const Containment& bounds) override;

  std::vector<Call> calls;
  std::function<ContainedResult(const ContainedCommand& command)> on_run;
  const std::ostringstream* console = nullptr;
};

struct TestContext {
  TestContext() : TestContext(nullptr) {}
  // With `console` as the run's standard output instead of `out`.
  explicit TestContext(std::ostream& console) : TestContext(&console) {}

  std::ostringstream out;
  std::ostringstream err;
  FakeRunner runner;
  FakeContained contained;
  std::vector<std::chrono::milliseconds> pauses;
  // What the run's wall clock reads; tests move it.
  std::chrono::system_clock::time_point now{std::chrono::seconds(kTestClock) +
                                            std::chrono::nanoseconds(kTestNs)};
  Context ctx;

 private:
  explicit TestContext(std::ostream* console);
};

// The capture's working files in `dir`, on a host with no address of its own
// and no TCP reader.
CaptureSetup capture_setup_in(const std::filesystem::path& dir);

}  // namespace quillet::testing
