// A day of collection runs kept through an outage, for the buffer benchmark.
// Deterministic: the same arguments give the same runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "report.h"
#include "zabbix_sender.h"

namespace quillet::bench {

// One run: its capture's moment and the ranking it sends.
struct BufferedRun {
  ValueClock clock;
  std::vector<SourceRecord> ranking;
};

// `runs` runs one minute apart, the last ending at `last_clock`; each ranks
// twenty clients of a pool of sixty that drifts through the day (about one
// in eight IPv6, as source_address gives them), counts in a long tail.
std::vector<BufferedRun> buffered_runs(std::size_t runs, std::int64_t last_clock);

}  // namespace quillet::bench
