#include "zabbix_sender.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <nlohmann/json.hpp>

#include "format.h"
#include "os.h"
#include "tls.h"

namespace quillet {

namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::ordered_json;

constexpr std::string_view kMagic = "ZBXD";

// "10 s" for whole seconds, "250 ms" otherwise.
std::string describe_bound(std::chrono::milliseconds bound) {
  if (bound.count() % 1000 == 0) return std::to_string(bound.count() / 1000) + " s";
  return std::to_string(bound.count()) + " ms";
}

void check_utf8(const std::string& text, const char* what) {
  try {
    (void)nlohmann::json(text).dump();
  } catch (const nlohmann::json::type_error&) {
    throw std::invalid_argument(std::string(what) + " não é texto UTF-8 válido");
  }
}

// The remaining time until `deadline` in whole milliseconds, rounded up, for poll.
int remaining_ms(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
}

// Waits until `fd` is ready for `events` or `deadline` passes. Returns false on
// time-out. Interrupted waits resume with the time that is left; readiness with
// an error or hang-up counts as ready, so the next call reports the cause.
bool wait_ready(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd p{.fd = fd, .events = events, .revents = 0};
    int n = ::poll(&p, 1, remaining_ms(deadline));
    if (n > 0) return true;
    if (n == 0) {
      if (Clock::now() >= deadline) return false;
      continue;
    }
    if (errno != EINTR) throw SenderError(std::string("poll: ") + std::strerror(errno));
  }
}

