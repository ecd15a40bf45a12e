// Text forms of numbers and strings shared by the discovery document, the debug
// listing and the values sent to Zabbix.
#pragma once

#include <cstddef>
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

// The length of the well-formed UTF-8 sequence at text[i]; 0 when none starts
// there (a stray byte, an overlong form, a surrogate, past U+10FFFF).
std::size_t utf8_sequence(std::string_view text, std::size_t i);
bool valid_utf8(std::string_view text);

// Outside text (a server's reply, a certificate's name, a configuration value)
// made safe for the console: control characters, the C1 ones (U+0080-U+009F,
// which some terminals obey as escapes) included, and bytes that are not UTF-8
// become '?', and a text longer
// than `limit` bytes is cut at a character boundary and ends in "...".
inline constexpr std::size_t kMaxOutsideText = 256;
std::string console_safe(std::string_view text, std::size_t limit = kMaxOutsideText);

}  // namespace quillet
