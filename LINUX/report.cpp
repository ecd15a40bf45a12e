#include "report.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <locale.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <optional>

#include "failure.h"
#include "format.h"
#include "os.h"
#include "utf8.h"

namespace quillet {
namespace {

// The report is read as UTF-8 with invalid sequences dropped. Everything below
// works on the bytes: a well-formed sequence decodes the same whatever invalid
// bytes stand around it, and an ASCII byte is never part of a dropped sequence,
// so lines can be cut on the raw bytes and only lines with bytes >= 0x80 need
// decoding.

// What a byte is before any decoding.
enum ByteClass : std::uint8_t { kPlain = 0, kBoundary = 1, kSpace = 2, kHigh = 4 };

constexpr std::array<std::uint8_t, 256> make_byte_classes() {
  std::array<std::uint8_t, 256> classes{};
  // LF, VT, FF, CR and 0x1C-0x1E end a line (and are white space). CR counts on
  // its own: CR LF then gives an extra empty line, and empty lines are skipped
  // anyway, so CR LF, a lone CR and CR + dropped bytes + LF all read as one LF.
  for (int b : {'\n', '\v', '\f', '\r', '\x1c', '\x1d', '\x1e'})
    classes[b] = kBoundary | kSpace;
  for (int b : {' ', '\t', '\x1f'})
    classes[b] = kSpace;
  for (int b = 0x80; b < 0x100; ++b)
    classes[b] = kHigh;
  return classes;
}
constexpr std::array<std::uint8_t, 256> kByteClasses = make_byte_classes();

std::uint8_t class_of(char c) {
  return kByteClasses[static_cast<unsigned char>(c)];
}

// The boundaries and white space beyond ASCII, UTF-8 encoded.
constexpr std::array<std::string_view, 3> kWideBoundaries = {"\u0085", "\u2028", "\u2029"};
constexpr std::array<std::string_view, 19> kWideSpaces = {
    "\u0085", "\u00a0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003",
    "\u2004", "\u2005", "\u2006", "\u2007", "\u2008", "\u2009", "\u200a",
    "\u2028", "\u2029", "\u202f", "\u205f", "\u3000"};

// Byte length of the character from `list` that `s` starts with, or 0.
template <std::size_t N>
std::size_t starts_with_any(std::string_view s, const std::array<std::string_view, N>& list) {
  for (std::string_view candidate : list) {
    if (s.starts_with(candidate)) return candidate.size();
  }
  return 0;
}

// Byte length of the white space beyond ASCII that `s` starts with, or 0.
// Kept out of line: the loops that call it are hot, this rarely runs.
[[gnu::noinline]] std::size_t wide_space(std::string_view s) {
  return starts_with_any(s, kWideSpaces);
}

// Writes `raw` into `scratch` without its invalid sequences and returns it.
std::string_view decode(std::string_view raw, std::string& scratch) {
  scratch.clear();
  std::size_t run = 0;  // start of the current run of well-formed bytes
  for (std::size_t i = 0; i < raw.size();) {
    const Utf8Sequence sequence = utf8_sequence(raw.substr(i));
    if (!sequence.valid) {
      scratch.append(raw, run, i - run);
      run = i + sequence.length;
    }
    i += sequence.length;
  }
  scratch.append(raw, run);
  return scratch;
}

// One line of the raw report, without its boundary.
struct RawLine {
  std::string_view bytes;
  std::size_t next;  // where the following line starts
  bool ascii;        // no byte >= 0x80: the bytes are already the decoded line
  bool ended;        // a boundary ends it; otherwise the text ended first
};

// True when one of the eight bytes of `word` is below 0x20 or at least 0x80:
// only such bytes can end a line or need decoding. A byte below 0x20 borrows
// from the byte above it and may flag that one as well, which is harmless.
bool needs_look(std::uint64_t word) {
  constexpr std::uint64_t kOnes = 0x0101010101010101, kHighBits = 0x8080808080808080;
  return (((word - 0x20 * kOnes) | word) & kHighBits) != 0;
}

RawLine next_line(std::string_view report, std::size_t start) {
  bool ascii = true;
  std::size_t i = start;
  while (i < report.size()) {
    std::uint64_t word = 0;
    if (i + sizeof word <= report.size()) {
      std::memcpy(&word, report.data() + i, sizeof word);
      if (!needs_look(word)) {
        i += sizeof word;
        continue;
      }
    }
    const std::uint8_t cls = class_of(report[i]);
    if (cls & kBoundary) return {report.substr(start, i - start), i + 1, ascii, true};
    if (cls & kHigh) {
      ascii = false;
      if (const std::size_t n = starts_with_any(report.substr(i), kWideBoundaries); n != 0) {
        return {report.substr(start, i - start), i + n, ascii, true};
      }
    }
    ++i;
  }
  return {report.substr(start), report.size(), ascii, false};
}

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Four dot-separated decimal parts of 1-3 digits, each 0-255. A part with a
// leading zero ("01") is refused, as inet_pton does: dnstop never writes one,
// and other readers take it for octal.
bool is_ipv4(std::string_view text) {
  int parts = 0;
  std::size_t i = 0;
  while (true) {
    const std::size_t start = i;
    int value = 0;
    for (; i < text.size() && is_digit(text[i]) && i - start < 3; ++i) {
      value = value * 10 + (text[i] - '0');
    }
    const std::size_t digits = i - start;
    if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) return false;
    if (++parts == 4) return i == text.size();
    if (i >= text.size() || text[i] != '.') return false;
    ++i;
  }
}

// The text forms of RFC 4291, zone index excluded, as glibc's inet_pton reads
// them: 1-4 hex digits per group, one "::" at most, an optional IPv4 tail.
bool is_ipv6(std::string_view text) {
  constexpr std::size_t kLongestForm = 45;  // six full groups and a dotted-quad tail
  if (text.size() > kLongestForm) return false;
  if (text.find('\0') != std::string_view::npos) return false;  // would end the copy early
  std::array<char, kLongestForm + 1> copy{};
  text.copy(copy.data(), text.size());
  in6_addr ignored{};
  return ::inet_pton(AF_INET6, copy.data(), &ignored) == 1;
}

// Neither form can be taken for the other: IPv4 has no colon, IPv6 always one.
// The cheap IPv4 test goes first; it stops at the first byte that is neither a
// digit nor a dot.
bool is_address(std::string_view text) {
  return is_ipv4(text) || is_ipv6(text);
}

// Optional sign, then decimal digits; the value must fit 64 bits.
std::optional<std::int64_t> read_count(std::string_view text) {
  std::string_view digits = text;
  if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) digits.remove_prefix(1);
  if (digits.empty() || !is_digit(digits[0])) return std::nullopt;
  // from_chars takes a minus sign but no plus sign; the minus goes along so
  // that the most negative value still fits.
  const std::string_view number = text[0] == '-' ? text : digits;
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (error != std::errc{} || end != number.data() + number.size()) return std::nullopt;
  return value;
}

