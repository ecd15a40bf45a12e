// Whatever bytes a server sends back: the reply header and frame decoders and
// the reader of the "info" text must either return or raise SenderError, and
// a description that reaches the console must be clean UTF-8 without control
// characters.
#include <cstdint>
#include <string>
#include <string_view>

#include "reference.h"
#include "zabbix_sender.h"

namespace {

using namespace quillet;
using namespace quillet::fuzz;

// Decodes `frame` as the reader hands it over: the outcome is a result that
// says "success", or a SenderError.
void decode(std::string_view frame) {
  try {
    const SendResult result = decode_reply(frame);
    check(result.response == "success", "a reply other than success was accepted");
  } catch (const SenderError& e) {
    check_console_safe(e.what());
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
  } catch (const SenderError& e) {
    check_console_safe(e.what());
  }
  // The bytes as a whole frame, and as the body of a well-formed frame, so that
  // the JSON and its fields are reached without guessing a length.
  decode(bytes);
  decode(framed(bytes));

  SendResult result;
  parse_reply_info(bytes, result);
  return 0;
}
