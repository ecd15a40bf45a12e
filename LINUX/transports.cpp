#include "transports.h"

#include <arpa/inet.h>

#include <algorithm>
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

}  // namespace

namespace {

// The line's words, split at spaces.
std::vector<std::string> words_of(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream fields(line);
  for (std::string word; fields >> word;)
    words.push_back(word);
  return words;
}

// A name as the reader writes it: ASCII from '!' to '~', at most four
// characters for each byte of a name of 255.
bool is_name(const std::string& text) {
  return !text.empty() && text.size() <= 4 * 255 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c > ' ' && c < 0x7f; });
}

// The 16 counts of `words` from `at` on, when they are all there is.
bool read_rcodes(const std::vector<std::string>& words, std::size_t at, Rcodes& rcodes) {
  if (words.size() != at + rcodes.size()) return false;
  for (std::size_t i = 0; i < rcodes.size(); ++i) {
    if (!read_number(words[at + i], rcodes[i])) return false;
  }
  return true;
}

// One line of the tables into `t`; `stage` says what may come: 0 types, 1
// names, 2 the server's answers, 3 clients.
bool read_table_line(const std::vector<std::string>& w, QueryTables& t, int& stage) {
  const std::string& kind = w[0];
  std::int64_t value = 0, type = 0;
  if (kind == "T" && stage == 0 && w.size() == 3 && read_number(w[1], type) && type <= 65535 &&
      read_number(w[2], value)) {
    t.types.emplace_back(static_cast<int>(type), value);
    return true;
  }
  if (kind == "N" && stage <= 1 && w.size() == 3 && read_number(w[1], value) && is_name(w[2])) {
    stage = 1;
    t.names.push_back({w[2], value});
    return true;
  }
  if (kind == "R" && stage <= 1) {
    stage = 2;
    return read_rcodes(w, 1, t.rcodes);
  }
  if (kind == "C" && stage >= 2 && w.size() >= 2 && is_address(w[1])) {
    stage = 3;
    t.clients.push_back({w[1], {}, {}});
    return read_rcodes(w, 2, t.clients.back().rcodes);
  }
  if (kind == "D" && stage == 3 && w.size() == 4 && w[1] == t.clients.back().source &&
      read_number(w[2], value) && is_name(w[3])) {
    t.clients.back().names.push_back({w[3], value});
    return true;
  }
  return false;
}

}  // namespace

TcpCounts read_tcp_counts(const std::string& path, bool tables) {
  std::ifstream in(path);
  if (!in) throw tcp_failure(path, "não pôde ser aberta");
  TcpCounts counts;
  std::string line;
  int stage = 0;        // the counts come in this order: S, B, L
  int table_stage = 0;  // then, with the tables, Q and the rest
  for (std::size_t number = 1; std::getline(in, line); ++number) {
    const std::vector<std::string> w = words_of(line);
    std::int64_t value = 0, udp = 0;
    bool good = !w.empty();
    if (good && stage == 3) {
      if (!tables) {
        good = false;
      } else if (!counts.tables) {
        counts.tables.emplace();
        good = w.size() == 3 && w[0] == "Q" && read_number(w[1], counts.tables->queries) &&
               read_number(w[2], counts.tables->left_out);
      } else {
        good = read_table_line(w, *counts.tables, table_stage);
      }
    } else if (good && w[0] == "A" && stage == 0) {
      good = w.size() == 4 && is_address(w[1]) && read_number(w[2], value) && value > 0 &&
             read_number(w[3], udp);
      if (good) counts.sources.push_back({w[1], value, udp});
    } else if (good && w.size() == 2 && w[0] == std::string(1, "SBL"[stage]) &&
               read_number(w[1], value)) {
      (stage == 0 ? counts.without_start : stage == 1 ? counts.broken : counts.left_out) = value;
      ++stage;
    } else {
      good = false;
    }
    if (!good) throw tcp_failure(path, "inválida na linha " + std::to_string(number));
  }
  // The tables end with the server's answers at least.
  if (in.bad() || stage != 3 || (tables && table_stage < 2)) throw tcp_failure(path, "incompleta");
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

double share(std::int64_t part, std::int64_t whole) {
  char text[32];
  const double exact =
      whole > 0 ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0.0;
  const auto written = std::to_chars(text, text + sizeof text, exact, std::chars_format::fixed, 1);
  double rounded = 0.0;
  std::from_chars(text, written.ptr, rounded);
  return rounded;
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
