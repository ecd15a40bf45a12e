// The queries of both transports: dnstop's table (UDP) and the TCP reader's
// counts joined into one ranking, with shares of all client queries.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
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

// A name (second level, in the presentation form the reader writes) and how
// many queries asked for it.
struct NameCount {
  std::string name;
  std::int64_t queries = 0;

  bool operator==(const NameCount&) const = default;
};

// The answers of each of the 16 response codes of a DNS header.
using Rcodes = std::array<std::int64_t, 16>;

// One client's part of the tables: the answers it was sent, its names.
struct ClientTables {
  std::string source;
  Rcodes rcodes{};
  std::vector<NameCount> names;  // its three asked most, most first

  bool operator==(const ClientTables&) const = default;
};

// What the clients asked (the first question of every query of both
// transports that has one) and how the server answered them.
struct QueryTables {
  std::int64_t queries = 0;                         // client queries with a question
  std::int64_t left_out = 0;                        // of them, names past the reader's bounds
  std::vector<std::pair<int, std::int64_t>> types;  // queries per type, most first
  std::vector<NameCount> names;                     // the ten asked most, most first
  Rcodes rcodes{};                                  // the server's answers to clients
  std::vector<ClientTables> clients;                // those that may rank

  bool operator==(const QueryTables&) const = default;
};

// What the TCP reader wrote: its clients, and the streams whose queries it
// could not count; with -t, the tables.
struct TcpCounts {
  std::vector<TcpClient> sources;
  std::int64_t without_start = 0;
  std::int64_t broken = 0;
  std::int64_t left_out = 0;  // at its bounds
  std::optional<QueryTables> tables;
};

// dnstop's report lists 50 rows a table at most.
inline constexpr std::size_t kReportRows = 50;

// Reads the TCP reader's file ("A <address> <TCP count> <UDP count>" lines,
// then "S <n>", "B <n>" and "L <n>"; then, when it tallied the tables, "Q
// <queries> <left out>", "T <type> <n>" lines, "N <n> <name>" lines, "R" and 16
// counts, and per client "C <address>" and 16 counts followed by its "D
// <address> <n> <name>" lines). The tables must be there when `tables`, and
// nothing after "L" otherwise. A file that cannot be read, or a line out of
// that form or order, raises Failure.
TcpCounts read_tcp_counts(const std::string& path, bool tables = false);

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

// 100 * `part` / `whole` with one decimal, rounded as printf's "%.1f" rounds;
// 0 for no whole.
double share(std::int64_t part, std::int64_t whole);

}  // namespace quillet
