// How quillet reports what goes wrong. One convention for the whole code:
//
// - A failure that ends the run is raised where it arises as a Failure (or a
//   subclass, such as ConfigError for a configuration file that cannot be
//   used) and reported once, by the entry, on standard error; the run then
//   ends with status 1. No code below the entry catches or prints it.
// - A failed attempt at an exchange with Zabbix is an ExchangeError (link.h).
//   The sender puts the address it tried in front; the delivery's retry loop
//   catches it, prints the red line and tries again. It never reaches the
//   entry.
// - A step that handles a failure itself (the capture's "[ERRO] " lines)
//   prints its line and says so in its result; it raises nothing.
// - Modes return their exit status: no exception ends a run with a status.
// - The code that makes a system call turns its errno into one of the above
//   at once (a thin wrapper such as read_resuming keeps the call's own -1 and
//   errno); no function returns an errno value or fills in a cause text.
#pragma once

#include <cstring>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace quillet {

// The report of an unhandled failure, on one line of `err`:
// quillet: falha não tratada (<kind>) na etapa "<step>": <message>
inline void report_failure(std::ostream& err, std::string_view kind, std::string_view step,
                           std::string_view message) {
  err << "quillet: falha não tratada (" << kind << ") na etapa \"" << step << "\": " << message
      << '\n';
  err.flush();
}

// A failure that no step handles: what kind of failure, the step of the run
// where it arose, and the message.
class Failure : public std::runtime_error {
 public:
  Failure(std::string kind, std::string step, const std::string& message)
      : std::runtime_error(message), kind_(std::move(kind)), step_(std::move(step)) {}

  const std::string& kind() const { return kind_; }
  const std::string& step() const { return step_; }

  // Writes the failure's report on `err`.
  virtual void report(std::ostream& err) const { report_failure(err, kind_, step_, what()); }

 private:
  std::string kind_;
  std::string step_;
};

// A failed system call: `what` says what was attempted, `err` is the errno value.
inline Failure system_failure(std::string step, const std::string& what, int err) {
  return Failure("erro do sistema", std::move(step), what + ": " + std::strerror(err));
}

}  // namespace quillet
