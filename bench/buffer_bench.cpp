// The persistent buffer at its largest: a day of an outage's values, one run
// a minute. Writing and reading the file as every outage run does, and the run
// after recovery that drains it all to a loopback trapper, in process with an
// instant capture. The file lives in the temporary directory (a disk: the
// rewrites' fsync counts), as a working directory would.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "buffer.h"
#include "buffer_day.h"
#include "collect.h"
#include "context.h"
#include "entry.h"
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

// `count` buffered values of host "bench-host", the last run's a minute ago,
// announced long before: every one may be sent.
std::vector<quillet::BufferedValue> buffered(std::size_t count) {
  const auto now = quillet::value_clock(std::chrono::system_clock::now()).clock;
  std::vector<quillet::BufferedValue> values;
  for (const auto& run : quillet::bench::buffered_runs((count + kPerRun - 1) / kPerRun, now - 60)) {
    for (const quillet::ZabbixMetric& m :
         quillet::run_values("bench-host", run.ranking, run.clock)) {
      if (m.key != "descobertaDns" && values.size() < count) values.push_back({m, 1});
    }
  }
  return values;
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
  quillet::ContainedResult run(const quillet::ContainedCommand&,
                               const quillet::Containment&) override {
    std::ofstream(setup_.caminho_arquivo, std::ios::binary) << quillet::bench::make_report(20, {});
    return {};
  }

 private:
  quillet::CaptureSetup setup_;
};

// One rewrite of a file of `state.range(0)` values: what every outage run
// pays to keep its values.
void BM_BufferWrite(benchmark::State& state) {
  ScratchDir dir;
  const quillet::PersistentBuffer buffer((dir.path / "quillet.buffer").string(),
                                         std::chrono::hours(168));
  const auto values = buffered(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state)
    buffer.write(values);
  state.counters["file_bytes"] =
      static_cast<double>(std::filesystem::file_size(dir.path / "quillet.buffer"));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_BufferWrite)->Arg(2'400)->Arg(59'040)->Unit(benchmark::kMillisecond);

// Reading and checking it back: what every run with the buffer on pays first.
void BM_BufferRead(benchmark::State& state) {
  ScratchDir dir;
  const quillet::PersistentBuffer buffer((dir.path / "quillet.buffer").string(),
                                         std::chrono::hours(168));
  buffer.write(buffered(static_cast<std::size_t>(state.range(0))));
  quillet::BufferContents contents;
  for (auto _ : state) {
    contents = buffer.read(std::chrono::system_clock::now());
    benchmark::DoNotOptimize(contents);
  }
  if (contents.values.size() != static_cast<std::size_t>(state.range(0))) {
    state.SkipWithError(
        ("read back " + std::to_string(contents.values.size()) + " values").c_str());
    return;
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_BufferRead)->Arg(2'400)->Arg(59'040)->Unit(benchmark::kMillisecond);

// The run after recovery: its capture (instant), its own 41 values, then
// every buffered value in requests of at most 250, each delivered request
// taken off the file before the next goes out. The buffer is written afresh
// before each iteration, outside the timing.
void BM_BufferDrain(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  ScratchDir dir;
  const std::string file = (dir.path / "quillet.buffer").string();
  const quillet::PersistentBuffer buffer(file, std::chrono::hours(168));
  const auto values = buffered(count);
  std::atomic<std::size_t> received{0};
  quillet::testing::TrapperOptions options;
  options.on_request = [&received](const quillet::testing::TrapperRequest&) { ++received; };
  quillet::testing::Trapper trapper(options);
  const std::string conf = (dir.path / "quillet.conf").string();
  std::ofstream(conf) << "ServerPort=" << trapper.port()
                      << "\nEnablePersistentBuffer=1\nPersistentBufferPeriod=7d\n"
                         "PersistentBufferFile="
                      << file << '\n';
  ::chmod(conf.c_str(), 0600);

  quillet::CaptureSetup capture;
  capture.work_dir = dir.path.string() + "/";
  capture.caminho_tcpdump = (dir.path / "dump.pcap").string();
  capture.caminho_arquivo = (dir.path / "dnstop_output.txt").string();
  InstantCapture runner(capture);
  NullBuffer null;
  std::ostringstream out;
  std::ostream err(&null);
  int status = 0;
  std::size_t requests = 0, file_bytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    buffer.write(values);
    file_bytes = std::filesystem::file_size(file);
    out.str("");
    received = 0;
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
    state.ResumeTiming();
    status = quillet::run(ctx, quillet::real_modes());
    state.PauseTiming();
    requests = received - 41;  // after the run's own values
    state.ResumeTiming();
  }
  const std::string expected = "[AVISO] Buffer persistente: " + std::to_string(count) +
                               " valores guardados entregues em " +
                               std::to_string((count + 249) / 250) + " envios; restam 0.";
  if (status != 0 || out.str().find(expected) == std::string::npos) {
    state.SkipWithError(("the drain did not deliver every value: " + out.str()).c_str());
    return;
  }
  state.counters["file_bytes"] = static_cast<double>(file_bytes);
  state.counters["requests"] = static_cast<double>(requests);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_BufferDrain)->Arg(2'400)->Arg(57'600)->Arg(59'040)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
