// The whole process: `quillet coletarDns x y debug` from start to exit, with a
// capture made instant by a fake tcpdump and dnstop first on PATH, and the two
// shell command lines of the capture alone, to tell the run's own time from
// theirs.
//
// The run works in the fixed /home/quillet/, so this benchmark runs only inside
// the sandbox of tests/support/sandbox.sh (private mount namespace, tmpfs on
// /home), which sets QUILLET_SANDBOX. The fake tools are those of
// tests/support/fake_capture.sh. QUILLET_BIN may name another binary.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "capture.h"
#include "os.h"
#include "report.h"
#include "report_gen.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// A generated report and the directory of the fake tcpdump and dnstop that
// print it.
struct Report {
  std::string path;
  std::string tools;
};

struct Sandbox {
  std::string error;  // why the benchmarks cannot run, or empty
  std::string quillet;
  std::string dir;  // reports, tools and listings
  std::map<std::size_t, Report> reports;
};

void write_file(const std::string& path, const std::string& text, mode_t mode) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  ::chmod(path.c_str(), mode);
}

Sandbox& sandbox() {
  static Sandbox box = [] {
    Sandbox b;
    const char* bin = std::getenv("QUILLET_BIN");
    b.quillet = bin != nullptr ? bin : QUILLET_DEFAULT_BIN;
    if (std::getenv("QUILLET_SANDBOX") == nullptr) {
      b.error = "needs the sandbox of tests/support/sandbox.sh (it works in /home/quillet/)";
      return b;
    }
    if (::access("/home/quillet/", W_OK) != 0) {
      b.error = "/home/quillet/ is not writable";
      return b;
    }
    // On the sandbox's tmpfs, so that the reports go with it.
    char dir[] = "/home/quillet-run-bench.XXXXXX";
    if (::mkdtemp(dir) == nullptr) {
      b.error = std::string("mkdtemp: ") + std::strerror(errno);
      return b;
    }
    // The stand-in dnstop runs contained, as dnstop's own user: it must reach
    // its report here.
    ::chmod(dir, 0755);
    b.dir = dir;
    return b;
  }();
  return box;
}

const Report& report_file(std::size_t lines) {
  Sandbox& b = sandbox();
  auto [it, added] = b.reports.try_emplace(lines);
  if (added) {
    Report& r = it->second;
    r.path = b.dir + "/report-" + std::to_string(lines) + ".txt";
    r.tools = b.dir + "/tools-" + std::to_string(lines);
    // Generated in a child process: a spawned run's peak resident size counts
    // the memory of the process that spawned it, which must stay small. The
    // child then becomes the script that writes the tools.
    const pid_t pid = ::fork();
    if (pid == 0) {
      write_file(r.path, quillet::bench::make_report(lines, quillet::bench::ReportStyle::sources),
                 0644);
      ::execl("/bin/bash", "bash", QUILLET_FAKE_CAPTURE, r.tools.c_str(), r.path.c_str(), nullptr);
      ::_exit(127);
    }
    if (pid > 0) quillet::wait_for_child(pid);
  }
  return it->second;
}

// This process's own peak resident size, in KiB.
long own_peak_kib() {
  std::ifstream in("/proc/self/status");
  std::string key;
  long kib = 0;
  while (in >> key) {
    if (key == "VmHWM:") {
      in >> kib;
      break;
    }
  }
  return kib;
}

// PATH with the fake tools of `report` first.
std::string path_with(const Report& report) {
  const char* path = std::getenv("PATH");
  return report.tools + ":" + (path != nullptr ? path : "/usr/bin:/bin");
}

// The environment of the run: this one's, with the fake tools first on PATH.
std::vector<std::string> run_environment(const Report& report) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "PATH=", 5) != 0) env.emplace_back(*e);
  }
  env.push_back("PATH=" + path_with(report));
  return env;
}

std::vector<char*> pointers(std::vector<std::string>& words) {
  std::vector<char*> out(words.size() + 1, nullptr);
  std::transform(words.begin(), words.end(), out.begin(), [](std::string& w) { return w.data(); });
  return out;
}

struct RunFigures {
  double wall_s = 0;
  double own_cpu_s = 0;  // on-CPU time of the quillet process alone
  long max_rss_kib = 0;  // of the process and the children it waited for
  int status = -1;
};

// On-CPU time of the ended but not yet reaped process `pid`, in seconds: the
// first field of its schedstat, in nanoseconds and without its children.
double own_cpu_seconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
  double ns = -1;
  in >> ns;
  return ns / 1e9;
}

