// The persistent buffer at its largest: a day and a week (the longest period)
// of an outage's values, one run a minute. Keeping a run's values as every
// outage run does, reading the file, and the run after recovery that drains it
// all to a loopback trapper, in process with an instant capture, from a file
// in this format or in the first one. The file lives in the temporary
// directory (a disk: the fsyncs count), as a working directory would. CPU is
// the process's, the trapper's thread included; peak_rss_mib is the
// process's, so run one benchmark per process to read it.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

#include "buffer.h"
#include "buffer_day.h"
#include "collect.h"
#include "context.h"
#include "entry.h"
#include "format.h"
#include "report_gen.h"
#include "trapper.h"

namespace {

constexpr std::size_t kPerRun = 40;  // twenty clients, a count and a share each

class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return c; }
};

struct ScratchDir {
  std::filesystem::path path;
  ScratchDir() {
    std::string name = (std::filesystem::temp_directory_path() / "quillet-buffer-XXXXXX").string();
    if (::mkdtemp(name.data())) path = name;
  }
  ~ScratchDir() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
};

// `count` buffered values of host "bench-host", the last run's 30 s ago (a
// week then fits the longest period), announced long before: every one may
// be sent.
std::vector<quillet::ZabbixMetric> buffered(std::size_t count) {
  const auto now = quillet::value_clock(std::chrono::system_clock::now()).clock;
  std::vector<quillet::ZabbixMetric> values;
  for (const auto& run : quillet::bench::buffered_runs((count + kPerRun - 1) / kPerRun, now - 30)) {
    for (const quillet::ZabbixMetric& m :
         quillet::run_values("bench-host", run.ranking, run.clock)) {
      if (m.key != "descobertaDns" && values.size() < count) values.push_back(m);
    }
  }
  return values;
}

// The file of `values` as outage runs leave it: one record per run.
void write_buffer(const quillet::PersistentBuffer& buffer,
                  const std::vector<quillet::ZabbixMetric>& values) {
  quillet::BufferContents contents;
  std::vector<std::uint32_t> all;
  for (const quillet::ZabbixMetric& m : values) {
    all.push_back(static_cast<std::uint32_t>(all.size()));
    contents.add(m, 1);
  }
  buffer.rewrite(contents, all, kPerRun);
}

// The same in the first format, one value per line, as its release wrote it.
void write_first_format(const std::string& file, const std::vector<quillet::ZabbixMetric>& values) {
  std::ofstream out(file, std::ios::binary);
  out << "{\"quillet_buffer\":1,\"values\":[";
  std::string line;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const quillet::ZabbixMetric& m = values[i];
    line = i == 0 ? "\n{\"host\":" : ",\n{\"host\":";
    quillet::append_json_string(line, m.host);
    line += ",\"key\":";
    quillet::append_json_string(line, m.key);
    line += ",\"value\":";
    if (const auto* whole = std::get_if<std::int64_t>(&m.value)) {
      line += std::to_string(*whole);
    } else {
      quillet::append_double(line, std::get<double>(m.value));
    }
    line += ",\"clock\":" + std::to_string(m.clock->clock) +
            ",\"ns\":" + std::to_string(m.clock->ns) + ",\"announced\":1}";
    out << line;
  }
  out << "\n]}\n";
}

// The instant capture: tcpdump's file gets a few bytes, dnstop prints a
// report of twenty clients.
class InstantCapture : public quillet::CommandRunner, public quillet::ContainedRunner {
 public:
  explicit InstantCapture(quillet::CaptureSetup setup) : setup_(std::move(setup)) {}
  quillet::ExitStatus run_shell(const std::string&, quillet::ChildOutput) override {
    std::ofstream(setup_.caminho_tcpdump, std::ios::binary) << "pcap";
    return {};
  }
  std::vector<quillet::ShellResult> run_shells(const std::vector<std::string>& lines) override {
    for (const std::string& line : lines)
      run_shell(line, quillet::ChildOutput::dropped);
    return std::vector<quillet::ShellResult>(lines.size(), {{}, "0 packets dropped by kernel\n"});
  }
  quillet::ContainedResult run(const quillet::ContainedCommand&,
                               const quillet::Containment&) override {
    std::ofstream(setup_.caminho_arquivo, std::ios::binary) << quillet::bench::make_report(20, {});
    return {};
  }

 private:
  quillet::CaptureSetup setup_;
};

// One outage run keeping its 40 values in a buffer of `state.range(0)`
// values: the same cost whatever the buffer holds.
void BM_BufferKeep(benchmark::State& state) {
  ScratchDir dir;
  const quillet::PersistentBuffer buffer((dir.path / "quillet.buffer").string(),
                                         std::chrono::hours(168));
  write_buffer(buffer, buffered(static_cast<std::size_t>(state.range(0))));
  const auto run = buffered(kPerRun);
  for (auto _ : state)
    buffer.append(run, 0);
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kPerRun));
}
BENCHMARK(BM_BufferKeep)->Arg(2'400)->Arg(403'200)->Unit(benchmark::kMillisecond);

