// quillet_flood_send send IFACE DST_MAC RATE COUNT SECONDS CLIENTS
//   Sends COUNT DNS queries over UDP (one Ethernet frame each, raw, into
//   IFACE) at RATE a second (0: as fast as it can), from CLIENTS addresses
//   198.51.100.1 on, in turn, to 198.51.100.53; stops after SECONDS at the
//   latest. Prints "sent N seconds S".
// quillet_flood_send count FILE
//   Prints the number of whole packet records in the pcap file FILE.
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::uint16_t checksum(const std::uint8_t* p, std::size_t n) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < n; i += 2)
    sum += static_cast<std::uint32_t>(p[i] << 8 | p[i + 1]);
  while (sum >> 16 != 0)
    sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

void put16(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}

// A query for www.example.com from 198.51.100.<client>; the UDP checksum is
// left 0 (none), as IPv4 allows.
std::vector<std::uint8_t> query_frame(const std::uint8_t* dst_mac, unsigned client,
                                      std::uint16_t id) {
  static const std::uint8_t kQuestion[] = {3,   'w', 'w', 'w', 7,   'e', 'x', 'a', 'm', 'p', 'l',
                                           'e', 3,   'c', 'o', 'm', 0,   0,   1,   0,   1};
  std::vector<std::uint8_t> f(14 + 20 + 8 + 12 + sizeof kQuestion, 0);
  std::memcpy(f.data(), dst_mac, 6);
  const std::uint8_t src_mac[6] = {0x02, 0, 0, 0, 0x01, static_cast<std::uint8_t>(client)};
  std::memcpy(f.data() + 6, src_mac, 6);
  put16(f.data() + 12, ETHERTYPE_IP);
  std::uint8_t* ip = f.data() + 14;
  ip[0] = 0x45;
  put16(ip + 2, static_cast<std::uint32_t>(f.size() - 14));
  put16(ip + 4, id);
  ip[8] = 64;
  ip[9] = IPPROTO_UDP;
  const std::uint8_t src[4] = {198, 51, 100, static_cast<std::uint8_t>(client)};
  const std::uint8_t dst[4] = {198, 51, 100, 53};
  std::memcpy(ip + 12, src, 4);
  std::memcpy(ip + 16, dst, 4);
  put16(ip + 10, checksum(ip, 20));
  std::uint8_t* udp = ip + 20;
  put16(udp, 1024 + id % 60000);
  put16(udp + 2, 53);
  put16(udp + 4, static_cast<std::uint32_t>(f.size() - 34));
  std::uint8_t* dns = udp + 8;
  put16(dns, id);
  put16(dns + 2, 0x0100);
  put16(dns + 4, 1);
  std::memcpy(dns + 12, kQuestion, sizeof kQuestion);
  return f;
}

int send(const char* iface, const char* mac_text, double rate, long count, double seconds,
         unsigned clients) {
  std::uint8_t mac[6];
  if (std::sscanf(mac_text, "%hhx:%hhx:%hhx:%hhx:%hhx:%hhx", &mac[0], &mac[1], &mac[2], &mac[3],
                  &mac[4], &mac[5]) != 6 ||
      clients < 1 || clients > 200) {
    std::fprintf(stderr, "quillet_flood_send: bad MAC address or number of clients\n");
    return 2;
  }
  const int fd = ::socket(AF_PACKET, SOCK_RAW, 0);  // sends only: no protocol to receive
  if (fd < 0) {
    std::perror("socket(AF_PACKET)");
    return 1;
  }
  const int one = 1;
  // Straight to the driver: the qdisc would drop, uncounted here.
  ::setsockopt(fd, SOL_PACKET, PACKET_QDISC_BYPASS, &one, sizeof one);
  sockaddr_ll to{};
  to.sll_family = AF_PACKET;
  to.sll_ifindex = static_cast<int>(::if_nametoindex(iface));
  to.sll_halen = 6;
  std::memcpy(to.sll_addr, mac, 6);
  if (to.sll_ifindex == 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    std::perror(iface);
    return 1;
  }
  constexpr std::size_t kFrames = 4096, kBatch = 64;
  std::vector<std::vector<std::uint8_t>> frames;
  for (std::size_t i = 0; i < kFrames; ++i)
    frames.push_back(query_frame(mac, 1 + static_cast<unsigned>(i % clients),
                                 static_cast<std::uint16_t>(i * 7919)));
  std::vector<iovec> iov(kFrames);
  std::vector<mmsghdr> msgs(kFrames);
  for (std::size_t i = 0; i < kFrames; ++i) {
    iov[i] = {frames[i].data(), frames[i].size()};
    msgs[i] = {};
    msgs[i].msg_hdr.msg_iov = &iov[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
  }
  // Pauses of microseconds, not the default 50 µs of slack.
  ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  long sent = 0;
  const auto start = Clock::now();
  const auto stop = start + std::chrono::duration<double>(seconds);
  while (sent < count) {
    const auto now = Clock::now();
    if (now >= stop) break;
    std::size_t n = std::min<std::size_t>(kBatch, static_cast<std::size_t>(count - sent));
    if (rate > 0) {
      // What is due by now, in batches of at most kBatch.
      const double elapsed = std::chrono::duration<double>(now - start).count();
      const auto due = static_cast<long>(elapsed * rate) + 1 - sent;
      if (due <= 0) {
        std::this_thread::sleep_until(
            start + std::chrono::duration<double>(static_cast<double>(sent) / rate));
        continue;
      }
      n = std::min(n, static_cast<std::size_t>(due));
    }
    const std::size_t at = static_cast<std::size_t>(sent) % kFrames;
    n = std::min(n, kFrames - at);
    const int done = ::sendmmsg(fd, &msgs[at], static_cast<unsigned>(n), 0);
    if (done > 0) {
      sent += done;
    } else if (errno != ENOBUFS && errno != EAGAIN && errno != EINTR) {
      std::perror("sendmmsg");
      return 1;
    }
  }
  const double took = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("sent %ld seconds %.3f\n", sent, took);
  ::close(fd);
  return 0;
}

int count(const char* path) {
  FILE* in = std::fopen(path, "rb");
  if (in == nullptr) {
    std::perror(path);
    return 1;
  }
  std::uint32_t header[6];
  long records = 0;
  if (std::fread(header, sizeof header, 1, in) == 1) {
    const bool swapped = header[0] == 0xd4c3b2a1 || header[0] == 0x4d3cb2a1;
    std::uint32_t h[4];
    std::vector<char> skip(1 << 16);
    while (std::fread(h, sizeof h, 1, in) == 1) {
      const std::uint32_t caplen = swapped ? __builtin_bswap32(h[2]) : h[2];
      if (caplen > skip.size() || std::fread(skip.data(), 1, caplen, in) != caplen) break;
      ++records;
    }
  }
  std::fclose(in);
  std::printf("%ld\n", records);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 8 && std::strcmp(argv[1], "send") == 0) {
    return send(argv[2], argv[3], std::strtod(argv[4], nullptr), std::strtol(argv[5], nullptr, 10),
                std::strtod(argv[6], nullptr),
                static_cast<unsigned>(std::strtoul(argv[7], nullptr, 10)));
  }
  if (argc == 3 && std::strcmp(argv[1], "count") == 0) return count(argv[2]);
  std::fprintf(stderr,
               "usage: quillet_flood_send send IFACE DST_MAC RATE COUNT SECONDS CLIENTS\n"
               "       quillet_flood_send count FILE\n");
  return 2;
}
