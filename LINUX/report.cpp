#include "report.h"

namespace quillet {

void parse_report(std::string_view, const RecordSink&) {
  throw Failure("não implementado", "análise do relatório", "a análise ainda não foi construída");
}

std::vector<SourceRecord> parse_report(std::string_view bytes) {
  std::vector<SourceRecord> records;
  parse_report(bytes, [&](const RecordView& r) {
    records.push_back({std::string(r.source), r.contagem, r.percentual});
  });
  return records;
}

std::vector<SourceRecord> analisarRelatorio(const std::string&) {
  throw Failure("não implementado", "análise do relatório", "a análise ainda não foi construída");
}

void coletarDns(const std::string&, Context&) {
  throw Failure("não implementado", "modo coletarDns", "a coleta ainda não foi construída");
}

}  // namespace quillet