// Reading it: what a run with the buffer on pays once.
void BM_BufferRead(benchmark::State& state) {
  ScratchDir dir;
  const quillet::PersistentBuffer buffer((dir.path / "quillet.buffer").string(),
                                         std::chrono::hours(168));
  write_buffer(buffer, buffered(static_cast<std::size_t>(state.range(0))));
  std::size_t read = 0;
  for (auto _ : state) {
    const quillet::BufferContents contents = buffer.read(std::chrono::system_clock::now());
    read = contents.values.size();
    benchmark::DoNotOptimize(read);
  }
  if (read != static_cast<std::size_t>(state.range(0))) {
    state.SkipWithError(("read back " + std::to_string(read) + " values").c_str());
    return;
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_BufferRead)->Arg(57'600)->Arg(403'200)->Unit(benchmark::kMillisecond);

// The run after recovery, in a process of its own so that its CPU time and
// peak memory are the run's: its capture (instant), its own 41 values to the
// trapper at `port`, then every buffered value of the file in `dir`. Writes
// what it printed to "out" and its peak memory in KiB to "rss" in `dir`.
int drain_run(const std::string& dir, const std::string& port) {
  const std::string conf = dir + "/quillet.conf";
  std::ofstream(conf) << "ServerPort=" << port
                      << "\nEnablePersistentBuffer=1\nPersistentBufferPeriod=7d\n"
                         "PersistentBufferFile="
                      << dir << "/quillet.buffer\n";
  ::chmod(conf.c_str(), 0600);
  quillet::CaptureSetup capture;
  capture.work_dir = dir + "/";
  capture.caminho_tcpdump = dir + "/dump.pcap";
  capture.caminho_arquivo = dir + "/dnstop_output.txt";
  InstantCapture runner(capture);
  NullBuffer null;
  std::ofstream out(dir + "/out");
  std::ostream err(&null);
  quillet::Context ctx{.command_line = {"quillet", "coletarDns", "/p", "127.0.0.1", "bench-host"},
                       .settings = {},
                       .configuration_file = conf,
                       .out = out,
                       .err = err,
                       .capture = capture,
                       .delivery = {},
                       .runner = runner,
                       .contained = runner,
                       .pause = [](std::chrono::milliseconds) {},
                       .wall_clock = quillet::real_time};
  const int status = quillet::run(ctx, quillet::real_modes());
  // The peak of this process's own memory: the rusage of a spawned child
  // starts from its parent's.
  std::ifstream proc("/proc/self/status");
  for (std::string line; std::getline(proc, line);) {
    if (line.starts_with("VmHWM:")) std::ofstream(dir + "/rss") << line.substr(6);
  }
  return status;
}

// That run on a backlog of range(0) values, every delivered request
// committed before the next goes out; the file is in this format, or
// (range(1) = 1) in the first one, which the run carries over. The buffer is
// written afresh before each iteration, outside the timing. Time is the
// run's wall time; cpu_s and peak_rss_mib are the run's process's.
void BM_BufferDrain(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  const bool first_format = state.range(1) == 1;
  ScratchDir dir;
  const std::string file = (dir.path / "quillet.buffer").string();
  const quillet::PersistentBuffer buffer(file, std::chrono::hours(168));
  const auto values = buffered(count);
  std::atomic<std::size_t> received{0};
  quillet::testing::TrapperOptions options;
  options.on_request = [&received](const quillet::testing::TrapperRequest&) { ++received; };
  quillet::testing::Trapper trapper(options);
  const std::string port = std::to_string(trapper.port());
  int status = 0;
  std::size_t requests = 0, file_bytes = 0;
  double cpu = 0, rss = 0;
  for (auto _ : state) {
    if (first_format) {
      write_first_format(file, values);
    } else {
      write_buffer(buffer, values);
    }
    file_bytes = std::filesystem::file_size(file);
    received = 0;
    const std::string dir_text = dir.path.string();
    char* const argv[] = {const_cast<char*>("quillet_buffer_bench"),
                          const_cast<char*>("--drain-run"), const_cast<char*>(dir_text.c_str()),
                          const_cast<char*>(port.c_str()), nullptr};
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (::posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv, environ) != 0) {
      state.SkipWithError("cannot start the run");
      return;
    }
    int wait_status = 0;
    struct rusage usage {};
    ::wait4(pid, &wait_status, 0, &usage);
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128;
    cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
          static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::ifstream(dir.path / "rss") >> rss;
    rss /= 1024.0;
    requests = received - 41;  // after the run's own values
  }
  std::ifstream in(dir.path / "out");
  const std::string out((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string expected = "[AVISO] Buffer persistente: " + std::to_string(count) +
                               " valores guardados entregues em " +
                               std::to_string((count + 249) / 250) + " envios; restam 0.";
  if (status != 0 || out.find(expected) == std::string::npos) {
    state.SkipWithError(("the drain did not deliver every value: " + out).c_str());
    return;
  }
  state.counters["file_bytes"] = static_cast<double>(file_bytes);
  state.counters["requests"] = static_cast<double>(requests);
  state.counters["cpu_s"] = cpu;
  state.counters["peak_rss_mib"] = rss;
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_BufferDrain)
    ->ArgsProduct({{2'400, 57'600, 403'200}, {0, 1}})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  if (argc == 4 && std::string_view(argv[1]) == "--drain-run") return drain_run(argv[2], argv[3]);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
