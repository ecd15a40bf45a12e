#include "trapper.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include <openssl/err.h>
#include <openssl/ssl.h>

namespace quillet::testing {

namespace {

constexpr std::size_t kHeaderSize = 13;
constexpr std::size_t kMaxRequest = std::size_t{16} << 20;
constexpr int kIdleMs = 5000;

std::string frame_header(std::string_view magic, std::uint32_t length) {
  std::string header(magic);
  header += '\x01';
  for (int i = 0; i < 4; ++i)
    header += static_cast<char>((length >> (8 * i)) & 0xFF);
  header.append(4, '\0');
  return header;
}

std::string frame(std::string_view body, std::string_view magic = "ZBXD") {
  return frame_header(magic, static_cast<std::uint32_t>(body.size())) + std::string(body);
}

std::string reply_body(const std::string& response, const std::string& info) {
  return nlohmann::ordered_json{{"response", response}, {"info", info}}.dump();
}

void send_bytes(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

void parse_request(TrapperRequest& r) {
  auto j = nlohmann::json::parse(r.body, nullptr, false);
  if (j.is_discarded()) return;
  r.json = true;
  if (!j.is_object()) return;
  if (auto it = j.find("request"); it != j.end() && it->is_string()) r.request = *it;
  auto data = j.find("data");
  if (data == j.end() || !data->is_array()) return;
  for (const auto& item : *data) {
    TrapperItem out;
    auto text = [&](const char* name) -> std::string {
      if (!item.is_object() || !item.contains(name)) return "";
      const auto& v = item[name];
      return v.is_string() ? v.get<std::string>() : v.dump();
    };
    out.host = text("host");
    out.key = text("key");
    out.value = text("value");
    auto whole = [&](const char* name) -> std::optional<std::int64_t> {
      if (!item.is_object() || !item.contains(name) || !item[name].is_number_integer()) return {};
      return item[name].get<std::int64_t>();
    };
    out.clock = whole("clock");
    out.ns = whole("ns");
    r.data.push_back(std::move(out));
  }
}

unsigned int find_psk(SSL* ssl, const char* identity, unsigned char* psk, unsigned int max_psk_len);

}  // namespace

struct Trapper::TlsServer {
  std::unique_ptr<SSL_CTX, void (*)(SSL_CTX*)> ctx{nullptr, SSL_CTX_free};
  TrapperTls settings;

