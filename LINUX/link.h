// What the Zabbix sender and TLS share: the error of one exchange, waits with
// a deadline, the connection to one address (from a chosen source address),
// and the link that carries the bytes of an exchange, as they are or through
// TLS.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "os.h"

namespace quillet {

using Clock = std::chrono::steady_clock;

// A failed attempt at an exchange: the server cannot be reached, the exchange
// breaks off, the reply is malformed or not "success". what() says why in
// plain words. The delivery's retry loop catches it, and nothing else does.
class ExchangeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What a non-blocking step waits for before it can be called again.
enum class IoWait { none, read, write };

// "10 s" for whole seconds, "250 ms" otherwise.
std::string describe_bound(std::chrono::milliseconds bound);

// Waits until `fd` is ready for `wait` (read or write) or `deadline` passes;
// false on time-out. Interrupted waits resume with the time that is left;
// readiness with an error or hang-up counts as ready, so that the next call on
// the socket reports the cause. A failed poll raises ExchangeError.
bool wait_ready(int fd, IoWait wait, Clock::time_point deadline);

// "192.0.2.10:10051", "[2001:db8::1]:10051"; "?" when it cannot be written.
std::string numeric_address(const sockaddr* address, socklen_t length);

// The local address that connections are made from (SourceIP), port 0.
struct SourceAddress {
  sockaddr_storage address{};
  socklen_t length = 0;
  std::string text;  // as configured
};

// `text` as a numeric IPv4 or IPv6 address, or nothing when it is not one.
std::optional<SourceAddress> source_address(const std::string& text);

// A non-blocking TCP socket connected to `address` before `deadline`, from
// `source` when there is one (an address of the other family fails at once).
// Raises ExchangeError with the cause; a time-out names `bound`.
Fd connect_to(const sockaddr* address, socklen_t length, Clock::time_point deadline,
              std::chrono::milliseconds bound, const SourceAddress* source = nullptr);

// The bytes of one exchange over a connected socket. Each call does what it can
// without blocking and says what to wait for before the next one. Failures
// raise ExchangeError.
class Link {
 public:
  virtual ~Link() = default;
  virtual int fd() const = 0;
  // Removes from `data` what was written.
  virtual IoWait write(std::string_view& data) = 0;
  // Reads at most `size` bytes; `got` 0 with IoWait::none: the peer closed.
  virtual IoWait read(char* buffer, std::size_t size, std::size_t& got) = 0;
};

// The bytes as they are.
class PlainLink : public Link {
 public:
  explicit PlainLink(int fd) : fd_(fd) {}
  int fd() const override { return fd_; }
  IoWait write(std::string_view& data) override;
  IoWait read(char* buffer, std::size_t size, std::size_t& got) override;

 private:
  int fd_;
};

// Writes all of `data` within `bound`, or raises ExchangeError.
void send_all(Link& link, std::string_view data, std::chrono::milliseconds bound);

}  // namespace quillet