bool equals_ignoring_case(std::string_view text, std::string_view lower_word) {
  if (text.size() != lower_word.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != lower_word[i])
      return false;
  }
  return true;
}

std::size_t skip_digits(std::string_view text, std::size_t i) {
  while (i < text.size() && is_digit(text[i]))
    ++i;
  return i;
}

// Digits with an optional point (a digit on at least one side of it), then an
// optional exponent.
bool is_decimal(std::string_view text) {
  std::size_t i = skip_digits(text, 0);
  std::size_t digits = i;
  if (i < text.size() && text[i] == '.') {
    const std::size_t fraction = i + 1;
    i = skip_digits(text, fraction);
    digits += i - fraction;
  }
  if (digits == 0) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    const std::size_t exponent = i;
    i = skip_digits(text, exponent);
    if (i == exponent) return false;
  }
  return i == text.size();
}

// A value beyond the range of double, which from_chars leaves unset, read as
// strtod reads it: +-infinity, or zero with its sign. The text is a plain
// decimal, so the C locale's point is the one to use.
double read_out_of_range(std::string_view number) {
  static const locale_t c_locale = ::newlocale(LC_ALL_MASK, "C", locale_t{});
  const std::string copy(number);
  return c_locale ? ::strtod_l(copy.c_str(), nullptr, c_locale)
                  : std::strtod(copy.c_str(), nullptr);
}

