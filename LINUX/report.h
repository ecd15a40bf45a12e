// The dnstop report: its "Sources" table read into source records, the
// ranking, and the forms the ranking is shown in (the discovery document, the
// debug listing and the ranked table).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace quillet {

inline constexpr std::string_view kKeySource = "{#SOURCE}";
inline constexpr std::string_view kKeyContagem = "{#CONTAGEM}";
inline constexpr std::string_view kKeyPercentual = "{#PERCENTUAL}";

// One row of the "Sources" table: the address as written, the query count and
// the share of all queries in percent.
struct SourceRecord {
  std::string source;
  std::int64_t contagem = 0;
  double percentual = 0.0;

  bool operator==(const SourceRecord&) const = default;
};

// A record as the parser sees it; `source` points into the parser's buffers and
// is valid only during the call of the sink.
struct RecordView {
  std::string_view source;
  std::int64_t contagem = 0;
  double percentual = 0.0;
};

using RecordSink = std::function<void(const RecordView&)>;

// Hands every record of the report text `bytes` to `sink`, in report order.
void parse_report(std::string_view bytes, const RecordSink& sink);

// Reads the report file a piece at a time and hands its records to `sink`, in
// report order, as parse_report would; reading stops where the table ends.
// Memory stays at `chunk_size` bytes plus the longest line, whatever the size
// of the file. A file that cannot be opened or read raises Failure.
inline constexpr std::size_t kReportChunkSize = std::size_t{256} * 1024;
void analisarRelatorio(const std::string& caminho_arquivo, const RecordSink& sink,
                       std::size_t chunk_size = kReportChunkSize);

// The `limit` records of greatest count, greatest first, fed one record at a
// time; equal counts keep report order. Only `limit` records are kept, so a
// report of any length needs no more memory than its ranking.
class TopSelection {
 public:
  explicit TopSelection(std::size_t limit) : limit_(limit) {}
  void add(const RecordView& record);
  const std::vector<SourceRecord>& ranked() const { return kept_; }
  std::vector<SourceRecord> take() { return std::move(kept_); }

 private:
  std::size_t limit_;
  std::vector<SourceRecord> kept_;
};

inline constexpr std::size_t kTopLimit = 20;

// {"data": [{"{#SOURCE}": "192.0.2.10", "{#CONTAGEM}": 152, "{#PERCENTUAL}": 61.3}, ...]}
std::string discovery_document(const std::vector<SourceRecord>& records);

// {'{#SOURCE}': '192.0.2.10', '{#CONTAGEM}': 152, '{#PERCENTUAL}': 61.3}
std::string debug_line(const SourceRecord& record);

// The item that holds the ranked table, and the table itself: a header line,
// then one line per record in ranking order, its columns aligned for a
// monospace font and no line end after the last:
//    #  client        queries  share
//    1  192.0.2.10        152  61.3 %
//    2  2001:db8::1        40  16.1 %
// Equal counts share a rank. Without records, a line says that no client sent
// a query. Addresses are made fit for display (format.h's console_safe), so the
// table is valid UTF-8 without control characters; twenty records stay far
// below Zabbix's 64 KiB for a text value.
inline constexpr std::string_view kRankingKey = "quillet.ranking";
std::string ranking_table(const std::vector<SourceRecord>& ranking);

// A table of `rows` under `header` in that form: columns two blanks apart,
// each as wide as its widest cell, right-aligned but for the `left` ones; no
// line end after the last row and no blank at a line's end.
std::string text_table(const std::vector<std::string>& header,
                       const std::vector<std::vector<std::string>>& rows,
                       const std::vector<std::size_t>& left);
// The rank of each record of `ranking`, as the ranked table writes it.
std::vector<std::string> ranks(const std::vector<SourceRecord>& ranking);
// "61.3 %": a share with one decimal.
std::string percent_text(double share);

}  // namespace quillet
