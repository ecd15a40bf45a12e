// The queries of both transports: dnstop's table (UDP) and the TCP reader's
// counts joined into one ranking, with shares of all client queries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "report.h"

namespace quillet {

// One client of the TCP reader: its TCP queries, and its UDP queries as the
// reader counted them.
struct TcpClient {
  std::string source;
  std::int64_t tcp = 0;
  std::int64_t udp = 0;

  bool operator==(const TcpClient&) const = default;
};

// What the TCP reader wrote: its clients, and the streams whose queries it
// could not count.
struct TcpCounts {
  std::vector<TcpClient> sources;
  std::int64_t without_start = 0;
  std::int64_t broken = 0;
  std::int64_t left_out = 0;  // at its bounds
};

// dnstop's report lists 50 rows a table at most.
inline constexpr std::size_t kReportRows = 50;

// Reads the TCP reader's file ("A <address> <TCP count> <UDP count>" lines,
// then "S <n>", "B <n>" and "L <n>"). A file that cannot be read, or a line out of that form,
// raises Failure.
TcpCounts read_tcp_counts(const std::string& path);

// The UDP queries of the report at `path`: the sum of its "Opcode" table,
// which holds every query dnstop counted; without that table, the sum of
// `udp`, its Sources table.
std::int64_t udp_total(const std::string& path, const std::vector<SourceRecord>& udp);

// Every source of `udp` (in report order) and then of `tcp`, each with the
// sum of its queries over both transports and its share of `udp_queries`
// plus every TCP query, in percent with one decimal, as dnstop writes them.
// A TCP client missing from a full Sources table (kReportRows rows) has UDP
// queries dnstop did not list: the reader's count stands in for them.
std::vector<SourceRecord> with_tcp(const std::vector<SourceRecord>& udp, std::int64_t udp_queries,
                                   const TcpCounts& tcp);

}  // namespace quillet
