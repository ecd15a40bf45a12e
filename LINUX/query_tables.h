// The tables of what the clients asked and how the server answered, as a run
// sends them to Zabbix and the debug listing shows them: text tables laid out
// as the ranked table is, and the shares of the answers' response codes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "report.h"
#include "transports.h"

namespace quillet {

inline constexpr std::string_view kNamesKey = "quillet.names";
inline constexpr std::string_view kClientNamesKey = "quillet.client_names";
inline constexpr std::string_view kTypesKey = "quillet.qtypes";
inline constexpr std::string_view kAnswersKey = "quillet.answers";
inline constexpr std::string_view kClientRcodesKey = "quillet.client_rcodes";

// A name cut to this many characters for display, "..." at its end (the
// escaped form of a name of 255 bytes may be four times as long): the tables
// stay far below Zabbix's 64 KiB for a text value.
inline constexpr std::size_t kShownName = 255;

// The mnemonic of a query type ("A", "AAAA", "ANY"), or "TYPE<number>".
std::string type_name(int type);

// The ten names asked most, with their queries and share of every client
// query with a question:
//    #  name            queries   share
//    1  victim.example      998  99.8 %
std::string names_table(const QueryTables& tables);

// Each ranked client's three names asked most, with their queries:
//    #  client       queries  names asked most (queries)
//    1  192.0.2.10       152  victim.example 150, example.com 2
std::string client_names_table(const std::vector<SourceRecord>& ranking, const QueryTables& tables);

// The ten query types asked most (and the rest as "other"), with their
// queries and share.
std::string types_table(const QueryTables& tables);

// The share in percent of each kind of answer, in this order: NOERROR,
// NXDOMAIN, SERVFAIL, REFUSED and every other code; each one's item key is
// "quillet.rcode[<kind>]".
inline constexpr std::array<std::string_view, 5> kRcodeKinds = {"NOERROR", "NXDOMAIN", "SERVFAIL",
                                                                "REFUSED", "other"};
std::int64_t answers_of(const Rcodes& rcodes);
std::array<double, 5> rcode_shares(const Rcodes& rcodes);
std::string rcode_key(std::string_view kind);

// Each ranked client's answers and their shares by kind:
//    #  client       answers  NOERROR  NXDOMAIN  SERVFAIL  REFUSED  other
//    1  192.0.2.10       152   98.7 %     1.3 %     0.0 %    0.0 %  0.0 %
std::string client_rcodes_table(const std::vector<SourceRecord>& ranking,
                                const QueryTables& tables);

}  // namespace quillet
