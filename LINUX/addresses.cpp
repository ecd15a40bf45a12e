#include "addresses.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "failure.h"

namespace quillet {

std::vector<std::string> interface_addresses() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0)
    throw system_failure("captura", "não foi possível listar os endereços deste host", errno);
  const std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> owned(list, ::freeifaddrs);
  std::vector<std::string> addresses;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    const sockaddr* address = entry->ifa_addr;
    if (address == nullptr) continue;
    char text[INET6_ADDRSTRLEN] = {};
    const void* raw = nullptr;
    if (address->sa_family == AF_INET) {
      raw = &reinterpret_cast<const sockaddr_in*>(address)->sin_addr;
    } else if (address->sa_family == AF_INET6) {
      raw = &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
    } else {
      continue;
    }
    if (::inet_ntop(address->sa_family, raw, text, sizeof text) != nullptr)
      addresses.emplace_back(text);
  }
  std::sort(addresses.begin(), addresses.end());
  addresses.erase(std::unique(addresses.begin(), addresses.end()), addresses.end());
  return addresses;
}

}  // namespace quillet
