// The parts of a DNS message that the TCP reader tallies: the header's flags
// and response code, and the first question's name and type. Only bytes are
// handled here, and no length in them is trusted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillet {

inline constexpr std::size_t kDnsHeaderSize = 12;
// The bytes from a message's start that hold any first question: the header,
// a name of at most 255 bytes, its type and class.
inline constexpr std::size_t kQuestionHead = kDnsHeaderSize + 255 + 4;

struct DnsHeader {
  bool response = false;   // the QR bit
  std::uint8_t rcode = 0;  // the header's 4 bits
  std::uint16_t questions = 0;
};

// The header of `message`, or nothing when it is shorter than one.
std::optional<DnsHeader> dns_header(std::string_view message);

// The type of the first question of `message`, its name's last `levels`
// labels written into `name` in presentation form: labels joined by dots, no
// final dot, ASCII letters in lower case (names are compared without case),
// "\." and "\\" for a dot and a backslash inside a label, "\DDD" (three
// decimal digits) for every other byte outside '!' to '~'; "." for the root.
// The text is ASCII without blanks or control characters whatever the bytes.
// Nothing, with `name` cleared, when the message has no question that can be
// read whole: no header, no question, a label that points elsewhere
// (compression) or of a reserved kind, a name over 255 bytes, or bytes that
// end first.
std::optional<std::uint16_t> question_name(std::string_view message, std::size_t levels,
                                           std::string& name);

}  // namespace quillet