// One debug run, its output to `out_path`.
RunFigures debug_run(const Report& report, const std::string& out_path) {
  std::vector<std::string> args = {sandbox().quillet, "coletarDns", "x", "y", "debug"};
  std::vector<std::string> env = run_environment(report);
  std::vector<char*> argv = pointers(args), envp = pointers(env);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  RunFigures f;
  pid_t pid = 0;
  const auto start = Clock::now();
  const int err = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (err != 0) return f;
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
  }
  f.wall_s = std::chrono::duration<double>(Clock::now() - start).count();
  f.own_cpu_s = own_cpu_seconds(pid);
  rusage usage{};
  int status = 0;
  while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  f.max_rss_kib = usage.ru_maxrss;
  f.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return f;
}

// The listing of the first run must be complete; a broken run would be fast.
std::string check_listing(const std::string& out_path, std::size_t lines) {
  std::ifstream in(out_path);
  std::stringstream text;
  text << in.rdbuf();
  const std::string s = text.str();
  std::size_t records = 0;
  for (std::size_t at = s.find("{'{#SOURCE}'"); at != std::string::npos;
       at = s.find("{'{#SOURCE}'", at + 1))
    ++records;
  if (s.find("Modo DEBUG ativado:") == std::string::npos ||
      records != std::min(lines, quillet::kTopLimit))
    return "unexpected output of the debug run: " + s.substr(0, 300);
  return "";
}

void BM_DebugRun(benchmark::State& state) {
  if (!sandbox().error.empty()) return state.SkipWithError(sandbox().error.c_str());
  const auto lines = static_cast<std::size_t>(state.range(0));
  const Report& report = report_file(lines);
  const std::string out_path = sandbox().dir + "/listing.txt";
  double own_cpu = 0;
  long max_rss = 0;
  for (auto _ : state) {
    const RunFigures f = debug_run(report, out_path);
    if (f.status != 0) {
      state.SkipWithError(("the debug run ended with status " + std::to_string(f.status)).c_str());
      break;
    }
    state.SetIterationTime(f.wall_s);
    own_cpu += f.own_cpu_s;
    max_rss = std::max(max_rss, f.max_rss_kib);
  }
  if (state.error_occurred()) return;
  if (const std::string problem = check_listing(out_path, lines); !problem.empty())
    return state.SkipWithError(problem.c_str());
  struct stat info {};
  ::stat(report.path.c_str(), &info);
  state.counters["own_cpu"] = benchmark::Counter(own_cpu, benchmark::Counter::kAvgIterations);
  // The spawned process starts out with this process's peak as its own, so the
  // figure is exact only above the spawner's.
  state.counters["max_rss_MiB"] = static_cast<double>(max_rss) / 1024.0;
  state.counters["spawner_rss_MiB"] = static_cast<double>(own_peak_kib()) / 1024.0;
  state.counters["report_MiB"] = static_cast<double>(info.st_size) / (1024.0 * 1024.0);
}
BENCHMARK(BM_DebugRun)->Arg(1'000)->Arg(1'000'000)->UseManualTime()->Unit(benchmark::kMillisecond);

// The capture's two command lines as the run starts them, through the same
// runner, with the same fake tools: the part of a debug run that is not its own.
void BM_CaptureCommands(benchmark::State& state) {
  if (!sandbox().error.empty()) return state.SkipWithError(sandbox().error.c_str());
  const Report& report = report_file(static_cast<std::size_t>(state.range(0)));
  const std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "/usr/bin:/bin";
  ::setenv("PATH", path_with(report).c_str(), 1);
  const quillet::CaptureSetup setup;
  quillet::ShellRunner runner;
  const std::string tcpdump = quillet::tcpdump_command(setup);
  const std::string dnstop = quillet::contained_text(quillet::dnstop_contained(setup, {}));
  for (auto _ : state) {
    ::unlink(setup.caminho_tcpdump.c_str());
    ::unlink(setup.caminho_arquivo.c_str());
    const auto start = Clock::now();
    runner.run_shell(tcpdump, quillet::ChildOutput::dropped);
    const bool ok = runner.run_shell(dnstop, quillet::ChildOutput::inherited).success();
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    if (!ok) {
      state.SkipWithError("the fake dnstop failed");
      break;
    }
  }
  ::setenv("PATH", path.c_str(), 1);
}
BENCHMARK(BM_CaptureCommands)
    ->Arg(1'000)
    ->Arg(1'000'000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
