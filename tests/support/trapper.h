// A test trapper that speaks the Zabbix sender protocol: a thread that accepts
// connections one after the other on a loopback address, reads one request
// from each and answers it as its script says.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "os.h"

using SSL = struct ssl_st;

namespace quillet::testing {

// How the trapper answers one connection, after reading its request.
enum class TrapperBehaviour {
  success,           // "success" with the configured info
  failed,            // "failed" with an info text
  refused,           // "success" whose info says the value was not processed
  close,             // closes before sending any byte
  close_mid_header,  // sends 5 header bytes, then closes
  close_mid_body,    // sends the header and half the body, then closes
  bad_magic,         // a well-formed reply behind "ZBXE"
  too_long,          // a header announcing 2 MiB, then holds the connection
  bad_json,          // a frame whose body is not JSON
  silent,            // holds the connection and never answers
  drip,              // the success reply in pieces, with pauses between them
  reset,             // aborts the connection (SO_LINGER 0)
  redirect,          // "failed" with a redirect to redirect_address, redirect_revision
  redirect_reset,    // "failed" with a redirect that says reset
};

// A loopback port on which nothing listens (bound for a moment, then freed).
int closed_loopback_port();

// A loopback listener that never accepts: connections wait in its queue of
// `backlog`, and once that is full, SYNs go unanswered. Its port goes to `port`.
Fd idle_loopback_listener(int backlog, int& port);

// "success", "close-mid-header", ... as the fake_trapper script spells them.
std::optional<TrapperBehaviour> behaviour_named(std::string_view name);

struct TrapperItem {
  std::string host;
  std::string key;
  std::string value;  // a string value as is; any other JSON value as its text
  // The value's own "clock" and "ns" when they are whole numbers.
  std::optional<std::int64_t> clock;
  std::optional<std::int64_t> ns;
};

struct TrapperRequest {
  std::string peer;     // the client's numeric address, without its port
  std::string raw;      // every byte read from the connection, header included
  std::string body;     // the bytes after the 13-byte header
  bool json = false;    // the body parsed as JSON
  std::string request;  // its "request" member
  std::vector<TrapperItem> data;
};

// A trapper that speaks TLS, as a Zabbix server does for an encrypting host:
// with a pre-shared key (psk not empty), or with a certificate; with a CA file
// it asks clients for a certificate of that CA too.
struct TrapperTls {
  std::string psk_identity;
  std::string psk;  // the key's bytes
  std::string cert_file;
  std::string key_file;
  std::string ca_file;
};

struct TrapperOptions {
  std::string address = "127.0.0.1";
  int port = 0;  // 0: an ephemeral port
  // Connection i is answered with script[i]; the last one repeats. Empty: success.
  std::vector<TrapperBehaviour> script;
  std::string info = "processed: 1; failed: 0; total: 1; seconds spent: 0.000037";
  std::string failed_info = "processed: 0; failed: 1; total: 1; seconds spent: 0.000012";
  std::string redirect_address;  // "host[:port]", as a proxy group gives it
  std::uint64_t redirect_revision = 1;
  int drip_pieces = 8;
  std::chrono::milliseconds drip_gap{20};
  // Called on the trapper's thread for each request, before it is answered.
  std::function<void(const TrapperRequest&)> on_request;
  std::optional<TrapperTls> tls;

  static TrapperOptions answering(std::vector<TrapperBehaviour> script) {
    TrapperOptions options;
    options.script = std::move(script);
    return options;
  }
  static TrapperOptions dripping(int pieces, std::chrono::milliseconds gap) {
    TrapperOptions options = answering({TrapperBehaviour::drip});
    options.drip_pieces = pieces;
    options.drip_gap = gap;
    return options;
  }
};

class Trapper {
 public:
  // Listens before it returns; raises std::runtime_error when it cannot.
  explicit Trapper(TrapperOptions options = {});
  ~Trapper();
  Trapper(const Trapper&) = delete;
  Trapper& operator=(const Trapper&) = delete;

  int port() const { return port_; }
  // The requests read so far, in order.
  std::vector<TrapperRequest> requests() const;
  int connections() const { return connections_.load(); }
  // TLS: handshakes that failed, and those that resumed an earlier session.
  int failed_handshakes() const { return failed_handshakes_.load(); }
  int resumed_sessions() const { return resumed_sessions_.load(); }

  struct TlsServer;  // the server side's keys and certificates

 private:
  void serve();
  void answer(Fd conn, TrapperBehaviour behaviour);
  // Reads exactly `n` bytes into `out`; false when the peer closes, the
  // trapper stops or the client stays quiet for a few seconds.
  bool read_exact(int fd, std::size_t n, std::string& out);
  // Sleeps `gap` unless the trapper is stopping; false if it is.
  bool nap(std::chrono::milliseconds gap);
  // Sends all of `data` on the connection, through TLS when it has a session.
  void send(int fd, std::string_view data);

  TrapperOptions options_;
  int port_ = 0;
  Fd listener_;
  Fd wake_read_;
  Fd wake_write_;
  std::vector<Fd> held_;  // connections kept open without an answer
  std::atomic<int> connections_{0};
  std::atomic<int> failed_handshakes_{0};
  std::atomic<int> resumed_sessions_{0};
  std::unique_ptr<TlsServer> tls_;
  SSL* session_ = nullptr;  // of the connection being answered
  std::string peer_;        // its client's address
  mutable std::mutex mutex_;
  std::vector<TrapperRequest> requests_;
  std::thread thread_;
};

}  // namespace quillet::testing
