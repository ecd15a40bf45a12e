// Shared definitions of quillet: the command-line settings, the console colours,
// the version and the fixed values of a run.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quillet {

// The project's version, as CMakeLists.txt gives it.
inline constexpr std::string_view VERSION = QUILLET_VERSION;

inline constexpr std::string_view RED = "\x1b[1;31m";
inline constexpr std::string_view GREEN = "\x1b[0;32m";
inline constexpr std::string_view RESET = "\x1b[0;0m";

// The four settings taken from the command line. Each holds its argument exactly
// as passed, or nothing when the command line did not reach it.
struct Settings {
  std::optional<std::string> mode;
  std::optional<std::string> caminho;
  std::optional<std::string> zabbix_server;
  std::optional<std::string> zabbix_host;
};

// Where the capture works. The shipped binary always uses these defaults; tests
// point them at a scratch directory.
struct CaptureSetup {
  std::string work_dir = "/home/quillet/";
  std::string caminho_tcpdump = "/home/quillet/dump.pcap";
  std::string caminho_arquivo = "/home/quillet/dnstop_output.txt";
  std::string interface = "ens18";
  int window_seconds = 5;
};

class TlsClient;

// How a value travels to Zabbix. Fixed in the shipped binary, but for the port
// and the encryption that a configuration file may set; tests shorten the pause
// and the time bounds.
struct DeliverySetup {
  int port = 10052;
  int attempts = 5;
  std::chrono::milliseconds pause{5000};
  std::chrono::milliseconds connect_timeout{10000};
  std::chrono::milliseconds reply_timeout{10000};
  std::shared_ptr<const TlsClient> tls;  // none: unencrypted
};

class CommandRunner;

// Everything a run works with besides its own arguments: the settings, the
// console, the fixed values and the operating-system boundaries.
struct Context {
  Settings settings;
  std::string configuration_file;         // read by a collection run when it exists
  std::vector<std::string> command_line;  // as invoked, program path first
  std::ostream& out;
  std::ostream& err;
  CaptureSetup capture;
  DeliverySetup delivery;
  CommandRunner& runner;
  std::function<void(std::chrono::milliseconds)> pause;
};

// Prints one console line and flushes it, so that it stands before anything a
// child process writes afterwards.
inline void println(std::ostream& out, std::string_view line) {
  out << line << '\n';
  out.flush();
}

// A failure that no step handles. It travels up to the entry, which reports its
// kind, the step where it arose and its message on standard error, and ends the
// run with status 1.
class Failure : public std::runtime_error {
 public:
  Failure(std::string kind, std::string step, const std::string& message)
      : std::runtime_error(message), kind_(std::move(kind)), step_(std::move(step)) {}

  const std::string& kind() const { return kind_; }
  const std::string& step() const { return step_; }

 private:
  std::string kind_;
  std::string step_;
};

// A failed system call: `what` says what was attempted, `err` is the errno value.
inline Failure system_failure(std::string step, const std::string& what, int err) {
  return Failure("erro do sistema", std::move(step), what + ": " + std::strerror(err));
}

// Thrown by a mode that ends the run itself with an exit status.
struct RunEnd {
  int status;
};

}  // namespace quillet
