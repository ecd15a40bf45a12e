#include "reference.h"

#include <arpa/inet.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <variant>

#include "format.h"

namespace quillet::fuzz {
namespace {

// Stops the run with a message; libFuzzer then saves the input that did it.
[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

// The code point of the well-formed UTF-8 sequence at `s[i]` and its length, or
// length 0 when no well-formed sequence starts there.
std::size_t utf8_at(std::string_view s, std::size_t i, char32_t& cp) {
  const auto b = static_cast<unsigned char>(s[i]);
  std::size_t len = 0;
  char32_t min = 0;
  if (b < 0x80) {
    cp = b;
    return 1;
  }
  if ((b & 0xE0) == 0xC0) {
    len = 2, cp = b & 0x1F, min = 0x80;
  } else if ((b & 0xF0) == 0xE0) {
    len = 3, cp = b & 0x0F, min = 0x800;
  } else if ((b & 0xF8) == 0xF0) {
    len = 4, cp = b & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const auto c = static_cast<unsigned char>(s[i + k]);
    if ((c & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (c & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

std::string encode_utf8(std::u32string_view text) {
  std::string out;
  for (char32_t cp : text) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

bool is_space(char32_t c) {
  switch (c) {
    case U' ':
    case U'\t':
    case U'\n':
    case U'\v':
    case U'\f':
    case U'\r':
    case 0x1C:
    case 0x1D:
    case 0x1E:
    case 0x1F:
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

bool is_boundary(char32_t c) {
  switch (c) {
    case U'\n':
    case U'\v':
    case U'\f':
    case 0x1C:
    case 0x1D:
    case 0x1E:
    case 0x85:
    case 0x2028:
    case 0x2029:
      return true;
    default:
      return false;
  }
}

std::vector<std::u32string> lines_of(std::string_view bytes) {
  const std::u32string decoded = decode_ignoring_errors(bytes);
  std::u32string text;  // CR LF and a lone CR read as LF
  for (std::size_t i = 0; i < decoded.size(); ++i) {
    if (decoded[i] == U'\r') {
      text += U'\n';
      if (i + 1 < decoded.size() && decoded[i + 1] == U'\n') ++i;
    } else {
      text += decoded[i];
    }
  }
  std::vector<std::u32string> lines;
  std::u32string line;
  for (char32_t c : text) {
    if (is_boundary(c)) {
      lines.push_back(line);
      line.clear();
    } else {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

bool has(const std::u32string& line, std::u32string_view part) {
  return line.find(part) != std::u32string::npos;
}

std::vector<std::u32string> fields_of(const std::u32string& line) {
  std::vector<std::u32string> fields;
  std::u32string field;
  for (char32_t c : line) {
    if (is_space(c)) {
      if (!field.empty()) fields.push_back(field);
      field.clear();
    } else {
      field += c;
    }
  }
  if (!field.empty()) fields.push_back(field);
  return fields;
}

// The field as ASCII text, or nothing when it holds anything else or a NUL.
std::optional<std::string> ascii(const std::u32string& field) {
  std::string out;
  for (char32_t c : field) {
    if (c == 0 || c >= 0x80) return std::nullopt;
    out += static_cast<char>(c);
  }
  return out;
}

bool digits_only(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::optional<std::int64_t> count_of(const std::string& s) {
  std::string_view body = s;
  if (!body.empty() && (body[0] == '+' || body[0] == '-')) body.remove_prefix(1);
  if (!digits_only(body)) return std::nullopt;
  errno = 0;
  const long long value = std::strtoll(s.c_str(), nullptr, 10);
  if (errno == ERANGE) return std::nullopt;
  return value;
}

std::optional<double> percent_of(const std::string& s) {
  std::string_view body = s;
  const bool negative = !body.empty() && body[0] == '-';
  if (!body.empty() && (body[0] == '+' || body[0] == '-')) body.remove_prefix(1);
  std::string lower;
  for (char c : body)
    lower += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  if (lower == "inf" || lower == "infinity") return negative ? -HUGE_VAL : HUGE_VAL;
  if (lower == "nan") return std::nan("");
  // digits [. digits] with a digit somewhere, then [e|E [sign] digits]
  const std::size_t e = body.find_first_of("eE");
  const std::string_view mantissa = body.substr(0, e);
  const std::size_t point = mantissa.find('.');
  const std::string_view whole = mantissa.substr(0, point);
  const std::string_view fraction =
      point == std::string_view::npos ? std::string_view() : mantissa.substr(point + 1);
  if (!whole.empty() && !digits_only(whole)) return std::nullopt;
  if (!fraction.empty() && !digits_only(fraction)) return std::nullopt;
  if (whole.empty() && fraction.empty()) return std::nullopt;
  if (e != std::string_view::npos) {
    std::string_view exponent = body.substr(e + 1);
    if (!exponent.empty() && (exponent[0] == '+' || exponent[0] == '-')) exponent.remove_prefix(1);
    if (!digits_only(exponent)) return std::nullopt;
  }
  return std::strtod(s.c_str(), nullptr);
}

bool is_address(const std::string& s) {
  unsigned char buf[16];
  return ::inet_pton(AF_INET, s.c_str(), buf) == 1 || ::inet_pton(AF_INET6, s.c_str(), buf) == 1;
}

bool same_double(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);  // 0.0 is not -0.0
}

using nlohmann::ordered_json;

// The non-finite tokens outside strings, quoted. Anything that looks like one
// inside a string stays as it is.
std::string quote_non_finite(const std::string& doc) {
  std::string out;
  out.reserve(doc.size() + 64);
  bool in_string = false;
  for (std::size_t i = 0; i < doc.size(); ++i) {
    const char c = doc[i];
    if (in_string) {
      out += c;
      if (c == '\\') {
        check(i + 1 < doc.size(), "document ends inside an escape");
        out += doc[++i];
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') in_string = true;
    bool replaced = false;
    for (std::string_view token : {"-Infinity", "Infinity", "NaN"}) {
      if (std::string_view(doc).substr(i).starts_with(token)) {
        out += '"';
        out += token;
        out += '"';
        i += token.size() - 1;
        replaced = true;
        break;
      }
    }
    if (!replaced) out += c;
  }
  check(!in_string, "document ends inside a string");
  return out;
}

std::string spelling(double value) {
  if (std::isnan(value)) return "NaN";
  return value < 0 ? "-Infinity" : "Infinity";
}

// The text form's rule: exponent form exactly when the magnitude is below
// 0.0001 or at least 1e16, zero aside.
void check_text_form(double value) {
  const std::string text = format_double(value);
  const bool exponent = text.find('e') != std::string::npos;
  const double magnitude = std::fabs(value);
  check(exponent == (magnitude != 0 && (magnitude < 1e-4 || magnitude >= 1e16)),
        "exponent form used in the wrong range");
  check(exponent || text.find('.') != std::string::npos, "double written without point");
}

void check_record(const ordered_json& item, const SourceRecord& record) {
  check(item.is_object() && item.size() == 3, "record is not an object of three members");
  auto it = item.begin();
  check(it.key() == kKeySource && it->is_string(), "first member is not {#SOURCE}");
  check(it->get<std::string>() == drop_invalid_utf8(record.source), "source reads back different");
  ++it;
  check(it.key() == kKeyContagem && it->is_number_integer(), "second member is not {#CONTAGEM}");
  check(it->get<std::int64_t>() == record.contagem, "count reads back different");
  ++it;
  check(it.key() == kKeyPercentual, "third member is not {#PERCENTUAL}");
  if (std::isfinite(record.percentual)) {
    check(it->is_number_float(), "finite percentage is not a JSON float");
    const double back = it->get<double>();
    check(std::bit_cast<std::uint64_t>(back) == std::bit_cast<std::uint64_t>(record.percentual),
          "percentage reads back different");
    check_text_form(record.percentual);
  } else {
    check(it->is_string() && it->get<std::string>() == spelling(record.percentual),
          "non-finite percentage spelled wrong");
  }
}

std::string_view strip(std::string_view s) {
  const std::size_t begin = s.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return {};
  return s.substr(begin, s.find_last_not_of(" \t") - begin + 1);
}

struct ConfigKey {
  const char* name;
  const ConfiguredValue* value;  // null: ServerPort and TLSConnect
  const char* mode;              // the TLSConnect that uses it; null: any
  bool required;
};

// A network interface's name as the kernel and the shell take it.
bool plain_interface(const std::string& name) {
  if (name.empty() || name.size() > 15) return false;
  for (char c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-')
      return false;
  }
  return true;
}

bool numeric_host(const std::string& text) {
  unsigned char buffer[16];
  return ::inet_pton(AF_INET, text.c_str(), buffer) == 1 ||
         ::inet_pton(AF_INET6, text.c_str(), buffer) == 1;
}

}  // namespace

void check(bool ok, const char* what) {
  if (!ok) fail(what);
}

// `bytes` decoded as UTF-8 with decoding errors ignored: every byte that does
// not belong to a well-formed sequence is dropped, one at a time.
std::u32string decode_ignoring_errors(std::string_view bytes) {
  std::u32string out;
  for (std::size_t i = 0; i < bytes.size();) {
    char32_t cp = 0;
    const std::size_t len = utf8_at(bytes, i, cp);
    if (len == 0) {
      ++i;
      continue;
    }
    out += cp;
    i += len;
  }
  return out;
}

// `bytes` with every byte that is not part of well-formed UTF-8 dropped.
std::string drop_invalid_utf8(std::string_view bytes) {
  return encode_utf8(decode_ignoring_errors(bytes));
}

bool same_records(const std::vector<SourceRecord>& a, const std::vector<SourceRecord>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].source != b[i].source || a[i].contagem != b[i].contagem ||
        !same_double(a[i].percentual, b[i].percentual)) {
      return false;
    }
  }
  return true;
}

std::vector<SourceRecord> reference_parse(std::string_view bytes) {
  std::vector<SourceRecord> records;
  bool capturando = false;
  for (const std::u32string& line : lines_of(bytes)) {
    if (has(line, U"Sources") && has(line, U"Count") && has(line, U"%")) {
      capturando = true;
      continue;
    }
    if (!capturando) continue;
    if (has(line, U"Destinations")) break;
    const std::vector<std::u32string> fields = fields_of(line);
    if (fields.empty()) continue;
    if (line[0] == U'-') continue;
    if (fields.size() != 4) continue;
    const auto address = ascii(fields[0]);
    if (!address || !is_address(*address)) continue;
    const auto count_text = ascii(fields[1]);
    const auto percent_text = ascii(fields[2]);
    if (!count_text || !percent_text) continue;
    const auto contagem = count_of(*count_text);
    const auto percentual = percent_of(*percent_text);
    if (!contagem || !percentual) continue;
    records.push_back({*address, *contagem, *percentual});
  }
  return records;
}

std::vector<SourceRecord> reference_ranking(std::vector<SourceRecord> records, std::size_t limit) {
  std::stable_sort(
      records.begin(), records.end(),
      [](const SourceRecord& a, const SourceRecord& b) { return a.contagem > b.contagem; });
  if (records.size() > limit) records.resize(limit);
  return records;
}

void check_console_safe(std::string_view text) {
  check(drop_invalid_utf8(text) == text, "description is not valid UTF-8");
  for (char32_t c : decode_ignoring_errors(text)) {
    check(c >= 0x20 && c != 0x7F && !(c >= 0x80 && c < 0xA0), "control character in a description");
  }
}

void check_document(const std::string& doc, const std::vector<SourceRecord>& records) {
  for (char c : doc) {
    const auto u = static_cast<unsigned char>(c);
    check(u >= 0x20 && u < 0x7F, "document holds a byte outside printable ASCII");
  }
  const ordered_json parsed = ordered_json::parse(quote_non_finite(doc));
  check(parsed.is_object() && parsed.size() == 1 && parsed.contains("data"),
        "document is not {\"data\": ...}");
  const ordered_json& list = parsed["data"];
  check(list.is_array() && list.size() == records.size(), "wrong number of records");
  for (std::size_t i = 0; i < records.size(); ++i) {
    check_record(list[i], records[i]);
  }
}

void check_request(const std::vector<ZabbixMetric>& metrics) {
  bool valid = true;
  for (const ZabbixMetric& m : metrics) {
    valid = valid && drop_invalid_utf8(m.host) == m.host && drop_invalid_utf8(m.key) == m.key;
    if (const auto* text = std::get_if<std::string>(&m.value))
      valid = valid && drop_invalid_utf8(*text) == *text;
  }
  std::string request;
  try {
    request = encode_request(metrics);
  } catch (const Failure&) {
    check(!valid, "a request of valid UTF-8 was refused");
    return;
  }
  check(valid, "a request with invalid UTF-8 was built");
  std::uint64_t announced = 0;
  for (int i = 0; i < 4; ++i)
    announced |= std::uint64_t{static_cast<unsigned char>(request[5 + i])} << (8 * i);
  check(announced == request.size() - kFrameHeaderSize, "announced length differs from the body");
  const auto body = nlohmann::json::parse(request.substr(kFrameHeaderSize));
  check(body["request"] == "sender data", "request is not \"sender data\"");
  const auto& data = body["data"];
  check(data.is_array() && data.size() == metrics.size(),
        "request holds the wrong number of values");
  for (std::size_t i = 0; i < metrics.size(); ++i) {
    const auto& item = data[i];
    check(item["host"].get<std::string>() == metrics[i].host, "host changed in the request");
    check(item["key"].get<std::string>() == metrics[i].key, "key changed in the request");
    check(item["value"].get<std::string>() == value_text(metrics[i].value),
          "value changed in the request");
  }
}

void check_configuration(std::string_view text, const std::string& file,
                         const Configuration& config) {
  const char* const modes[] = {"unencrypted", "psk", "cert"};
  const std::string mode = modes[static_cast<int>(config.tls_connect)];
  const ConfigKey keys[] = {
      {"ServerPort", nullptr, nullptr, false},
      {"TLSConnect", nullptr, nullptr, false},
      {"TLSPSKIdentity", &config.psk_identity, "psk", true},
      {"TLSPSKFile", &config.psk_file, "psk", true},
      {"TLSCAFile", &config.ca_file, "cert", true},
      {"TLSCertFile", &config.cert_file, "cert", true},
      {"TLSKeyFile", &config.key_file, "cert", true},
      {"TLSCRLFile", &config.crl_file, "cert", false},
      {"TLSServerCertIssuer", &config.server_cert_issuer, "cert", false},
      {"TLSServerCertSubject", &config.server_cert_subject, "cert", false},
      {"Interface", &config.interface, nullptr, false},
      {"SourceIP", &config.source_ip, nullptr, false},
  };
  check(config.file == file, "configuration names another file");
  check(config.psk.empty(), "the parser read a key");

  // The lines: LF ends one, a CR before it goes, the first '=' splits it.
  std::vector<ConfiguredValue> found(std::size(keys));
  int number = 0;
  for (std::size_t start = 0; start < text.size(); ++number) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    check(line.find('\0') == std::string_view::npos, "a line with NUL was accepted");
    check(drop_invalid_utf8(line) == line, "a line of invalid UTF-8 was accepted");
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    line = strip(line);
    if (line.empty() || line[0] == '#') continue;
    const std::size_t eq = line.find('=');
    check(eq != std::string_view::npos, "a line without '=' was accepted");
    const std::string_view name = strip(line.substr(0, eq));
    const std::string_view value = strip(line.substr(eq + 1));
    std::size_t k = 0;
    while (k < std::size(keys) && name != keys[k].name)
      ++k;
    check(k < std::size(keys), "an unknown key was accepted");
    check(!found[k].given(), "a repeated key was accepted");
    check(!value.empty(), "an empty value was accepted");
    found[k] = {std::string(value), number + 1};
  }

  if (found[0].given()) {
    const std::string& port = found[0].value;
    check(port.find_first_not_of("0123456789") == std::string::npos, "a port of other characters");
    const std::size_t first = port.find_first_not_of('0');
    check(first != std::string::npos && port.size() - first <= 5 &&
              std::stoi(port.substr(first)) == config.server_port,
          "the port is not the ServerPort line's number");
  } else {
    check(config.server_port == 10052, "the port is not the default");
  }
  check(config.server_port >= 1 && config.server_port <= 65535, "port out of range");
  check(found[1].line == config.tls_connect_line, "TLSConnect at another line");
  check(found[1].given() ? found[1].value == mode : mode == "unencrypted",
        "TLSConnect is not the line's value");

  for (std::size_t k = 2; k < std::size(keys); ++k) {
    const ConfiguredValue& value = *keys[k].value;
    check(value.line == found[k].line && value.value == found[k].value,
          "a value differs from its line");
    if (!value.given()) {
      check(!keys[k].required || mode != keys[k].mode, "a required key is missing");
      continue;
    }
    check(!keys[k].mode || mode == keys[k].mode, "a key of another TLSConnect was accepted");
    const bool path = std::string_view(keys[k].name).ends_with("File");
    check(!path || value.value[0] == '/', "a relative path was accepted");
  }
  check(config.psk_identity.value.size() <= 128, "a PSK identity above 128 bytes");
  check(!config.interface.given() || plain_interface(config.interface.value),
        "an interface name the kernel or the shell would not take was accepted");
  check(!config.source_ip.given() || numeric_host(config.source_ip.value),
        "a SourceIP that is not a numeric address was accepted");
}

}  // namespace quillet::fuzz
