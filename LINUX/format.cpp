#include "format.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "utf8.h"

namespace quillet {

void append_double(std::string& out, double value, NonFinite style) {
  if (std::isnan(value)) {
    out += style == NonFinite::json ? "NaN" : "nan";
    return;
  }
  if (std::isinf(value)) {
    if (value < 0) out += '-';
    out += style == NonFinite::json ? "Infinity" : "inf";
    return;
  }

  // The shortest round-trip digits in scientific form, "-d.ddde+XX", laid out
  // again: plain notation for exponents from -5 to 15, exponent form beyond.
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(end - buf));
  bool negative = sci.front() == '-';
  if (negative) sci.remove_prefix(1);
  std::size_t e_pos = sci.find('e');
  std::string digits;
  digits += sci[0];
  if (e_pos > 1) digits.append(sci.substr(2, e_pos - 2));  // skip "d."
  int exponent = std::atoi(std::string(sci.substr(e_pos + 1)).c_str());

  if (negative) out += '-';
  if (exponent < -4 || exponent >= 16) {
    out += digits[0];
    if (digits.size() > 1) {
      out += '.';
      out.append(digits, 1);
    }
    out += 'e';
    out += exponent < 0 ? '-' : '+';
    int magnitude = std::abs(exponent);
    if (magnitude < 10) out += '0';
    out += std::to_string(magnitude);
  } else if (exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += digits;
  } else {
    auto int_len = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= int_len) {
      out += digits;
      out.append(int_len - digits.size(), '0');
      out += ".0";
    } else {
      out.append(digits, 0, int_len);
      out += '.';
      out.append(digits, int_len);
    }
  }
}

std::string format_double(double value, NonFinite style) {
  std::string out;
  append_double(out, value, style);
  return out;
}

namespace {

void append_u_escape(std::string& out, std::uint32_t unit) {
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4)
    out += kHexDigits[(unit >> shift) & 0xF];
}

}  // namespace

void append_json_string(std::string& out, std::string_view utf8) {
  out += '"';
  for (std::size_t i = 0; i < utf8.size();) {
    auto c = static_cast<unsigned char>(utf8[i]);
    if (c >= 0x80) {
      const Utf8Sequence sequence = utf8_sequence(utf8.substr(i));
      i += sequence.length;
      if (!sequence.valid) continue;  // not UTF-8: dropped
      std::uint32_t cp = sequence.code_point;
      if (cp >= 0x10000) {
        cp -= 0x10000;
        append_u_escape(out, 0xD800 + (cp >> 10));
        append_u_escape(out, 0xDC00 + (cp & 0x3FF));
      } else {
        append_u_escape(out, cp);
      }
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          append_u_escape(out, c);
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  out += '"';
}

std::string console_safe(std::string_view text, std::size_t limit) {
  const bool cut = text.size() > limit;
  if (cut) {
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
      --end;
    text = text.substr(0, end);
  }
  std::string out;
  out.reserve(text.size() + 3);
  for (std::size_t i = 0; i < text.size();) {
    const Utf8Sequence sequence = utf8_sequence(text.substr(i));
    // Each byte that is not UTF-8 becomes a '?' of its own. A C1 control is
    // U+0080-U+009F, two bytes in UTF-8; a byte that is not UTF-8 could be one
    // to a terminal that reads single bytes.
    const std::size_t length = sequence.valid ? sequence.length : 1;
    const char32_t c = sequence.code_point;
    const bool control = !sequence.valid || c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0);
    if (control) {
      out += '?';
    } else {
      out.append(text, i, length);
    }
    i += length;
  }
  if (cut) out += "...";
  return out;
}

std::string in_quotes(std::string_view text) {
  // Built by appending, because g++ 12 at -O3 warns of an overlapping copy in
  // "literal" + std::string where there is none (-Wrestrict).
  std::string out = "\"";
  out += console_safe(text);
  out += '"';
  return out;
}

std::optional<int> port_number(std::string_view text) {
  int n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    n = std::min(n * 10 + (c - '0'), 65536);  // saturates above the range
  }
  if (n < 1 || n > 65535) return std::nullopt;
  return n;
}

std::string_view trim(std::string_view text, std::string_view blanks) {
  const std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return trim_end(text.substr(first), blanks);
}

std::string_view trim_end(std::string_view text, std::string_view blanks) {
  const std::size_t last = text.find_last_not_of(blanks);
  return last == std::string_view::npos ? std::string_view() : text.substr(0, last + 1);
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace quillet