// An optional sign, then a decimal number or one of the words inf, infinity
// and nan in any case. from_chars alone would also take "nan(...)" and no "+".
std::optional<double> read_percent(std::string_view text) {
  std::string_view body = text;
  const bool negative = !body.empty() && body[0] == '-';
  if (!body.empty() && (body[0] == '+' || body[0] == '-')) body.remove_prefix(1);
  if (equals_ignoring_case(body, "inf") || equals_ignoring_case(body, "infinity")) {
    return negative ? -std::numeric_limits<double>::infinity()
                    : std::numeric_limits<double>::infinity();
  }
  if (equals_ignoring_case(body, "nan")) {
    return negative ? -std::numeric_limits<double>::quiet_NaN()
                    : std::numeric_limits<double>::quiet_NaN();
  }
  if (!is_decimal(body)) return std::nullopt;
  const std::string_view number = negative ? text : body;
  double value = 0;
  const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (error == std::errc::result_out_of_range) return read_out_of_range(number);
  if (error != std::errc{} || end != number.data() + number.size()) return std::nullopt;
  return value;
}

constexpr std::size_t kFields = 4;
using Partes = std::array<std::string_view, kFields + 1>;

// Index of the first byte from `i` on that does not start white space.
std::size_t skip_space(std::string_view text, std::size_t i) {
  while (i < text.size()) {
    const std::uint8_t cls = class_of(text[i]);
    std::size_t length = 0;
    if (cls & kSpace) {
      length = 1;
    } else if (cls & kHigh) {
      length = wide_space(text.substr(i));
    }
    if (length == 0) break;
    i += length;
  }
  return i;
}

// Index of the first byte from `i` on that starts white space. Continuation
// bytes never do, so stepping bytewise through decoded text is safe.
std::size_t skip_field(std::string_view text, std::size_t i) {
  for (; i < text.size(); ++i) {
    const std::uint8_t cls = class_of(text[i]);
    if (cls & kSpace) break;
    if ((cls & kHigh) && wide_space(text.substr(i)) != 0) break;
  }
  return i;
}

// Splits `linha` at runs of white space into `partes`; returns how many fields
// there are, counting no further than one past what `partes` holds.
std::size_t split_fields(std::string_view linha, Partes& partes) {
  std::size_t count = 0;
  for (std::size_t i = skip_space(linha, 0); i < linha.size() && count < partes.size();) {
    const std::size_t end = skip_field(linha, i);
    partes[count++] = linha.substr(i, end - i);
    i = skip_space(linha, end);
  }
  return count;
}

// split_fields for a line of plain ASCII, the common case, where white space
// is one byte. Kept apart because it is most of the parser's time: without the
// checks for wider characters its loops are much tighter.
std::size_t split_ascii_fields(std::string_view linha, Partes& partes) {
  const auto space_at = [&](std::size_t i) { return (class_of(linha[i]) & kSpace) != 0; };
  std::size_t count = 0;
  for (std::size_t i = 0;;) {
    while (i < linha.size() && space_at(i))
      ++i;
    if (i == linha.size() || count == partes.size()) return count;
    const std::size_t start = i;
    while (i < linha.size() && !space_at(i))
      ++i;
    partes[count++] = linha.substr(start, i - start);
  }
}

// A line inside the table: a record, or nothing for a blank, separator or
// malformed line. `ascii`: the line has no byte >= 0x80.
std::optional<RecordView> read_record(std::string_view linha, bool ascii) {
  Partes partes{};
  const std::size_t count = ascii ? split_ascii_fields(linha, partes) : split_fields(linha, partes);
  if (count == 0) return std::nullopt;            // blank
  if (linha.front() == '-') return std::nullopt;  // separator
  if (count != kFields) return std::nullopt;
  const std::string_view filtro = partes[0];
  if (!is_address(filtro)) return std::nullopt;
  const auto contagem = read_count(partes[1]);
  const auto percentual = read_percent(partes[2]);
  if (!contagem || !percentual) return std::nullopt;
  return RecordView{filtro, *contagem, *percentual};
}

