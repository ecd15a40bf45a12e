// Micro-benchmarks of a collection run's own work: the report parser, the
// ranking, the discovery document and the deliveries to a loopback trapper.
#include <benchmark/benchmark.h>

#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <map>
#include <memory>
#include <ostream>
#include <random>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

#include "collect.h"
#include "config.h"
#include "delivery.h"
#include "format.h"
#include "report.h"
#include "report_gen.h"
#include "tcp_stream.h"
#include "trapper.h"

namespace {

using quillet::bench::ReportStyle;

// Reports are generated once per size and style and shared by the benchmarks.
const std::string& report(std::size_t lines, ReportStyle style) {
  static std::map<std::pair<std::size_t, ReportStyle>, std::string> cache;
  auto [it, added] = cache.try_emplace({lines, style});
  if (added) it->second = quillet::bench::make_report(lines, style);
  return it->second;
}

// Bytes per second over what the parser was handed, and the time per data line
// of the Sources table.
void set_rates(benchmark::State& state, std::size_t bytes, std::size_t lines) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
  state.counters["per_line"] =
      benchmark::Counter(static_cast<double>(lines), benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
}

// Every generated data line is a record; anything else means the parser or the
// generator went wrong, and the figure would be meaningless.
bool check_records(benchmark::State& state, std::size_t got, std::size_t want) {
  if (got == want) return true;
  state.SkipWithError(
      ("parsed " + std::to_string(got) + " records, expected " + std::to_string(want)).c_str());
  return false;
}

void parse_counting(benchmark::State& state, ReportStyle style) {
  const auto lines = static_cast<std::size_t>(state.range(0));
  const std::string& bytes = report(lines, style);
  std::size_t records = 0;
  for (auto _ : state) {
    records = 0;
    quillet::parse_report(bytes, [&](const quillet::RecordView&) { ++records; });
    benchmark::DoNotOptimize(records);
  }
  if (check_records(state, records, lines)) set_rates(state, bytes.size(), lines);
}

void BM_ParseSources(benchmark::State& state) {
  parse_counting(state, ReportStyle::sources);
}
BENCHMARK(BM_ParseSources)->Arg(1'000)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMicrosecond);

// The whole report; the parser stops at "Destinations", so most bytes are never
// looked at.
void BM_ParseFullReport(benchmark::State& state) {
  parse_counting(state, ReportStyle::full);
}
BENCHMARK(BM_ParseFullReport)->Arg(1'000)->Arg(100'000)->Unit(benchmark::kMicrosecond);

// Unicode white space, CR LF, U+2028 and invalid bytes on every line: every line
// takes the decoding path.
void BM_ParseUnicode(benchmark::State& state) {
  parse_counting(state, ReportStyle::unicode);
}
BENCHMARK(BM_ParseUnicode)->Arg(1'000)->Arg(100'000)->Unit(benchmark::kMicrosecond);

// The TCP reader's framing: connections from distinct clients, each a SYN
// and one segment with two pipelined queries.
void BM_TcpQueries(benchmark::State& state) {
  const auto connections = static_cast<std::uint32_t>(state.range(0));
  std::string query(30, 'q');
  query[2] = 1;
  const std::string two = std::string("\0\x1e", 2) + query + std::string("\0\x1e", 2) + query;
  std::vector<std::string> flows, sources;
  for (std::uint32_t i = 0; i < connections; ++i) {
    flows.push_back(std::string(reinterpret_cast<const char*>(&i), sizeof i) + "flow");
    sources.push_back("10." + std::to_string(i >> 16) + "." + std::to_string((i >> 8) & 255) + "." +
                      std::to_string(i & 255));
  }
  std::size_t counted = 0;
  for (auto _ : state) {
    quillet::TcpQueries queries;
    for (std::uint32_t i = 0; i < connections; ++i) {
      queries.add({flows[i], sources[i], i * 7919u, true, {}, 0});
      queries.add({flows[i], sources[i], i * 7919u + 1, false, two, 0});
    }
    counted = queries.counts().size();
    benchmark::DoNotOptimize(counted);
  }
  if (counted != connections) state.SkipWithError("a connection was not counted");
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * connections);
}
BENCHMARK(BM_TcpQueries)->Arg(100'000)->Unit(benchmark::kMillisecond);

// What a collection run does: parse into the top-20 selection.
void BM_ParseAndRank(benchmark::State& state) {
  const auto lines = static_cast<std::size_t>(state.range(0));
  const std::string& bytes = report(lines, ReportStyle::sources);
  std::size_t kept = 0;
  for (auto _ : state) {
    quillet::TopSelection top(quillet::kTopLimit);
    quillet::parse_report(bytes, [&](const quillet::RecordView& r) { top.add(r); });
    kept = top.ranked().size();
    benchmark::DoNotOptimize(kept);
  }
  if (check_records(state, kept, std::min(lines, quillet::kTopLimit)))
    set_rates(state, bytes.size(), lines);
}
BENCHMARK(BM_ParseAndRank)->Arg(1'000)->Arg(1'000'000)->Unit(benchmark::kMicrosecond);

// Every record kept as a SourceRecord of its own.
void BM_ParseToVector(benchmark::State& state) {
  const auto lines = static_cast<std::size_t>(state.range(0));
  const std::string& bytes = report(lines, ReportStyle::sources);
  std::size_t records = 0;
  for (auto _ : state) {
    std::vector<quillet::SourceRecord> all;
    quillet::parse_report(bytes, [&](const quillet::RecordView& r) {
      all.push_back({std::string(r.source), r.contagem, r.percentual});
    });
    records = all.size();
    benchmark::DoNotOptimize(records);
  }
  if (check_records(state, records, lines)) set_rates(state, bytes.size(), lines);
}
BENCHMARK(BM_ParseToVector)->Arg(100'000)->Unit(benchmark::kMicrosecond);

enum class Order { descending, shuffled, ascending };

// `n` records in the given count order; ties keep the generator's order.
struct Records {
  std::vector<std::string> addresses;
  std::vector<quillet::RecordView> views;

  Records(std::size_t n, Order order) {
    addresses.reserve(n);
    std::vector<std::int64_t> counts;
    for (std::size_t i = 0; i < n; ++i) {
      addresses.push_back(quillet::bench::source_address(i));
      counts.push_back(static_cast<std::int64_t>(n / (i + 1)) + 1);
    }
    if (order == Order::shuffled) std::shuffle(counts.begin(), counts.end(), std::mt19937(42));
    if (order == Order::ascending) std::reverse(counts.begin(), counts.end());
    for (std::size_t i = 0; i < n; ++i)
      views.push_back({addresses[i], counts[i], 0.5});
  }
};

// Descending is dnstop's own order (the best case: 20 insertions, then one
// comparison per record); ascending makes every record an insertion.
void BM_TopSelection(benchmark::State& state, Order order) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const Records records(n, order);
  for (auto _ : state) {
    quillet::TopSelection top(quillet::kTopLimit);
    for (const quillet::RecordView& r : records.views)
      top.add(r);
    benchmark::DoNotOptimize(top.ranked().data());
  }
  state.SetComplexityN(state.range(0));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * n));
}
BENCHMARK_CAPTURE(BM_TopSelection, descending, Order::descending)
    ->RangeMultiplier(10)
    ->Range(10'000, 1'000'000)
    ->Complexity(benchmark::oN)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_TopSelection, shuffled, Order::shuffled)
    ->RangeMultiplier(10)
    ->Range(10'000, 1'000'000)
    ->Complexity(benchmark::oN)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_TopSelection, ascending, Order::ascending)
    ->RangeMultiplier(10)
    ->Range(10'000, 1'000'000)
    ->Complexity(benchmark::oN)
    ->Unit(benchmark::kMicrosecond);

// The ranking by a full stable sort of every record, for comparison with the
// selection.
void BM_RankTop(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const Records records(n, Order::shuffled);
  std::vector<quillet::SourceRecord> all;
  std::transform(records.views.begin(), records.views.end(), std::back_inserter(all),
                 [](const quillet::RecordView& r) {
                   return quillet::SourceRecord{std::string(r.source), r.contagem, r.percentual};
                 });
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<quillet::SourceRecord> copy = all;
    state.ResumeTiming();
    std::stable_sort(copy.begin(), copy.end(),
                     [](const quillet::SourceRecord& a, const quillet::SourceRecord& b) {
                       return a.contagem > b.contagem;
                     });
    copy.resize(std::min(copy.size(), quillet::kTopLimit));
    benchmark::DoNotOptimize(copy.data());
  }
  state.SetComplexityN(state.range(0));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * n));
}
BENCHMARK(BM_RankTop)
    ->RangeMultiplier(10)
    ->Range(10'000, 1'000'000)
    ->Complexity(benchmark::oNLogN)
    ->Unit(benchmark::kMicrosecond);

// The twenty records a run ranks from the 1,000-line report.
std::vector<quillet::SourceRecord> top20() {
  quillet::TopSelection top(quillet::kTopLimit);
  quillet::parse_report(report(1'000, ReportStyle::sources),
                        [&](const quillet::RecordView& r) { top.add(r); });
  return top.take();
}

void BM_DiscoveryDocument(benchmark::State& state) {
  const std::vector<quillet::SourceRecord> records = top20();
  for (auto _ : state)
    benchmark::DoNotOptimize(quillet::discovery_document(records));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * records.size()));
}
BENCHMARK(BM_DiscoveryDocument);