  explicit TlsServer(const TrapperTls& tls) : settings(tls) {
    ctx.reset(SSL_CTX_new(TLS_server_method()));
    if (!ctx) throw std::runtime_error("trapper: SSL_CTX_new failed");
    SSL_CTX_set_app_data(ctx.get(), this);
    static const unsigned char id[] = "quillet-test-trapper";
    SSL_CTX_set_session_id_context(ctx.get(), id, sizeof id - 1);
    bool ok = true;
    if (!tls.psk.empty()) {
      SSL_CTX_set_psk_server_callback(ctx.get(), find_psk);
      ok = SSL_CTX_set_cipher_list(ctx.get(), "ECDHEPSK:PSK") == 1;
    } else {
      ok = SSL_CTX_use_certificate_chain_file(ctx.get(), tls.cert_file.c_str()) == 1 &&
           SSL_CTX_use_PrivateKey_file(ctx.get(), tls.key_file.c_str(), SSL_FILETYPE_PEM) == 1;
      if (ok && !tls.ca_file.empty()) {
        ok = SSL_CTX_load_verify_locations(ctx.get(), tls.ca_file.c_str(), nullptr) == 1;
        SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
      }
    }
    if (!ok) {
      throw std::runtime_error(std::string("trapper: TLS set-up failed: ") +
                               ERR_reason_error_string(ERR_get_error()));
    }
  }
};

namespace {

unsigned int find_psk(SSL* ssl, const char* identity, unsigned char* psk,
                      unsigned int max_psk_len) {
  const auto* server =
      static_cast<const Trapper::TlsServer*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
  const std::string& key = server->settings.psk;
  if (!identity || server->settings.psk_identity != identity || key.size() > max_psk_len) return 0;
  std::memcpy(psk, key.data(), key.size());
  return static_cast<unsigned int>(key.size());
}

}  // namespace

int closed_loopback_port() {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    throw std::runtime_error(std::string("closed_loopback_port: ") + strerror(errno));
  }
  return ntohs(addr.sin_port);
}

Fd idle_loopback_listener(int backlog, int& port) {
  Fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (!listener || ::bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      ::listen(listener.get(), backlog) != 0 ||
      ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    throw std::runtime_error(std::string("idle_loopback_listener: ") + strerror(errno));
  }
  port = ntohs(addr.sin_port);
  return listener;
}

std::optional<TrapperBehaviour> behaviour_named(std::string_view name) {
  static const std::pair<std::string_view, TrapperBehaviour> names[] = {
      {"success", TrapperBehaviour::success},
      {"failed", TrapperBehaviour::failed},
      {"refused", TrapperBehaviour::refused},
      {"close", TrapperBehaviour::close},
      {"close-mid-header", TrapperBehaviour::close_mid_header},
      {"close-mid-body", TrapperBehaviour::close_mid_body},
      {"bad-magic", TrapperBehaviour::bad_magic},
      {"too-long", TrapperBehaviour::too_long},
      {"bad-json", TrapperBehaviour::bad_json},
      {"silent", TrapperBehaviour::silent},
      {"drip", TrapperBehaviour::drip},
      {"reset", TrapperBehaviour::reset},
      {"redirect", TrapperBehaviour::redirect},
      {"redirect-reset", TrapperBehaviour::redirect_reset},
  };
  for (const auto& [n, b] : names) {
    if (n == name) return b;
  }
  return std::nullopt;
}

Trapper::Trapper(TrapperOptions options) : options_(std::move(options)) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
  addrinfo* found = nullptr;
  std::string service = std::to_string(options_.port);
  if (int rc = ::getaddrinfo(options_.address.c_str(), service.c_str(), &hints, &found); rc != 0) {
    throw std::runtime_error("trapper: bad address " + options_.address + ": " +
                             ::gai_strerror(rc));
  }
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(found, ::freeaddrinfo);
  listener_ = Fd(::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!listener_) throw std::runtime_error(std::string("trapper: socket: ") + strerror(errno));
  int one = 1;
  ::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(listener_.get(), found->ai_addr, found->ai_addrlen) != 0 ||
      ::listen(listener_.get(), 16) != 0) {
    throw std::runtime_error("trapper: cannot listen on " + options_.address + " port " + service +
                             ": " + strerror(errno));
  }
  sockaddr_storage bound{};
  socklen_t len = sizeof bound;
  ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&bound), &len);
  char serv[NI_MAXSERV];
  ::getnameinfo(reinterpret_cast<sockaddr*>(&bound), len, nullptr, 0, serv, sizeof serv,
                NI_NUMERICSERV);
  port_ = std::stoi(serv);

  if (options_.tls) tls_ = std::make_unique<TlsServer>(*options_.tls);

  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("trapper: pipe failed");
  wake_read_ = Fd(ends[0]);
  wake_write_ = Fd(ends[1]);
  thread_ = std::thread([this] { serve(); });
}

Trapper::~Trapper() {
  char byte = 0;
  while (::write(wake_write_.get(), &byte, 1) < 0 && errno == EINTR) {
  }
  thread_.join();
}

