// Generated dnstop reports for the benchmarks and the side-by-side comparisons.
// Deterministic: the same arguments give the same bytes.
#pragma once

#include <cstddef>
#include <string>

namespace quillet::bench {

enum class ReportStyle {
  sources,  // the "Sources" table alone, ASCII, as dnstop lays it out
  full,     // every table of a dnstop report (-l 4), Sources first
  unicode,  // the Sources table with Unicode white space, CR LF and invalid bytes
};

// A report whose "Sources" table has `lines` data lines, greatest count first
// as dnstop sorts it. About one address in eight is IPv6.
std::string make_report(std::size_t lines, ReportStyle style);

// The address of data line `index` (IPv4 or IPv6 text).
std::string source_address(std::size_t index);

}  // namespace quillet::bench