void BM_DebugLines(benchmark::State& state) {
  const std::vector<quillet::SourceRecord> records = top20();
  for (auto _ : state) {
    for (const quillet::SourceRecord& r : records)
      benchmark::DoNotOptimize(quillet::debug_line(r));
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * records.size()));
}
BENCHMARK(BM_DebugLines);

// Twenty percentages of the kinds a report holds, from 100.0 down to the
// exponent form.
void BM_FormatDouble(benchmark::State& state) {
  const std::vector<double> values = {100.0,  61.3,  16.1, 4.8,  1.6,  0.1, 0.0, 33.3, 12.5, 87.5,
                                      0.0001, 1e-05, 99.9, 50.0, 2.25, 7.0, 0.5, 25.0, 62.5, 0.3};
  std::string out;
  for (auto _ : state) {
    out.clear();
    for (double v : values)
      quillet::append_double(out, v);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * values.size()));
}
BENCHMARK(BM_FormatDouble);

// Swallows the console output of the deliveries.
class NullBuffer : public std::streambuf {
 protected:
  int_type overflow(int_type c) override { return c; }
};

enum class Encryption { none, psk, cert };

// The test PKI of tests/support/test_pki.sh, made once per process and removed
// at its end; empty when it could not be made.
const std::string& pki_dir() {
  struct Pki {
    std::string dir;
    Pki() {
      char name[] = "/tmp/quillet-bench-pki.XXXXXX";
      if (!::mkdtemp(name)) return;
      dir = name;
      if (std::system(("bash " QUILLET_TEST_PKI " " + dir).c_str()) != 0) remove();
    }
    ~Pki() { remove(); }
    void remove() {
      if (!dir.empty()) std::filesystem::remove_all(dir);
      dir.clear();
    }
  };
  static Pki pki;
  return pki.dir;
}

