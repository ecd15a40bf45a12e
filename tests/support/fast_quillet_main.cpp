// fast_quillet --work-dir DIR [--config FILE] [--attempts N] [--pause-ms MS]
//              [--timeout-ms MS] [--kill-after-us US [--from-write K:WATCHED]]
//              -- MODE ARG...
// fast_quillet --read-buffer FILE
// fast_quillet --fill-buffer FILE FIRST RUNS
//
// The program's own entry and modes with a test's fixed values, for the
// end-to-end suites that need many runs: the working files in DIR instead of
// /home/quillet/, the configuration FILE (none by default), N attempts per
// value with MS between them and MS as the connect and reply bounds (the
// shipped 5, 5000 and 10000 unless given). With --kill-after-us the process
// sends itself SIGKILL US microseconds after it started, wherever the run is
// by then; with --from-write, US microseconds after the K-th write into the
// buffer in the directory WATCHED (a temporary file created for a rewrite,
// or the file itself changed by an append or a commit). The words after "--"
// are the command line after the program name; the launch mode would start
// this driver without its options, so it is not for that.
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "buffer.h"
#include "contain.h"
#include "entry.h"
#include "os.h"
#include "test_context.h"

namespace {

// Waits on the inotify descriptor `watch` until the `k`-th write into the
// buffer: a temporary file (a name ending in ".tmp") created, or another file
// but a lock changed (an append, a commit); false when the watch fails.
bool wait_for_writes(int watch, int k) {
  alignas(inotify_event) char events[4096];
  while (k > 0) {
    const ssize_t n = ::read(watch, events, sizeof events);
    if (n <= 0) return false;
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(events + at);
      const std::string_view name = event->len > 0 ? event->name : "";
      if ((event->mask & IN_CREATE) ? name.ends_with(".tmp")
                                    : !name.ends_with(".tmp") && !name.ends_with(".lock")) {
        --k;
      }
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  return true;
}

int usage(const std::string& problem) {
  std::cerr << "fast_quillet: " << problem
            << "\nusage: fast_quillet --work-dir DIR [--config FILE] [--attempts N] "
               "[--pause-ms MS] [--timeout-ms MS] [--kill-after-us US [--from-write K:DIR]] "
               "[--udp-buffer-kib K] "
               "-- MODE ARG...\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  const std::string_view mode = argc > 1 ? argv[1] : "";
  if ((argc == 3 && mode == "--read-buffer") || (argc == 5 && mode == "--fill-buffer")) {
    const quillet::PersistentBuffer buffer(argv[2], std::chrono::hours(168));
    const std::optional<quillet::Fd> lock = buffer.lock(std::chrono::hours(1));
    const auto now = quillet::real_time();
    quillet::BufferContents contents = buffer.read(now);
    if (!contents.unreadable.empty()) {
      std::cout << "unreadable (" << contents.unreadable << "), moved to " << contents.moved_to
                << '\n';
      return 0;
    }
    if (contents.damaged > 0) std::cerr << "damaged records: " << contents.damaged << '\n';
    if (mode == "--fill-buffer") {
      const int first = std::stoi(argv[3]), runs = std::stoi(argv[4]);
      const quillet::ValueClock clock = quillet::value_clock(now);
      std::vector<quillet::ZabbixMetric> values;
      for (int run = first; run < first + runs; ++run) {
        const std::string prefix =
            "[10." + std::to_string(run / 250) + "." + std::to_string(run % 250) + ".";
        for (int k = 1; k <= 20; ++k) {
          const quillet::ValueClock at{clock.clock - (first + runs - run), clock.ns};
          values.push_back(
              {"dns-lab", "contDns" + prefix + std::to_string(k) + "]", std::int64_t{21 - k}, at});
          values.push_back({"dns-lab", "percentDns" + prefix + std::to_string(k) + "]", 5.0, at});
        }
      }
      buffer.append(values, 1);
      std::cout << contents.values.size() + values.size() << '\n';
      return 0;
    }
    std::cout << contents.values.size() << '\n';
    return 0;
  }
  std::string work_dir, config = "/nonexistent/quillet-test/quillet.conf";
  quillet::DeliveryBounds bounds;
  long kill_after_us = -1;
  int kill_from_write = 0;
  std::string watched;
  int udp_buffer_kib = quillet::CaptureSetup{}.udp_buffer_kib;
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
      } else if (flag == "--udp-buffer-kib") {
        udp_buffer_kib = std::stoi(value);
      } else if (flag == "--kill-after-us") {
        kill_after_us = std::stol(value);
      } else if (flag == "--from-write") {
        const std::size_t colon = value.find(':');
        if (colon == std::string::npos) return usage("--from-write wants K:DIRECTORY");
        kill_from_write = std::stoi(value.substr(0, colon));
        watched = value.substr(colon + 1);
      } else {
        return usage("unknown option " + std::string(flag));
      }
    } catch (const std::exception&) {
      return usage("bad number for " + std::string(flag));
    }
  }
  if (work_dir.empty() || i >= argc) return usage("--work-dir and the command line are required");

  if (kill_after_us >= 0) {
    // The watch is in place before the run starts, so no write is missed.
    std::promise<void> watching;
    std::future<void> ready = watching.get_future();
    std::thread([kill_after_us, kill_from_write, watched, &watching] {
      quillet::Fd watch;
      if (kill_from_write > 0) {
        watch = quillet::Fd(::inotify_init1(IN_CLOEXEC));
        if (!watch ||
            ::inotify_add_watch(watch.get(), watched.c_str(), IN_CREATE | IN_MODIFY) < 0) {
          std::cerr << "fast_quillet: cannot watch " << watched << '\n';
          std::_Exit(2);
        }
      }
      watching.set_value();
      if (watch && !wait_for_writes(watch.get(), kill_from_write)) return;
      std::this_thread::sleep_for(std::chrono::microseconds(kill_after_us));
      ::kill(::getpid(), SIGKILL);
    }).detach();
    ready.wait();
  }

  std::vector<std::string> command_line{argv[0]};
  command_line.insert(command_line.end(), argv + i + 1, argv + argc);
  quillet::ShellRunner runner;
  quillet::Container contained;
  quillet::CaptureSetup capture = quillet::testing::capture_setup_in(work_dir);
  capture.own_addresses = quillet::interface_addresses;
  capture.tcp_reader = quillet::CaptureSetup{}.tcp_reader;
  capture.udp_buffer_kib = udp_buffer_kib;
  quillet::FdStreamBuf out_buf(STDOUT_FILENO), err_buf(STDERR_FILENO);
  std::ostream out(&out_buf), err(&err_buf);
  quillet::Context ctx{.command_line = std::move(command_line),
                       .settings = {},
                       .configuration_file = config,
                       .out = out,
                       .err = err,
                       .capture = capture,
                       .delivery = bounds,
                       .runner = runner,
                       .contained = contained,
                       .pause = quillet::sleep_pause,
                       .wall_clock = quillet::real_time};
  return quillet::run(ctx, quillet::real_modes());
}
