// Text forms of numbers and strings shared by the discovery document, the debug
// listing, the values sent to Zabbix and the console; small text helpers.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quillet {

// How non-finite doubles are spelled: NaN, Infinity, -Infinity in JSON text;
// nan, inf, -inf in the debug listing.
enum class NonFinite { json, listing };

// Shortest text that reads back as the same double, always with a decimal point
// or an exponent: 61.3, 100.0, 0.0001, 1e-05, 1.5e+16.
void append_double(std::string& out, double value, NonFinite style = NonFinite::json);
std::string format_double(double value, NonFinite style = NonFinite::json);

// A JSON string literal in double quotes, ASCII only: the usual escapes, other
// control characters and every non-ASCII character as \uXXXX (surrogate pairs
// above U+FFFF). Invalid UTF-8 bytes are dropped.
void append_json_string(std::string& out, std::string_view utf8);

// Outside text (a server's reply, a certificate's name, a configuration value)
// made safe for the console: control characters, the C1 ones (U+0080-U+009F,
// which some terminals obey as escapes) included, and bytes that are not UTF-8
// become '?', and a text longer
// than `limit` bytes is cut at a character boundary and ends in "...".
inline constexpr std::size_t kMaxOutsideText = 256;
std::string console_safe(std::string_view text, std::size_t limit = kMaxOutsideText);
// console_safe(`text`) between double quotes: "psk".
std::string in_quotes(std::string_view text);

// A TCP port written in decimal digits only (no sign, blanks or base prefix),
// 1 to 65535; nothing otherwise.
std::optional<int> port_number(std::string_view text);

// `text` without the characters of `blanks` at its start and end, or at its end.
std::string_view trim(std::string_view text, std::string_view blanks);
std::string_view trim_end(std::string_view text, std::string_view blanks);

// Hexadecimal digits by value, lower case.
inline constexpr std::string_view kHexDigits = "0123456789abcdef";
// The value of the hexadecimal digit `c` in either case, or -1.
int hex_value(char c);

}  // namespace quillet
