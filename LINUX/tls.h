// TLS for the deliveries, through OpenSSL: a pre-shared key or certificates,
// chosen and described by the configuration file. Sessions run over sockets
// the sender has connected and keeps polling; every step here is non-blocking.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "config.h"
#include "zabbix_sender.h"

using SSL = struct ssl_st;

namespace quillet {

// A TLS failure of one attempt: a failed attempt like any other, whose what()
// says the cause in plain words.
class TlsError : public SenderError {
 public:
  using SenderError::SenderError;
};

// What a non-blocking step waits for before it can be called again.
enum class IoWait { none, read, write };

class TlsSession;

// What every TLS connection of a run shares, loaded once from the configuration
// before the capture: the key or the certificates and the checks of the server's
// certificate; and the last session, which the next connection resumes when
// the server allows it.
class TlsClient {
 public:
  // Raises ConfigError, naming the line of the file that does not load.
  explicit TlsClient(const Configuration& config);
  ~TlsClient();
  TlsClient(const TlsClient&) = delete;
  TlsClient& operator=(const TlsClient&) = delete;

  // A client session over the connected socket `fd`, which stays the caller's.
  TlsSession open(int fd) const;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

class TlsSession {
 public:
  TlsSession(SSL* ssl, TlsClient::State& client) : ssl_(ssl), client_(&client) {}
  TlsSession(TlsSession&& other) noexcept;
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;
  TlsSession& operator=(TlsSession&&) = delete;
  // Closes the session politely (close_notify) and keeps it for resumption.
  ~TlsSession();

  // One step of the handshake and of the checks on the server's certificate.
  // Raises TlsError.
  IoWait handshake();
  // Writes what it can of `data` and removes it from there. Raises TlsError.
  IoWait write(std::string_view& data);
  // Reads at most `size` bytes; `got` 0 with IoWait::none: the server closed.
  // Raises TlsError.
  IoWait read(char* buffer, std::size_t size, std::size_t& got);

 private:
  SSL* ssl_;
  TlsClient::State* client_;
  bool established_ = false;
};

}  // namespace quillet