std::string numeric_address(const sockaddr* addr, socklen_t len) {
  char host[NI_MAXHOST];
  char serv[NI_MAXSERV];
  if (::getnameinfo(addr, len, host, sizeof host, serv, sizeof serv,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return "?";
  }
  if (addr->sa_family == AF_INET6) return std::string("[") + host + "]:" + serv;
  return std::string(host) + ":" + serv;
}

struct AddrInfoList {
  addrinfo* head = nullptr;
  AddrInfoList() = default;
  AddrInfoList(const AddrInfoList&) = delete;
  AddrInfoList& operator=(const AddrInfoList&) = delete;
  ~AddrInfoList() {
    if (head) ::freeaddrinfo(head);
  }
};

// Connects to `ai` before `deadline`. Returns the connected socket, or no
// socket with `cause` set.
Fd connect_to(const addrinfo& ai, Clock::time_point deadline, std::chrono::milliseconds bound,
              std::string& cause) {
  Fd fd(::socket(ai.ai_family, ai.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai.ai_protocol));
  if (!fd) {
    cause = std::string("socket: ") + std::strerror(errno);
    return Fd();
  }
  // A non-blocking connect that is interrupted goes on in the background, like
  // one in progress.
  if (::connect(fd.get(), ai.ai_addr, ai.ai_addrlen) != 0 && errno != EINPROGRESS &&
      errno != EINTR) {
    cause = std::string("conexão falhou: ") + std::strerror(errno);
    return Fd();
  }
  try {
    if (!wait_ready(fd.get(), POLLOUT, deadline)) {
      cause = "tempo esgotado na conexão (" + describe_bound(bound) + ")";
      return Fd();
    }
  } catch (const SenderError& e) {
    cause = e.what();
    return Fd();
  }
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
  if (err != 0) {
    cause = std::string("conexão falhou: ") + std::strerror(err);
    return Fd();
  }
  return fd;
}

// The bytes of one exchange over a connected socket: as they are, or through
// a TLS session. Each call does what it can without blocking and says what to
// wait for before the next one.
class Link {
 public:
  Link(int fd, TlsSession* tls) : fd_(fd), tls_(tls) {}

  int fd() const { return fd_; }

  // Removes from `data` what was written.
  IoWait write(std::string_view& data) {
    if (tls_) return tls_->write(data);
    ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
    if (n >= 0) {
      data.remove_prefix(static_cast<std::size_t>(n));
      return IoWait::none;
    }
    if (errno == EINTR) return IoWait::none;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return IoWait::write;
    throw SenderError(std::string("falha no envio: ") + std::strerror(errno));
  }

  // `got` 0 with IoWait::none: the server closed the connection.
  IoWait read(char* buffer, std::size_t size, std::size_t& got) {
    got = 0;
    if (tls_) return tls_->read(buffer, size, got);
    for (;;) {
      ssize_t n = ::recv(fd_, buffer, size, 0);
      if (n >= 0) {
        got = static_cast<std::size_t>(n);
        return IoWait::none;
      }
      if (errno == EAGAIN || errno == EWOULDBLOCK) return IoWait::read;
      if (errno != EINTR)
        throw SenderError(std::string("falha na recepção: ") + std::strerror(errno));
    }
  }

 private:
  int fd_;
  TlsSession* tls_;
};

short poll_events(IoWait wait) {
  return wait == IoWait::read ? POLLIN : POLLOUT;
}

// Runs the TLS handshake on `session` before `deadline`.
void handshake(int fd, TlsSession& session, Clock::time_point deadline,
               std::chrono::milliseconds bound) {
  for (IoWait wait; (wait = session.handshake()) != IoWait::none;) {
    if (!wait_ready(fd, poll_events(wait), deadline)) {
      throw SenderError("tempo esgotado no handshake TLS (" + describe_bound(bound) + ")");
    }
  }
}

void send_all(Link& link, std::string_view data, std::chrono::milliseconds bound) {
  auto deadline = Clock::now() + bound;
  while (!data.empty()) {
    const IoWait wait = link.write(data);
    if (wait != IoWait::none && !wait_ready(link.fd(), poll_events(wait), deadline)) {
      throw SenderError("tempo esgotado no envio (" + describe_bound(bound) + ")");
    }
  }
}

// Reads one reply frame: the header, then exactly the body length it announces.
// Reads before it waits: a TLS session may hold bytes the socket no longer has.
std::string read_reply(Link& link, std::chrono::milliseconds bound) {
  auto deadline = Clock::now() + bound;
  std::string frame;
  std::size_t want = kFrameHeaderSize;
  bool have_header = false;
  char buf[4096];
  while (frame.size() < want) {
    std::size_t got = 0;
    const IoWait wait = link.read(buf, std::min(sizeof buf, want - frame.size()), got);
    if (wait != IoWait::none) {
      if (wait_ready(link.fd(), poll_events(wait), deadline)) continue;
      if (frame.empty()) throw SenderError("sem resposta em " + describe_bound(bound));
      throw SenderError("resposta incompleta em " + describe_bound(bound) + " (" +
                        std::to_string(frame.size()) + " de " + std::to_string(want) + " bytes)");
    }
    if (got == 0) {
      if (frame.empty()) throw SenderError("conexão encerrada sem resposta");
      throw SenderError("conexão encerrada no meio da resposta (" + std::to_string(frame.size()) +
                        " de " + std::to_string(want) + " bytes)");
    }
    frame.append(buf, got);
    if (!have_header && frame.size() == kFrameHeaderSize) {
      want = kFrameHeaderSize + decode_reply_header(frame);
      have_header = true;
    }
  }
  return frame;
}

std::optional<std::int64_t> read_int(std::string_view text) {
  std::int64_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return v;
}

std::optional<double> read_double(std::string_view text) {
  double v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return v;
}

// Blanks, tabs and line ends around a name or a figure of the info text.
std::string_view trim(std::string_view s) {
  constexpr std::string_view blanks = " \t\r\n";
  const std::size_t first = s.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

}  // namespace

std::string value_text(const MetricValue& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return *text;
  if (const auto* whole = std::get_if<std::int64_t>(&value)) return std::to_string(*whole);
  return format_double(std::get<double>(value));
}

std::string encode_request(const std::vector<ZabbixMetric>& metrics) {
  ordered_json data = ordered_json::array();
  for (const auto& m : metrics) {
    check_utf8(m.host, "o nome do host");
    check_utf8(m.key, "a chave do item");
    std::string value = value_text(m.value);
    check_utf8(value, "o valor");
    data.push_back(ordered_json{{"host", m.host}, {"key", m.key}, {"value", std::move(value)}});
  }
  ordered_json request;
  request["request"] = "sender data";
  request["data"] = std::move(data);
  std::string body = request.dump();

  std::string frame(kMagic);
  frame += static_cast<char>(kProtocolFlag);
  auto length = static_cast<std::uint64_t>(body.size());
  for (int i = 0; i < 4; ++i)
    frame += static_cast<char>((length >> (8 * i)) & 0xFF);
  frame.append(4, '\0');
  frame += body;
  return frame;
}

std::size_t decode_reply_header(std::string_view header) {
  if (header.size() < kFrameHeaderSize) {
    throw SenderError("resposta inválida: cabeçalho incompleto (" + std::to_string(header.size()) +
                      " bytes)");
  }
  if (header.substr(0, 4) != kMagic) throw SenderError("resposta inválida: cabeçalho sem \"ZBXD\"");
  auto flag = static_cast<unsigned char>(header[4]);
  if (flag != kProtocolFlag) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string shown = {'0', 'x', hex[flag >> 4], hex[flag & 0xF]};
    throw SenderError("resposta inválida: indicador de protocolo " + shown + " não suportado");
  }
  std::uint64_t length = 0;
  for (int i = 0; i < 4; ++i) {
    length |= std::uint64_t{static_cast<unsigned char>(header[5 + i])} << (8 * i);
  }
  if (length > kMaxReplyLength) {
    throw SenderError("resposta inválida: tamanho anunciado de " + std::to_string(length) +
                      " bytes, acima do limite de " + std::to_string(kMaxReplyLength));
  }
  return static_cast<std::size_t>(length);
}