// `state.range(0)` deliveries to a trapper on the loopback: 1, or the 41 of a
// run with twenty addresses, each its own send_zabbix call and connection;
// unencrypted, or through TLS as a configuration file would set it up (one
// TlsClient for the run, as a collection makes it).
void BM_DeliveryWith(benchmark::State& state, Encryption encryption) {
  quillet::testing::TrapperOptions options;
  quillet::Configuration config;
  if (encryption != Encryption::none) {
    const std::string& dir = pki_dir();
    if (dir.empty()) {
      state.SkipWithError("the test PKI could not be made (openssl)");
      return;
    }
    options.tls.emplace();
    if (encryption == Encryption::psk) {
      config.tls_connect = quillet::TlsConnect::psk;
      config.psk_identity = {"bench psk", 1};
      config.psk = std::string(32, '\x5a');
      options.tls->psk_identity = config.psk_identity.value;
      options.tls->psk = config.psk;
    } else {
      config.tls_connect = quillet::TlsConnect::cert;
      config.ca_file = {dir + "/ca.crt", 1};
      config.cert_file = {dir + "/client.crt", 2};
      config.key_file = {dir + "/client.key", 3};
      options.tls->cert_file = dir + "/server.crt";
      options.tls->key_file = dir + "/server.key";
      options.tls->ca_file = dir + "/ca.crt";
    }
  }
  quillet::testing::Trapper trapper(options);
  config.server_port = trapper.port();
  const quillet::DeliverySetup setup = quillet::delivery_setup(config, "127.0.0.1");
  quillet::ZabbixSender zbx = setup.sender();
  NullBuffer null;
  std::ostream out(&null);
  int pauses = 0;
  const quillet::Pause pause = [&](std::chrono::milliseconds) { ++pauses; };
  std::vector<quillet::ZabbixMetric> values = quillet::run_values("bench-host", top20());
  values.resize(std::min(values.size(), static_cast<std::size_t>(state.range(0))));
  std::ptrdiff_t given_up = 0;
  for (auto _ : state) {
    given_up += std::count_if(values.begin(), values.end(), [&](const quillet::ZabbixMetric& v) {
      return quillet::send_zabbix(zbx, v, setup.bounds, out, pause) !=
             quillet::DeliveryOutcome::delivered;
    });
  }
  if (given_up > 0 || pauses > 0) {
    state.SkipWithError((std::to_string(given_up) + " deliveries given up").c_str());
    return;
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(values.size()));
}

void BM_Delivery(benchmark::State& state) {
  BM_DeliveryWith(state, Encryption::none);
}
BENCHMARK(BM_Delivery)->Arg(1)->Arg(41)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_DeliveryWith, psk, Encryption::psk)
    ->Arg(1)
    ->Arg(41)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_DeliveryWith, cert, Encryption::cert)
    ->Arg(1)
    ->Arg(41)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  // As the program does: a peer that goes away fails a write, not the process.
  ::signal(SIGPIPE, SIG_IGN);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