bool is_header(std::string_view linha) {
  return contains(linha, "%") && contains(linha, "Count") && contains(linha, "Sources");
}

// Takes the report one line at a time and hands the table's records to the
// sink. The state lives here, so the text may come whole or in pieces.
class TableReader {
 public:
  explicit TableReader(const RecordSink& sink) : sink_(sink) {}

  // False once the table has ended: no later line matters.
  bool read(const RawLine& raw) {
    const std::string_view linha = raw.ascii ? raw.bytes : decode(raw.bytes, scratch_);
    if (is_header(linha)) {
      capturando_ = true;
      return true;
    }
    if (!capturando_) return true;
    if (contains(linha, "Destinations")) return false;
    if (const auto record = read_record(linha, raw.ascii)) sink_(*record);
    return true;
  }

 private:
  const RecordSink& sink_;
  bool capturando_ = false;
  std::string scratch_;  // the current line, decoded, when it is not plain ASCII
};

Failure report_failure(const std::string& caminho_arquivo, int err) {
  return Failure("erro de leitura", "análise do relatório",
                 "não foi possível ler o relatório " + caminho_arquivo + ": " + std::strerror(err));
}

Fd open_report(const std::string& caminho_arquivo) {
  Fd fd(::open(caminho_arquivo.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) throw report_failure(caminho_arquivo, errno);
  return fd;
}

// Reads what is there into `into`, at most `room` bytes; 0 at the end of the file.
std::size_t read_some(const Fd& fd, const std::string& caminho_arquivo, char* into,
                      std::size_t room) {
  const ssize_t n = read_resuming(fd.get(), into, room);
  if (n < 0) throw report_failure(caminho_arquivo, errno);
  return static_cast<std::size_t>(n);
}

}  // namespace

void parse_report(std::string_view bytes, const RecordSink& sink) {
  TableReader reader(sink);
  for (std::size_t pos = 0; pos < bytes.size();) {
    const RawLine raw = next_line(bytes, pos);
    if (!reader.read(raw)) return;
    pos = raw.next;
  }
}

void analisarRelatorio(const std::string& caminho_arquivo, const RecordSink& sink,
                       std::size_t chunk_size) {
  const Fd fd = open_report(caminho_arquivo);
  TableReader reader(sink);
  // The buffer holds the unfinished last line of what was read so far, then
  // the next piece of the file. Lines are cut only at a complete boundary, so
  // a boundary or a UTF-8 sequence split between two reads is seen whole.
  std::string buffer(std::max<std::size_t>(chunk_size, 1), '\0');
  std::size_t used = 0;
  for (bool at_end = false; !at_end;) {
    const std::size_t n =
        read_some(fd, caminho_arquivo, buffer.data() + used, buffer.size() - used);
    at_end = n == 0;
    used += n;
    const std::string_view text(buffer.data(), used);
    std::size_t pos = 0;
    while (pos < used) {
      const RawLine raw = next_line(text, pos);
      if (!raw.ended && !at_end) break;  // the rest of this line is still in the file
      if (!reader.read(raw)) return;     // the table has ended: the rest is not read
      pos = raw.next;
    }
    used -= pos;
    std::memmove(buffer.data(), buffer.data() + pos, used);
    if (used == buffer.size()) buffer.resize(buffer.size() * 2);  // a line longer than the buffer
  }
}

