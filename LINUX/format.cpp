#include "format.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>

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
  static constexpr char hex[] = "0123456789abcdef";
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += hex[(unit >> shift) & 0xF];
}

// Decodes the UTF-8 sequence at `s[i]`. Returns its length and the code point,
// or length 0 when the bytes there do not start a valid sequence.
std::size_t decode_utf8(std::string_view s, std::size_t i, std::uint32_t& cp) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char b0 = byte(i);
  std::size_t len;
  std::uint32_t min;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

}  // namespace

std::size_t utf8_sequence(std::string_view text, std::size_t i) {
  if (static_cast<unsigned char>(text[i]) < 0x80) return 1;
  std::uint32_t cp = 0;
  return decode_utf8(text, i, cp);
}

bool valid_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t len = utf8_sequence(text, i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

void append_json_string(std::string& out, std::string_view utf8) {
  out += '"';
  for (std::size_t i = 0; i < utf8.size();) {
    auto c = static_cast<unsigned char>(utf8[i]);
    if (c >= 0x80) {
      std::uint32_t cp = 0;
      std::size_t len = decode_utf8(utf8, i, cp);
      if (len == 0) {
        ++i;  // not UTF-8: dropped
        continue;
      }
      if (cp >= 0x10000) {
        cp -= 0x10000;
        append_u_escape(out, 0xD800 + (cp >> 10));
        append_u_escape(out, 0xDC00 + (cp & 0x3FF));
      } else {
        append_u_escape(out, cp);
      }
      i += len;
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
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
    const auto u = static_cast<unsigned char>(text[i]);
    const std::size_t len = utf8_sequence(text, i);
    // A C1 control is two bytes in UTF-8; a byte that is not UTF-8 could be
    // one to a terminal that reads single bytes.
    const bool control = len == 0 || u < 0x20 || u == 0x7F ||
                         (len == 2 && u == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0);
    if (control) {
      out += '?';
    } else {
      out.append(text, i, len);
    }
    i += len == 0 ? 1 : len;
  }
  if (cut) out += "...";
  return out;
}

}  // namespace quillet
