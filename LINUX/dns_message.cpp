#include "dns_message.h"

#include <array>

namespace quillet {

namespace {

constexpr std::size_t kMaxName = 255;
constexpr std::size_t kMaxLabel = 63;
// A name of 255 bytes has at most 127 labels of one byte and the root.
constexpr std::size_t kMaxLabels = 128;

void append_label_byte(std::string& name, unsigned char byte) {
  if (byte >= 'A' && byte <= 'Z') {
    name += static_cast<char>(byte - 'A' + 'a');
  } else if (byte == '.' || byte == '\\') {
    name += '\\';
    name += static_cast<char>(byte);
  } else if (byte > ' ' && byte < 0x7f) {
    name += static_cast<char>(byte);
  } else {
    name += '\\';
    name += static_cast<char>('0' + byte / 100);
    name += static_cast<char>('0' + byte / 10 % 10);
    name += static_cast<char>('0' + byte % 10);
  }
}

}  // namespace

std::optional<DnsHeader> dns_header(std::string_view message) {
  if (message.size() < kDnsHeaderSize) return std::nullopt;
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(message[i]); };
  return DnsHeader{(byte(2) & 0x80) != 0, static_cast<std::uint8_t>(byte(3) & 0x0f),
                   static_cast<std::uint16_t>(byte(4) << 8 | byte(5))};
}

std::optional<std::uint16_t> question_name(std::string_view message, std::size_t levels,
                                           std::string& name) {
  name.clear();
  const std::optional<DnsHeader> header = dns_header(message);
  if (!header || header->questions == 0) return std::nullopt;
  // Where each label starts (its length byte), up to the root's zero byte.
  std::array<std::size_t, kMaxLabels> starts{};
  std::size_t labels = 0, at = kDnsHeaderSize;
  while (true) {
    if (at >= message.size() || at - kDnsHeaderSize >= kMaxName) return std::nullopt;
    const auto length = static_cast<unsigned char>(message[at]);
    if (length == 0) break;
    if (length > kMaxLabel) return std::nullopt;  // a pointer, or a reserved kind
    starts[labels++] = at;
    at += 1 + length;
  }
  // The name's bytes, its root's included, then type and class.
  if (at + 1 - kDnsHeaderSize > kMaxName || at + 5 > message.size()) return std::nullopt;
  const auto type = static_cast<std::uint16_t>(static_cast<unsigned char>(message[at + 1]) << 8 |
                                               static_cast<unsigned char>(message[at + 2]));
  if (labels == 0) {
    name.push_back('.');
    return type;
  }
  for (std::size_t i = labels > levels ? labels - levels : 0; i < labels; ++i) {
    if (!name.empty()) name += '.';
    const std::size_t start = starts[i];
    const auto length = static_cast<unsigned char>(message[start]);
    for (std::size_t j = start + 1; j <= start + length; ++j)
      append_label_byte(name, static_cast<unsigned char>(message[j]));
  }
  return type;
}

}  // namespace quillet
