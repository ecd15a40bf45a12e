// The queries of both transports: dnstop's table (UDP) and the TCP reader's
// counts joined into one ranking, with shares of all client queries.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "report.h"

namespace quillet {

// What the TCP reader wrote: queries per client, and the streams it could not
// frame.
struct TcpCounts {
  std::vector<std::pair<std::string, std::int64_t>> sources;
  std::int64_t without_start = 0;
  std::int64_t broken = 0;
};

// Reads the TCP reader's file ("A <address> <count>" lines, then "S <n>" and
// "B <n>"). A file that cannot be read, or a line out of that form, raises
// Failure.
TcpCounts read_tcp_counts(const std::string& path);

// The UDP queries of the report at `path`: the sum of its "Opcode" table,
// which holds every query dnstop counted; without that table, the sum of
// `udp`, its Sources table.
std::int64_t udp_total(const std::string& path, const std::vector<SourceRecord>& udp);

// Every source of `udp` (in report order) and then of `tcp`, each with the
// sum of its queries over both transports and its share of `udp_queries`
// plus every TCP query, in percent with one decimal, as dnstop writes them.
std::vector<SourceRecord> with_tcp(const std::vector<SourceRecord>& udp, std::int64_t udp_queries,
                                   const TcpCounts& tcp);

}  // namespace quillet
