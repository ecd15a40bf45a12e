// TLS for the deliveries, through OpenSSL: a pre-shared key or certificates,
// chosen and described by the configuration file. Sessions run over sockets
// the sender has connected; a failure of TLS is a failed attempt like any
// other (ExchangeError), whose what() says the cause in plain words.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "config.h"
#include "link.h"

using SSL = struct ssl_st;

namespace quillet {

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

  // A client session over the connected socket `fd`, which stays the caller's,
  // with its handshake and the checks on the server's certificate done before
  // `deadline`. A time-out names `bound`. Raises ExchangeError.
  TlsSession open(int fd, Clock::time_point deadline, std::chrono::milliseconds bound) const;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// The bytes of an exchange through TLS.
class TlsSession : public Link {
 public:
  TlsSession(SSL* ssl, TlsClient::State& client) : ssl_(ssl), client_(&client) {}
  TlsSession(TlsSession&& other) noexcept;
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;
  TlsSession& operator=(TlsSession&&) = delete;
  // Closes the session politely (close_notify) and keeps it for resumption.
  ~TlsSession() override;

  int fd() const override;
  IoWait write(std::string_view& data) override;
  IoWait read(char* buffer, std::size_t size, std::size_t& got) override;

 private:
  friend class TlsClient;
  // One step of the handshake and of the checks on the server's certificate.
  IoWait handshake_step();

  SSL* ssl_;
  TlsClient::State* client_;
  bool established_ = false;
};

}  // namespace quillet