void TopSelection::add(const RecordView& record) {
  // When full, a record must beat the last one kept: on equal counts the one
  // listed earlier stays.
  if (kept_.size() == limit_ && (limit_ == 0 || record.contagem <= kept_.back().contagem)) return;
  // Behind every kept record of greater or equal count.
  const auto at = std::upper_bound(
      kept_.begin(), kept_.end(), record.contagem,
      [](std::int64_t contagem, const SourceRecord& kept) { return contagem > kept.contagem; });
  const auto index = at - kept_.begin();
  if (kept_.size() == limit_) kept_.pop_back();
  kept_.insert(kept_.begin() + index,
               SourceRecord{std::string(record.source), record.contagem, record.percentual});
}

std::string discovery_document(const std::vector<SourceRecord>& records) {
  std::string doc = "{\"data\": [";
  for (std::size_t i = 0; i < records.size(); ++i) {
    const SourceRecord& r = records[i];
    if (i > 0) doc += ", ";
    doc += '{';
    append_json_string(doc, kKeySource);
    doc += ": ";
    append_json_string(doc, r.source);
    doc += ", ";
    append_json_string(doc, kKeyContagem);
    doc += ": ";
    doc += std::to_string(r.contagem);
    doc += ", ";
    append_json_string(doc, kKeyPercentual);
    doc += ": ";
    append_double(doc, r.percentual, NonFinite::json);
    doc += '}';
  }
  doc += "]}";
  return doc;
}

std::string debug_line(const SourceRecord& record) {
  // Addresses are validated IPv4 or IPv6 text: nothing in them needs quoting.
  std::string line = "{'";
  line += kKeySource;
  line += "': '";
  line += record.source;
  line += "', '";
  line += kKeyContagem;
  line += "': ";
  line += std::to_string(record.contagem);
  line += ", '";
  line += kKeyPercentual;
  line += "': ";
  append_double(line, record.percentual, NonFinite::listing);
  line += '}';
  return line;
}

namespace {

// The characters of UTF-8 text, for padding.
std::size_t width_of(std::string_view text) {
  return static_cast<std::size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

}  // namespace

std::string text_table(const std::vector<std::string>& header,
                       const std::vector<std::vector<std::string>>& rows,
                       const std::vector<std::size_t>& left) {
  std::vector<std::size_t> widths(header.size());
  for (std::size_t c = 0; c < widths.size(); ++c) {
    widths[c] = width_of(header[c]);
    for (const auto& row : rows)
      widths[c] = std::max(widths[c], width_of(row[c]));
  }
  std::string table;
  const auto line = [&](const std::vector<std::string>& cells) {
    if (!table.empty()) table += '\n';
    for (std::size_t c = 0; c < cells.size(); ++c) {
      if (c > 0) table += "  ";
      const std::string pad(widths[c] - std::min(widths[c], width_of(cells[c])), ' ');
      const bool on_left = std::find(left.begin(), left.end(), c) != left.end();
      if (!on_left) table += pad;
      table += cells[c];
      // No line ends in blanks.
      if (on_left && c + 1 < cells.size()) table += pad;
    }
  };
  line(header);
  for (const auto& row : rows)
    line(row);
  return table;
}

std::vector<std::string> ranks(const std::vector<SourceRecord>& ranking) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < ranking.size(); ++i) {
    const bool tied = i > 0 && ranking[i].contagem == ranking[i - 1].contagem;
    out.push_back(tied ? out.back() : std::to_string(i + 1));
  }
  return out;
}

std::string percent_text(double share) {
  std::array<char, 32> text{};
  const auto end =
      std::to_chars(text.data(), text.data() + text.size(), share, std::chars_format::fixed, 1).ptr;
  return std::string(text.data(), end) + " %";
}

std::string ranking_table(const std::vector<SourceRecord>& ranking) {
  const std::vector<std::string> rank = ranks(ranking);
  std::vector<std::vector<std::string>> rows;
  for (std::size_t i = 0; i < ranking.size(); ++i) {
    const SourceRecord& r = ranking[i];
    rows.push_back(
        {rank[i], console_safe(r.source), std::to_string(r.contagem), percent_text(r.percentual)});
  }
  std::string table = text_table({"#", "client", "queries", "share"}, rows, {1});
  if (rows.empty()) table += "\n(no DNS query from any client in the capture)";
  return table;
}

}  // namespace quillet
