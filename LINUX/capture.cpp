#include "capture.h"

namespace quillet {

std::string tcpdump_command(const CaptureSetup&, const std::string&) {
  throw Failure("não implementado", "captura", "a captura ainda não foi construída");
}
std::string dnstop_command(const CaptureSetup&) {
  throw Failure("não implementado", "captura", "a captura ainda não foi construída");
}
std::optional<std::string> capturar_dnstop(const CaptureSetup&, const std::string&, std::ostream&,
                                           CommandRunner&) {
  throw Failure("não implementado", "captura", "a captura ainda não foi construída");
}

}  // namespace quillet
