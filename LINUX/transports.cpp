#include "transports.h"

#include <arpa/inet.h>

#include <charconv>
#include <fstream>
#include <sstream>
#include <unordered_map>

#include "failure.h"

namespace quillet {

namespace {

Failure tcp_failure(const std::string& path, const std::string& why) {
  return Failure("erro de leitura", "contagem TCP", "saída do leitor TCP " + path + " " + why);
}

bool read_number(const std::string& text, std::int64_t& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc{} && end == text.data() + text.size() && value >= 0;
}

bool is_address(const std::string& text) {
  unsigned char raw[16];
  return ::inet_pton(AF_INET, text.c_str(), raw) == 1 ||
         ::inet_pton(AF_INET6, text.c_str(), raw) == 1;
}

// 100 * part / whole with one decimal, rounded as printf's "%.1f" rounds.
double share(std::int64_t part, std::int64_t whole) {
  char text[32];
  const double exact =
      whole > 0 ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0.0;
  const auto written = std::to_chars(text, text + sizeof text, exact, std::chars_format::fixed, 1);
  double rounded = 0.0;
  std::from_chars(text, written.ptr, rounded);
  return rounded;
}

}  // namespace

TcpCounts read_tcp_counts(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw tcp_failure(path, "não pôde ser aberta");
  TcpCounts counts;
  std::string line;
  bool ended = false;
  int stage = 0;  // the counts come in this order: S, B, L
  for (std::size_t number = 1; std::getline(in, line); ++number) {
    std::istringstream fields(line);
    std::string kind, first, second, third, extra;
    fields >> kind >> first >> second >> third >> extra;
    std::int64_t value = 0, udp = 0;
    bool good = extra.empty() && !ended;
    if (good && kind == "A" && stage == 0) {
      good =
          is_address(first) && read_number(second, value) && value > 0 && read_number(third, udp);
      if (good) counts.sources.push_back({first, value, udp});
    } else if (good && second.empty() && kind == std::string(1, "SBL"[stage]) &&
               read_number(first, value)) {
      (stage == 0 ? counts.without_start : stage == 1 ? counts.broken : counts.left_out) = value;
      ended = ++stage == 3;
    } else {
      good = false;
    }
    if (!good) throw tcp_failure(path, "inválida na linha " + std::to_string(number));
  }
  if (in.bad() || !ended) throw tcp_failure(path, "incompleta");
  return counts;
}

std::int64_t udp_total(const std::string& path, const std::vector<SourceRecord>& udp) {
  std::ifstream in(path);
  std::string line;
  std::int64_t total = 0;
  bool table = false, found = false;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string name, count;
    fields >> name >> count;
    if (!table) {
      table = name == "Opcode" && count == "Count";
      found = found || table;
      continue;
    }
    if (name.empty()) break;
    std::int64_t value = 0;
    if (name.front() != '-' && read_number(count, value)) total += value;
  }
  if (found) return total;
  for (const SourceRecord& record : udp)
    total += record.contagem;
  return total;
}

std::vector<SourceRecord> with_tcp(const std::vector<SourceRecord>& udp, std::int64_t udp_queries,
                                   const TcpCounts& tcp) {
  std::unordered_map<std::string, std::size_t> at;
  std::vector<SourceRecord> all = udp;
  for (std::size_t i = 0; i < all.size(); ++i)
    at.emplace(all[i].source, i);
  const bool table_full = udp.size() >= kReportRows;
  std::int64_t total = udp_queries;
  for (const TcpClient& client : tcp.sources) {
    total += client.tcp;
    const auto [known, added] = at.emplace(client.source, all.size());
    if (added) all.push_back({client.source, table_full ? client.udp : 0, 0.0});
    all[known->second].contagem += client.tcp;
  }
  for (SourceRecord& record : all)
    record.percentual = share(record.contagem, total);
  return all;
}

}  // namespace quillet
