// fast_quillet --work-dir DIR [--config FILE] [--attempts N] [--pause-ms MS]
//              [--timeout-ms MS] [--kill-after-us US] -- MODE ARG...
//
// The program's own entry and modes with a test's fixed values, for the
// end-to-end suites that need many runs: the working files in DIR instead of
// /home/quillet/, the configuration FILE (none by default), N attempts per
// value with MS between them and MS as the connect and reply bounds (the
// shipped 5, 5000 and 10000 unless given). With --kill-after-us the process
// sends itself SIGKILL US microseconds after it started, wherever the run is
// by then. The words after "--" are the command line after the program name;
// the launch mode would start this driver without its options, so it is not
// for that.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "entry.h"
#include "os.h"
#include "test_context.h"

namespace {

int usage(const std::string& problem) {
  std::cerr << "fast_quillet: " << problem
            << "\nusage: fast_quillet --work-dir DIR [--config FILE] [--attempts N] "
               "[--pause-ms MS] [--timeout-ms MS] [--kill-after-us US] -- MODE ARG...\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  std::string work_dir, config = "/nonexistent/quillet-test/quillet.conf";
  quillet::DeliveryBounds bounds;
  long kill_after_us = -1;
  int i = 1;
  for (; i < argc && std::string_view(argv[i]) != "--"; ++i) {
    std::string_view flag = argv[i];
    if (i + 1 >= argc) return usage(std::string(flag) + " needs a value");
    std::string value = argv[++i];
    try {
      if (flag == "--work-dir") {
        work_dir = value;
      } else if (flag == "--config") {
        config = value;
      } else if (flag == "--attempts") {
        bounds.attempts = std::stoi(value);
      } else if (flag == "--pause-ms") {
        bounds.pause = std::chrono::milliseconds(std::stol(value));
      } else if (flag == "--timeout-ms") {
        bounds.connect_timeout = bounds.reply_timeout = std::chrono::milliseconds(std::stol(value));
      } else if (flag == "--kill-after-us") {
        kill_after_us = std::stol(value);
      } else {
        return usage("unknown option " + std::string(flag));
      }
    } catch (const std::exception&) {
      return usage("bad number for " + std::string(flag));
    }
  }
  if (work_dir.empty() || i >= argc) return usage("--work-dir and the command line are required");

  if (kill_after_us >= 0) {
    std::thread([kill_after_us] {
      std::this_thread::sleep_for(std::chrono::microseconds(kill_after_us));
      ::kill(::getpid(), SIGKILL);
    }).detach();
  }

  std::vector<std::string> command_line{argv[0]};
  command_line.insert(command_line.end(), argv + i + 1, argv + argc);
  quillet::ShellRunner runner;
  quillet::FdStreamBuf out_buf(STDOUT_FILENO), err_buf(STDERR_FILENO);
  std::ostream out(&out_buf), err(&err_buf);
  quillet::Context ctx{.command_line = std::move(command_line),
                       .settings = {},
                       .configuration_file = config,
                       .out = out,
                       .err = err,
                       .capture = quillet::testing::capture_setup_in(work_dir),
                       .delivery = bounds,
                       .runner = runner,
                       .pause = quillet::sleep_pause,
                       .wall_clock = quillet::real_time};
  return quillet::run(ctx, quillet::real_modes());
}
