#include "report_gen.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

namespace quillet::bench {
namespace {

struct Row {
  std::string name;
  std::int64_t count;
};

// dnstop's layout: the label column as wide as its widest entry, then count,
// percentage and cumulative percentage right-aligned in 9, 6 and 6 columns.
void append_table(std::string& out, std::string_view label, const std::vector<Row>& rows) {
  std::size_t width = label.size();
  std::int64_t total = 0;
  for (const Row& row : rows) {
    width = std::max(width, row.name.size());
    total += row.count;
  }
  const int w = static_cast<int>(width);
  char buf[256];
  int n = std::snprintf(buf, sizeof buf, "%-*.*s %9s %6s %6s\n", w, static_cast<int>(label.size()),
                        label.data(), "Count", "%", "cum%");
  out.append(buf, static_cast<std::size_t>(n));
  out.append(width, '-');
  out += " --------- ------ ------\n";
  std::int64_t cumulative = 0;
  for (const Row& row : rows) {
    cumulative += row.count;
    const double share = 100.0 * static_cast<double>(row.count) / static_cast<double>(total);
    const double cum = 100.0 * static_cast<double>(cumulative) / static_cast<double>(total);
    n = std::snprintf(buf, sizeof buf, "%-*s %9lld %6.1f %6.1f\n", w, row.name.c_str(),
                      static_cast<long long>(row.count), share, cum);
    out.append(buf, static_cast<std::size_t>(n));
  }
  out += '\n';
}

// A long tail, greatest first: a few busy resolvers, many quiet clients.
std::int64_t count_at(std::size_t index, std::size_t lines) {
  return static_cast<std::int64_t>(lines / (index + 1)) + 1;
}

std::vector<Row> rows_of(std::size_t lines, std::string (*name)(std::size_t)) {
  std::vector<Row> rows;
  rows.reserve(lines);
  for (std::size_t i = 0; i < lines; ++i)
    rows.push_back({name(i), count_at(i, lines)});
  return rows;
}

constexpr std::array<std::string_view, 8> kTlds = {"com",  "net", "org", "br",
                                                   "arpa", "io",  "de",  "local"};

std::string query_name(std::size_t index, int level) {
  std::string name(kTlds[index % kTlds.size()]);
  for (int l = 1; l < level; ++l)
    name = "n" + std::to_string((index >> (4 * l)) % 4096) + "." + name;
  return name;
}

void append_full_report(std::string& out, std::size_t lines) {
  append_table(out, "Sources", rows_of(lines, source_address));
  append_table(out, "Destinations",
               {{"192.0.2.53", static_cast<std::int64_t>(lines * 3)}, {"2001:db8::53", 7}});
  append_table(out, "Query Type",
               {{"A?", 1000},
                {"AAAA?", 500},
                {"PTR?", 333},
                {"MX?", 250},
                {"TXT?", 200},
                {"SRV?", 166},
                {"NS?", 142},
                {"SOA?", 125}});
  append_table(out, "Opcode", {{"Query", static_cast<std::int64_t>(lines)}});
  append_table(out, "Rcode", {{"Noerror", 900}, {"Nxdomain", 90}, {"Servfail", 10}});
  for (int level = 1; level <= 4; ++level) {
    std::vector<Row> names;
    const std::size_t n = level == 1 ? kTlds.size() : std::min<std::size_t>(lines, 2000);
    for (std::size_t i = 0; i < n; ++i)
      names.push_back({query_name(i, level), count_at(i, n)});
    append_table(out, "Query Name", names);
  }
  for (int level = 1; level <= 4; ++level) {
    std::vector<Row> pairs;
    for (std::size_t i = 0; i < lines; ++i) {
      std::string address = source_address(i);
      address.resize(std::max<std::size_t>(address.size(), 16), ' ');
      pairs.push_back({address + " " + query_name(i, level), count_at(i, lines)});
    }
    append_table(out, "Source       Query Name", pairs);
  }
}

// The same records with every kind of white space and line end the reader
// knows, and bytes that are not UTF-8 in the fields (dropped when read).
void append_unicode_table(std::string& out, std::size_t lines) {
  constexpr std::array<std::string_view, 6> kSpaces = {"\u00a0", "\u2003",   "\u3000",
                                                       "\t",     " \u202f ", "\u205f\u2009"};
  constexpr std::array<std::string_view, 4> kEnds = {"\n", "\r\n", "\u2028", "\x0c"};
  out += "Sources\u3000Count\u00a0%\u2003cum%\n";
  out += "--------\u00a0-----\n";
  for (std::size_t i = 0; i < lines; ++i) {
    std::string address = source_address(i);
    if (i % 3 == 0) address.insert(address.size() / 2, "\xff");  // stray byte
    if (i % 5 == 0) address += "\xe2\x80";                       // cut sequence
    const std::string_view space = kSpaces[i % kSpaces.size()];
    char buf[64];
    const int n =
        std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(count_at(i, lines)));
    out += space;
    out += address;
    out += space;
    out.append(buf, static_cast<std::size_t>(n));
    out += space;
    out += i % 4 == 0 ? "0.1\x80" : "0.1";
    out += space;
    out += "99.9";
    out += kEnds[i % kEnds.size()];
  }
  out += "Destinations Count % cum%\n";
}

}  // namespace

std::string source_address(std::size_t index) {
  char buf[64];
  int n = 0;
  if (index % 8 == 7) {
    n = std::snprintf(buf, sizeof buf, "2001:db8:%zx:%zx::%zx", (index >> 16) & 0xffff,
                      index & 0xffff, index % 251 + 1);
  } else {
    n = std::snprintf(buf, sizeof buf, "%zu.%zu.%zu.%zu", 10 + ((index >> 24) & 0x7f),
                      (index >> 16) & 0xff, (index >> 8) & 0xff, index & 0xff);
  }
  return std::string(buf, static_cast<std::size_t>(n));
}

std::string make_report(std::size_t lines, ReportStyle style) {
  std::string out;
  out.reserve(lines * (style == ReportStyle::full ? 300 : 56) + 4096);
  switch (style) {
    case ReportStyle::sources:
      append_table(out, "Sources", rows_of(lines, source_address));
      break;
    case ReportStyle::full:
      append_full_report(out, lines);
      break;
    case ReportStyle::unicode:
      append_unicode_table(out, lines);
      break;
  }
  return out;
}

}  // namespace quillet::bench
