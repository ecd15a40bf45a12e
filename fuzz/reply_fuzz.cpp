// Whatever bytes a server sends back: the reply header and frame decoders and
// the reader of the "info" text must either return or raise ExchangeError, and
// a description that reaches the console must be clean UTF-8 without control
// characters. The same bytes as a redirect's address and as the nodes of the
// server argument: a node of a port in range, or a description as clean. And
// as a configuration file: a configuration the plain reader of reference.cpp
// agrees with, or a ConfigError whose report is as clean and names the file
// and a line that the text has.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "config.h"
#include "nodes.h"
#include "reference.h"
#include "zabbix_sender.h"

namespace {

using namespace quillet;
using namespace quillet::fuzz;

void parse_as_node(std::string_view text) {
  auto node = parse_node(text, kRedirectPort);
  if (const auto* problem = std::get_if<std::string>(&node)) {
    check_console_safe(*problem);
  } else {
    const int port = std::get<ServerNode>(node).port;
    check(port >= 1 && port <= 65535, "a node's port out of range");
  }
  try {
    for (const ServerNode& n : parse_server_nodes(text, 10052))
      check(n.port >= 1 && n.port <= 65535, "a node's port out of range");
  } catch (const Failure& e) {
    check_console_safe(e.what());
  }
}

// Decodes `frame` as the reader hands it over: the outcome is a result that
// says "success", one that says "failed" with a redirect, or a ExchangeError.
// A redirect's address then goes to the node parser.
void decode(std::string_view frame) {
  try {
    const SendResult result = decode_reply(frame);
    check(result.response == "success" || (result.response == "failed" && result.redirect),
          "a reply other than success or a redirect was accepted");
    if (result.redirect) parse_as_node(result.redirect->address);
  } catch (const ExchangeError& e) {
    check_console_safe(e.what());
  }
}

void parse_as_configuration(std::string_view text) {
  static const std::string file(kConfigurationFile);
  try {
    check_configuration(text, file, parse_configuration(text, file));
  } catch (const ConfigError& e) {
    check_console_safe(e.what());
    check(e.file() == file && std::string_view(e.what()).starts_with(file + ":"),
          "the report does not start with the file");
    const auto lines = std::count(text.begin(), text.end(), '\n') + 1;
    check(e.line() >= 0 && e.line() <= lines, "the report names a line the text does not have");
  }
}

std::string framed(std::string_view body) {
  std::string frame("ZBXD\x01", 5);
  for (int i = 0; i < 4; ++i)
    frame += static_cast<char>((body.size() >> (8 * i)) & 0xFF);
  frame.append(4, '\0');
  return frame + std::string(body);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  // The bytes as they come off the wire: the header says how many follow.
  try {
    const std::size_t length = decode_reply_header(bytes);
    check(length <= kMaxReplyLength, "announced length above the bound accepted");
    if (bytes.size() >= kFrameHeaderSize + length) {
      decode(bytes.substr(0, kFrameHeaderSize + length));
    }
  } catch (const ExchangeError& e) {
    check_console_safe(e.what());
  }
  // The bytes as a whole frame, and as the body of a well-formed frame, so that
  // the JSON and its fields are reached without guessing a length.
  decode(bytes);
  decode(framed(bytes));

  SendResult result;
  parse_reply_info(bytes, result);
  parse_as_node(bytes);

  parse_as_configuration(bytes);
  return 0;
}
