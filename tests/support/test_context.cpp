#include "test_context.h"

namespace quillet::testing {

ExitStatus FakeRunner::run_shell(const std::string& command_line, ChildOutput output) {
  calls.push_back({command_line, output, console ? console->str() : std::string()});
  return on_run ? on_run(command_line) : ExitStatus{};
}

std::vector<ShellResult> FakeRunner::run_shells(const std::vector<std::string>& command_lines) {
  std::vector<ShellResult> results;
  for (const std::string& line : command_lines) {
    const ExitStatus status = run_shell(line, ChildOutput::dropped);
    results.push_back({status, errors ? errors(line) : kQuietCapture});
  }
  return results;
}

ContainedResult FakeContained::run(const ContainedCommand& command, const Containment& bounds) {
  calls.push_back({command, bounds, console ? console->str() : std::string()});
  return on_run ? on_run(command) : ContainedResult{};
}

TestContext::TestContext(std::ostream* console)
    : ctx{.command_line = {},
          .settings = {},
          // No configuration unless a test writes one: never the machine's own.
          .configuration_file = "/nonexistent/quillet-test/quillet.conf",
          .out = console ? *console : out,
          .err = err,
          .capture = {},
          .delivery = {},
          .runner = runner,
          .contained = contained,
          .pause = [this](std::chrono::milliseconds d) { pauses.push_back(d); },
          .wall_clock = [this] { return now; }} {
  if (!console) runner.console = contained.console = &out;
}

CaptureSetup capture_setup_in(const std::filesystem::path& dir) {
  CaptureSetup setup;
  setup.work_dir = dir.string() + "/";
  setup.caminho_tcpdump = (dir / "dump.pcap").string();
  setup.caminho_arquivo = (dir / "dnstop_output.txt").string();
  setup.caminho_tcp = (dir / "tcp_output.txt").string();
  setup.caminho_tcp_capture = (dir / "tcp_dump.pcap").string();
  setup.tcp_reader.clear();
  // A host of no address of its own and no TCP reader unless a test gives them.
  setup.own_addresses = [] { return std::vector<std::string>{}; };
  return setup;
}

}  // namespace quillet::testing
