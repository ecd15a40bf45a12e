#include "buffer_day.h"

#include "report_gen.h"

namespace quillet::bench {

std::vector<BufferedRun> buffered_runs(std::size_t runs, std::int64_t last_clock) {
  constexpr std::size_t kPool = 60, kRanked = 20;
  std::vector<BufferedRun> out;
  out.reserve(runs);
  for (std::size_t r = 0; r < runs; ++r) {
    BufferedRun run;
    run.clock.clock = last_clock - static_cast<std::int64_t>(60 * (runs - 1 - r));
    // A capture ends some way into its second.
    run.clock.ns = static_cast<std::int32_t>((r * 7919u % 1000u) * 1000000u + 123456u);
    // The busiest clients change every hour: the pool's window moves.
    const std::size_t first = (r / 60) % kPool;
    std::int64_t total = 0;
    for (std::size_t i = 0; i < kRanked; ++i)
      total += static_cast<std::int64_t>(4000 / (i + 1) + r % 17);
    for (std::size_t i = 0; i < kRanked; ++i) {
      const auto count = static_cast<std::int64_t>(4000 / (i + 1) + r % 17);
      const double share =
          static_cast<double>(count * 1000 / total) / 10.0;  // one decimal, as dnstop prints
      run.ranking.push_back({source_address((first + i) % kPool), count, share});
    }
    out.push_back(std::move(run));
  }
  return out;
}

}  // namespace quillet::bench
