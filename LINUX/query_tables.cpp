#include "query_tables.h"

#include <algorithm>
#include <array>

#include "format.h"

namespace quillet {

namespace {

// The types of RFC 1035 and later that a client asks for, by number.
constexpr std::pair<int, std::string_view> kTypes[] = {
    {1, "A"},           {2, "NS"},      {5, "CNAME"},   {6, "SOA"},       {12, "PTR"},
    {13, "HINFO"},      {15, "MX"},     {16, "TXT"},    {17, "RP"},       {18, "AFSDB"},
    {24, "SIG"},        {25, "KEY"},    {28, "AAAA"},   {29, "LOC"},      {33, "SRV"},
    {35, "NAPTR"},      {36, "KX"},     {37, "CERT"},   {39, "DNAME"},    {41, "OPT"},
    {42, "APL"},        {43, "DS"},     {44, "SSHFP"},  {45, "IPSECKEY"}, {46, "RRSIG"},
    {47, "NSEC"},       {48, "DNSKEY"}, {49, "DHCID"},  {50, "NSEC3"},    {51, "NSEC3PARAM"},
    {52, "TLSA"},       {53, "SMIMEA"}, {55, "HIP"},    {59, "CDS"},      {60, "CDNSKEY"},
    {61, "OPENPGPKEY"}, {62, "CSYNC"},  {63, "ZONEMD"}, {64, "SVCB"},     {65, "HTTPS"},
    {99, "SPF"},        {108, "EUI48"}, {109, "EUI64"}, {249, "TKEY"},    {250, "TSIG"},
    {251, "IXFR"},      {252, "AXFR"},  {255, "ANY"},   {256, "URI"},     {257, "CAA"},
};

std::string shown_name(const std::string& name) {
  if (name.size() <= kShownName) return name;
  return name.substr(0, kShownName - 3) + "...";
}

std::string count_text(std::int64_t n) {
  return std::to_string(n);
}

// The tables of `source`, or nothing when the reader did not write them.
const ClientTables* tables_of(const QueryTables& tables, const std::string& source) {
  const auto found = std::find_if(tables.clients.begin(), tables.clients.end(),
                                  [&](const ClientTables& c) { return c.source == source; });
  return found == tables.clients.end() ? nullptr : &*found;
}

}  // namespace

std::string type_name(int type) {
  for (const auto& [number, name] : kTypes) {
    if (number == type) return std::string(name);
  }
  return "TYPE" + std::to_string(type);
}

std::string names_table(const QueryTables& tables) {
  std::vector<std::vector<std::string>> rows;
  for (const NameCount& n : tables.names) {
    rows.push_back({std::to_string(rows.size() + 1), shown_name(n.name), count_text(n.queries),
                    percent_text(share(n.queries, tables.queries))});
  }
  std::string table = text_table({"#", "name", "queries", "share"}, rows, {1});
  if (rows.empty()) table += "\n(no DNS query with a question from any client in the capture)";
  if (tables.left_out > 0) {
    table += "\n(" + std::to_string(tables.left_out) +
             " queries for names past the reader's bounds are in no row)";
  }
  return table;
}

std::string client_names_table(const std::vector<SourceRecord>& ranking,
                               const QueryTables& tables) {
  const std::vector<std::string> rank = ranks(ranking);
  std::vector<std::vector<std::string>> rows;
  for (std::size_t i = 0; i < ranking.size(); ++i) {
    std::string names;
    if (const ClientTables* c = tables_of(tables, ranking[i].source)) {
      for (const NameCount& n : c->names) {
        if (!names.empty()) names += ", ";
        names += shown_name(n.name) + " " + count_text(n.queries);
      }
    }
    rows.push_back({rank[i], console_safe(ranking[i].source), count_text(ranking[i].contagem),
                    names.empty() ? "-" : names});
  }
  std::string table =
      text_table({"#", "client", "queries", "names asked most (queries)"}, rows, {1, 3});
  if (rows.empty()) table += "\n(no DNS query from any client in the capture)";
  return table;
}

std::string types_table(const QueryTables& tables) {
  constexpr std::size_t kShown = 10;
  std::vector<std::vector<std::string>> rows;
  std::int64_t rest = 0;
  for (std::size_t i = 0; i < tables.types.size(); ++i) {
    const auto& [type, n] = tables.types[i];
    if (i < kShown) {
      rows.push_back({type_name(type), count_text(n), percent_text(share(n, tables.queries))});
    } else {
      rest += n;
    }
  }
  if (rest > 0)
    rows.push_back({"other", count_text(rest), percent_text(share(rest, tables.queries))});
  std::string table = text_table({"type", "queries", "share"}, rows, {0});
  if (rows.empty()) table += "\n(no DNS query with a question from any client in the capture)";
  return table;
}

std::int64_t answers_of(const Rcodes& rcodes) {
  std::int64_t answers = 0;
  for (const std::int64_t n : rcodes)
    answers += n;
  return answers;
}

std::array<double, 5> rcode_shares(const Rcodes& rcodes) {
  // NOERROR 0, NXDOMAIN 3, SERVFAIL 2, REFUSED 5.
  const std::int64_t answers = answers_of(rcodes);
  const std::int64_t other = answers - rcodes[0] - rcodes[3] - rcodes[2] - rcodes[5];
  return {share(rcodes[0], answers), share(rcodes[3], answers), share(rcodes[2], answers),
          share(rcodes[5], answers), share(other, answers)};
}

std::string rcode_key(std::string_view kind) {
  return "quillet.rcode[" + std::string(kind) + "]";
}

std::string client_rcodes_table(const std::vector<SourceRecord>& ranking,
                                const QueryTables& tables) {
  const std::vector<std::string> rank = ranks(ranking);
  std::vector<std::vector<std::string>> rows;
  for (std::size_t i = 0; i < ranking.size(); ++i) {
    std::vector<std::string> row{rank[i], console_safe(ranking[i].source)};
    const ClientTables* c = tables_of(tables, ranking[i].source);
    row.push_back(c ? count_text(answers_of(c->rcodes)) : "-");
    const std::array<double, 5> shares = rcode_shares(c ? c->rcodes : Rcodes{});
    for (const double s : shares)
      row.push_back(c ? percent_text(s) : "-");
    rows.push_back(row);
  }
  std::vector<std::string> header{"#", "client", "answers"};
  header.insert(header.end(), kRcodeKinds.begin(), kRcodeKinds.end());
  std::string table = text_table(header, rows, {1});
  if (rows.empty()) table += "\n(no DNS query from any client in the capture)";
  return table;
}

}  // namespace quillet
