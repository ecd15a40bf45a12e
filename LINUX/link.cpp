#include "link.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>

#include <cerrno>
#include <cstring>

namespace quillet {

namespace {

// The remaining time until `deadline` in whole milliseconds, rounded up, for poll.
int remaining_ms(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
}

}  // namespace

std::string describe_bound(std::chrono::milliseconds bound) {
  if (bound.count() % 1000 == 0) return std::to_string(bound.count() / 1000) + " s";
  return std::to_string(bound.count()) + " ms";
}

bool wait_ready(int fd, IoWait wait, Clock::time_point deadline) {
  const short events = wait == IoWait::read ? POLLIN : POLLOUT;
  for (;;) {
    pollfd p{.fd = fd, .events = events, .revents = 0};
    int n = ::poll(&p, 1, remaining_ms(deadline));
    if (n > 0) return true;
    if (n == 0) {
      if (Clock::now() >= deadline) return false;
      continue;
    }
    if (errno != EINTR) throw ExchangeError(std::string("poll: ") + std::strerror(errno));
  }
}

std::string numeric_address(const sockaddr* address, socklen_t length) {
  char host[NI_MAXHOST];
  char serv[NI_MAXSERV];
  if (::getnameinfo(address, length, host, sizeof host, serv, sizeof serv,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return "?";
  }
  if (address->sa_family == AF_INET6) return std::string("[") + host + "]:" + serv;
  return std::string(host) + ":" + serv;
}

std::optional<SourceAddress> source_address(const std::string& text) {
  SourceAddress source;
  source.text = text;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&source.address);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&source.address);
  if (::inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    source.length = sizeof(sockaddr_in);
  } else if (::inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    source.length = sizeof(sockaddr_in6);
  } else {
    return std::nullopt;
  }
  return source;
}

Fd connect_to(const sockaddr* address, socklen_t length, Clock::time_point deadline,
              std::chrono::milliseconds bound, const SourceAddress* source) {
  if (source && source->address.ss_family != address->sa_family) {
    const auto family = [](sa_family_t f) { return f == AF_INET6 ? "IPv6" : "IPv4"; };
    throw ExchangeError(std::string("endereço ") + family(address->sa_family) +
                        ", mas o endereço de origem " + source->text + " (SourceIP) é " +
                        family(source->address.ss_family));
  }
  Fd fd(::socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) throw ExchangeError(std::string("socket: ") + std::strerror(errno));
  if (source) {
    // The port is chosen at connect, for the whole four-tuple: binding alone
    // would take a port of its own from the ephemeral range for every socket.
    const int one = 1;
    ::setsockopt(fd.get(), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&source->address), source->length) !=
        0) {
      throw ExchangeError("não foi possível usar o endereço de origem " + source->text +
                          " (SourceIP): " + std::strerror(errno));
    }
  }
  // A non-blocking connect that is interrupted goes on in the background, like
  // one in progress.
  if (::connect(fd.get(), address, length) != 0 && errno != EINPROGRESS && errno != EINTR) {
    throw ExchangeError(std::string("conexão falhou: ") + std::strerror(errno));
  }
  if (!wait_ready(fd.get(), IoWait::write, deadline)) {
    throw ExchangeError("tempo esgotado na conexão (" + describe_bound(bound) + ")");
  }
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
  if (err != 0) throw ExchangeError(std::string("conexão falhou: ") + std::strerror(err));
  return fd;
}

IoWait PlainLink::write(std::string_view& data) {
  ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
  if (n >= 0) {
    data.remove_prefix(static_cast<std::size_t>(n));
    return IoWait::none;
  }
  if (errno == EINTR) return IoWait::none;
  if (errno == EAGAIN || errno == EWOULDBLOCK) return IoWait::write;
  throw ExchangeError(std::string("falha no envio: ") + std::strerror(errno));
}

IoWait PlainLink::read(char* buffer, std::size_t size, std::size_t& got) {
  got = 0;
  for (;;) {
    ssize_t n = ::recv(fd_, buffer, size, 0);
    if (n >= 0) {
      got = static_cast<std::size_t>(n);
      return IoWait::none;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) return IoWait::read;
    if (errno != EINTR)
      throw ExchangeError(std::string("falha na recepção: ") + std::strerror(errno));
  }
}

void send_all(Link& link, std::string_view data, std::chrono::milliseconds bound) {
  auto deadline = Clock::now() + bound;
  while (!data.empty()) {
    const IoWait wait = link.write(data);
    if (wait != IoWait::none && !wait_ready(link.fd(), wait, deadline)) {
      throw ExchangeError("tempo esgotado no envio (" + describe_bound(bound) + ")");
    }
  }
}

}  // namespace quillet
