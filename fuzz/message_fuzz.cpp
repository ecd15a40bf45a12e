// A DNS message's first question, from any bytes, against a plain reference
// that walks the name label by label and writes each byte by the rules of the
// presentation form. Their verdicts and texts must agree at every level, the
// text must be ASCII from '!' to '~', and a question's bytes can never be
// read past the message. The TCP framing's sink must hand over the same heads
// wherever the segments are cut.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dns_message.h"
#include "reference.h"
#include "tcp_stream.h"

namespace {

// The reference: every label's bytes, then the last `levels` joined.
std::optional<std::uint16_t> reference(const std::string& m, std::size_t levels,
                                       std::string& name) {
  name.clear();
  if (m.size() < 12 || (m[4] == 0 && m[5] == 0)) return std::nullopt;
  std::vector<std::string> labels;
  std::size_t at = 12, wire = 1;
  for (;;) {
    if (at >= m.size()) return std::nullopt;
    const auto length = static_cast<unsigned char>(m[at]);
    if (length == 0) break;
    wire += 1 + length;
    if (length > 63 || wire > 255 || at + 1 + length > m.size()) return std::nullopt;
    labels.push_back(m.substr(at + 1, length));
    at += 1 + length;
  }
  if (at + 5 > m.size()) return std::nullopt;
  for (std::size_t i = labels.size() > levels ? labels.size() - levels : 0; i < labels.size();
       ++i) {
    if (!name.empty()) name += '.';
    for (const char c : labels[i]) {
      const auto b = static_cast<unsigned char>(c);
      if (b >= 'A' && b <= 'Z') {
        name += static_cast<char>(b + 32);
      } else if (b == '.' || b == '\\') {
        name += std::string("\\") + c;
      } else if (b >= '!' && b <= '~') {
        name += c;
      } else {
        name +=
            "\\" + std::to_string(b / 100) + std::to_string(b / 10 % 10) + std::to_string(b % 10);
      }
    }
  }
  if (labels.empty()) name = ".";
  return static_cast<std::uint16_t>(static_cast<unsigned char>(m[at + 1]) << 8 |
                                    static_cast<unsigned char>(m[at + 2]));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using quillet::fuzz::check;
  FuzzedDataProvider input(data, size);
  const std::size_t levels = input.ConsumeIntegralInRange<std::size_t>(1, 4);
  const std::size_t cut = input.ConsumeIntegralInRange<std::size_t>(1, 300);
  const std::string message = input.ConsumeRemainingBytesAsString();
  std::string name, expected;
  const auto type = quillet::question_name(message, levels, name);
  check(type == reference(message, levels, expected) && name == expected,
        "the question differs from the reference's");
  for (const char c : name)
    check(c >= '!' && c <= '~', "a name's text outside '!' to '~'");

  // Framed over TCP in two segments cut at `cut`: one message, its head whole.
  if (message.size() < 12 || message.size() > 65535) return 0;
  std::vector<std::string> heads;
  quillet::TcpQueries queries(
      {}, 1, [&](std::string_view, std::string_view head, bool) { heads.emplace_back(head); });
  const std::string stream =
      std::string{static_cast<char>(message.size() >> 8), static_cast<char>(message.size())} +
      message;
  const std::size_t at = std::min(cut, stream.size());
  queries.add({"flow", "client", 0, true, {}, 0});
  queries.add({"flow", "client", 1, false, std::string_view(stream).substr(0, at), 0});
  queries.add({"flow", "client", static_cast<std::uint32_t>(1 + at), false,
               std::string_view(stream).substr(at), 0});
  check(heads == std::vector<std::string>{message.substr(0, quillet::TcpQueries::kMessageHead)},
        "the framing's head is not the message's start");
  return 0;
}