std::vector<TrapperRequest> Trapper::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void Trapper::serve() {
  for (;;) {
    pollfd p[2] = {{listener_.get(), POLLIN, 0}, {wake_read_.get(), POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (p[1].revents) return;
    sockaddr_storage peer{};
    socklen_t peer_length = sizeof peer;
    Fd conn(
        ::accept4(listener_.get(), reinterpret_cast<sockaddr*>(&peer), &peer_length, SOCK_CLOEXEC));
    if (!conn) continue;
    char host[NI_MAXHOST] = "?";
    ::getnameinfo(reinterpret_cast<sockaddr*>(&peer), peer_length, host, sizeof host, nullptr, 0,
                  NI_NUMERICHOST);
    peer_ = host;
    int index = connections_++;
    TrapperBehaviour behaviour = TrapperBehaviour::success;
    if (!options_.script.empty()) {
      auto i = std::min<std::size_t>(static_cast<std::size_t>(index), options_.script.size() - 1);
      behaviour = options_.script[i];
    }
    try {
      answer(std::move(conn), behaviour);
    } catch (const std::exception&) {
      // A request the trapper cannot take apart is dropped, like a real server does.
    }
  }
}

bool Trapper::read_exact(int fd, std::size_t n, std::string& out) {
  char buf[4096];
  std::size_t goal = out.size() + n;
  while (out.size() < goal) {
    // Bytes a TLS session holds already are not seen by poll.
    if (!session_ || SSL_pending(session_) == 0) {
      pollfd p[2] = {{fd, POLLIN, 0}, {wake_read_.get(), POLLIN, 0}};
      int ready = ::poll(p, 2, kIdleMs);
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0 || p[1].revents) return false;
    }
    const std::size_t want = std::min(sizeof buf, goal - out.size());
    ssize_t got = 0;
    if (session_) {
      got = SSL_read(session_, buf, static_cast<int>(want));
      if (got <= 0 && SSL_get_error(session_, static_cast<int>(got)) == SSL_ERROR_WANT_READ) {
        continue;
      }
    } else {
      got = ::recv(fd, buf, want, 0);
      if (got < 0 && errno == EINTR) continue;
    }
    if (got <= 0) return false;
    out.append(buf, static_cast<std::size_t>(got));
  }
  return true;
}

void Trapper::send(int fd, std::string_view data) {
  if (!session_) {
    send_bytes(fd, data);
    return;
  }
  while (!data.empty()) {
    const int n = SSL_write(session_, data.data(), static_cast<int>(data.size()));
    if (n <= 0) return;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

bool Trapper::nap(std::chrono::milliseconds gap) {
  pollfd p{wake_read_.get(), POLLIN, 0};
  return ::poll(&p, 1, static_cast<int>(gap.count())) == 0;
}

void Trapper::answer(Fd conn, TrapperBehaviour behaviour) {
  std::unique_ptr<SSL, void (*)(SSL*)> ssl(nullptr, SSL_free);
  if (tls_) {
    // A client that stalls the handshake cannot hold the trapper for long.
    timeval bound{.tv_sec = kIdleMs / 1000, .tv_usec = 0};
    ::setsockopt(conn.get(), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    ::setsockopt(conn.get(), SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    ssl.reset(SSL_new(tls_->ctx.get()));
    if (!ssl || SSL_set_fd(ssl.get(), conn.get()) != 1 || SSL_accept(ssl.get()) != 1) {
      ++failed_handshakes_;
      ERR_clear_error();
      // Closing with the client's bytes unread would reset the connection and
      // could destroy the alert before the client reads it.
      ::shutdown(conn.get(), SHUT_WR);
      std::string drained;
      while (read_exact(conn.get(), 1, drained) && drained.size() < kMaxRequest) {
      }
      return;
    }
    if (SSL_session_reused(ssl.get())) ++resumed_sessions_;
  }
  session_ = ssl.get();
  struct Forget {
    SSL*& session;
    ~Forget() { session = nullptr; }
  } forget{session_};

  TrapperRequest request;
  if (!read_exact(conn.get(), kHeaderSize, request.raw) || request.raw.compare(0, 4, "ZBXD") != 0) {
    return;
  }
  std::size_t length = 0;
  for (int i = 0; i < 4; ++i) {
    length |= std::size_t{static_cast<unsigned char>(request.raw[5 + i])} << (8 * i);
  }
  if (length > kMaxRequest || !read_exact(conn.get(), length, request.raw)) return;
  request.peer = peer_;
  request.body = request.raw.substr(kHeaderSize);
  parse_request(request);
  if (options_.on_request) options_.on_request(request);
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
  }

  const std::string success = frame(reply_body("success", options_.info));
  const int fd = conn.get();
  switch (behaviour) {
    case TrapperBehaviour::success:
      send(fd, success);
      break;
    case TrapperBehaviour::failed:
      send(fd, frame(reply_body("failed", options_.failed_info)));
      break;
    case TrapperBehaviour::refused:
      send(fd, frame(reply_body("success", options_.failed_info)));
      break;
    case TrapperBehaviour::close:
      break;
    case TrapperBehaviour::close_mid_header:
      send(fd, success.substr(0, 5));
      break;
    case TrapperBehaviour::close_mid_body:
      send(fd, success.substr(0, kHeaderSize + (success.size() - kHeaderSize) / 2));
      break;
    case TrapperBehaviour::bad_magic:
      send(fd, frame(reply_body("success", options_.info), "ZBXE"));
      break;
    case TrapperBehaviour::too_long:
      send(fd, frame_header("ZBXD", 2u << 20) + "{\"response\":");
      held_.push_back(std::move(conn));
      break;
    case TrapperBehaviour::bad_json:
      send(fd, frame("this is not json"));
      break;
    case TrapperBehaviour::silent:
      held_.push_back(std::move(conn));
      break;
    case TrapperBehaviour::drip: {
      std::size_t pieces = static_cast<std::size_t>(std::max(1, options_.drip_pieces));
      std::size_t step = (success.size() + pieces - 1) / pieces;
      for (std::size_t at = 0; at < success.size(); at += step) {
        if (at > 0 && !nap(options_.drip_gap)) return;
        send(fd, std::string_view(success).substr(at, step));
      }
      break;
    }
    case TrapperBehaviour::reset: {
      linger abort{.l_onoff = 1, .l_linger = 0};
      ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
      break;
    }
    case TrapperBehaviour::redirect:
      send(fd, frame(nlohmann::ordered_json{{"redirect",
                                             {{"revision", options_.redirect_revision},
                                              {"address", options_.redirect_address}}},
                                            {"response", "failed"}}
                         .dump()));
      break;
    case TrapperBehaviour::redirect_reset:
      send(fd, frame(R"({"redirect":{"reset":true},"response":"failed"})"));
      break;
  }
}

}  // namespace quillet::testing