SendResult decode_reply(std::string_view frame) {
  std::size_t length = decode_reply_header(frame);
  if (frame.size() != kFrameHeaderSize + length) {
    throw SenderError("resposta inválida: " + std::to_string(frame.size() - kFrameHeaderSize) +
                      " bytes de corpo, anunciados " + std::to_string(length));
  }
  auto body = nlohmann::json::parse(frame.substr(kFrameHeaderSize), nullptr, false);
  if (body.is_discarded()) throw SenderError("resposta inválida: corpo não é JSON válido");
  if (!body.is_object() || !body.contains("response")) {
    throw SenderError("resposta inválida: sem o campo \"response\"");
  }
  SendResult result;
  const auto& response = body["response"];
  // dump() recurses: a reply of nested arrays within the length bound would
  // exhaust the stack, so structures are only named by their brackets.
  if (response.is_string()) {
    result.response = response.get<std::string>();
  } else if (response.is_structured()) {
    result.response = response.is_array() ? "[...]" : "{...}";
  } else {
    result.response = response.dump();
  }
  if (auto info = body.find("info"); info != body.end() && info->is_string()) {
    result.info = info->get<std::string>();
  }
  if (result.response != "success") {
    std::string what = "servidor respondeu \"" + console_safe(result.response) + "\"";
    if (!result.info.empty()) what += " (info: \"" + console_safe(result.info) + "\")";
    throw SenderError(what);
  }
  parse_reply_info(result.info, result);
  return result;
}

void parse_reply_info(std::string_view info, SendResult& result) {
  while (!info.empty()) {
    std::size_t semi = info.find(';');
    std::string_view part = info.substr(0, semi);
    info = semi == std::string_view::npos ? std::string_view() : info.substr(semi + 1);
    std::size_t colon = part.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view name = trim(part.substr(0, colon));
    std::string_view figure = trim(part.substr(colon + 1));
    if (name == "processed") {
      result.processed = read_int(figure);
    } else if (name == "failed") {
      result.failed = read_int(figure);
    } else if (name == "total") {
      result.total = read_int(figure);
    } else if (name == "seconds spent") {
      result.seconds_spent = read_double(figure);
    }
  }
}

ZabbixSender::ZabbixSender(std::string server, int port, std::chrono::milliseconds connect_timeout,
                           std::chrono::milliseconds reply_timeout, const TlsClient* tls)
    : server_(std::move(server)),
      port_(port),
      connect_timeout_(connect_timeout),
      reply_timeout_(reply_timeout),
      tls_(tls) {
  if (port_ < 1 || port_ > 65535) {
    throw std::invalid_argument("porta do Zabbix fora do intervalo 1-65535: " +
                                std::to_string(port_));
  }
  if (connect_timeout_.count() < 0 || reply_timeout_.count() < 0) {
    throw std::invalid_argument("limite de tempo negativo para o envio ao Zabbix");
  }
}

SendResult ZabbixSender::send(const std::vector<ZabbixMetric>& metrics) const {
  return exchange(encode_request(metrics));
}

SendResult ZabbixSender::exchange(std::string_view request) const {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  AddrInfoList addresses;
  std::string service = std::to_string(port_);
  int rc = ::getaddrinfo(server_.c_str(), service.c_str(), &hints, &addresses.head);
  if (rc != 0) {
    const char* cause = rc == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(rc);
    throw SenderError(server_ + ": resolução do nome falhou: " + cause);
  }

  // Only a connection that could not be made (TLS handshake included) moves on
  // to the next address: once the request has gone out, another try could file
  // the value twice.
  std::string failures;
  for (const addrinfo* ai = addresses.head; ai; ai = ai->ai_next) {
    const std::string where = numeric_address(ai->ai_addr, ai->ai_addrlen);
    const auto deadline = Clock::now() + connect_timeout_;
    std::string cause;
    Fd fd = connect_to(*ai, deadline, connect_timeout_, cause);
    std::optional<TlsSession> session;
    if (fd && tls_) {
      try {
        session.emplace(tls_->open(fd.get()));
        handshake(fd.get(), *session, deadline, connect_timeout_);
      } catch (const SenderError& e) {  // TlsError too
        cause = e.what();
      }
      if (!cause.empty()) {
        session.reset();
        fd.reset();
      }
    }
    if (!fd) {
      if (!failures.empty()) failures += "; ";
      failures += where + ": " + cause;
      continue;
    }
    try {
      Link link(fd.get(), session ? &*session : nullptr);
      send_all(link, request, reply_timeout_);
      return decode_reply(read_reply(link, reply_timeout_));
    } catch (const SenderError& e) {  // TlsError too
      throw SenderError(where + ": " + e.what());
    }
  }
  throw SenderError(failures);
}

}  // namespace quillet
