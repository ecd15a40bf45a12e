// The dnstop report: its "Sources" table read into source records, the ranking,
// the discovery document and the collection run.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "quillet.h"

namespace quillet {

inline constexpr std::string_view KEY_SOURCE = "{#SOURCE}";
inline constexpr std::string_view KEY_CONTAGEM = "{#CONTAGEM}";
inline constexpr std::string_view KEY_PERCENTUAL = "{#PERCENTUAL}";

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
std::vector<SourceRecord> parse_report(std::string_view bytes);

// Reads the report file and returns its records. A file that cannot be opened
// or read raises Failure.
std::vector<SourceRecord> analisarRelatorio(const std::string& caminho_arquivo);

// The collection run: capture, parse, rank, then the debug listing or the
// deliveries. Ends the run itself with its exit status (RunEnd).
void coletarDns(const std::string& caminho_arquivo, Context& ctx);

}  // namespace quillet
