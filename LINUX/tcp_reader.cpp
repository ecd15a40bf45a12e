// quillet-tcp [-i ADDRESS]...: reads a capture on standard input and writes
// the DNS queries that each client sent over TCP to port 53, as quillet reads
// them back: "A <address> <TCP queries> <UDP queries>" per client, then
// "S <streams without their start>" and "B <streams whose framing broke>".
// The UDP count stands in for dnstop's where its report has no row left for
// the client. Sources given with -i (the
// host's own addresses) are left out. It parses strangers' bytes: quillet
// runs it contained, as it runs dnstop.
#include <arpa/inet.h>
#include <pcap/pcap.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>

#include "tcp_stream.h"

namespace {

constexpr std::uint16_t kDnsPort = 53;

std::uint16_t be16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}
std::uint32_t be32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

struct Reader {
  std::set<std::string> own;  // the addresses left out, as raw bytes
  quillet::TcpQueries queries;
  std::unordered_map<std::string, std::int64_t> udp_queries;  // by raw address
  std::string flow;

  // A UDP query to port 53: a datagram with a DNS header whose QR bit is 0.
  void udp(std::size_t address, const std::uint8_t* source, const std::uint8_t* datagram,
           std::size_t have) {
    if (have < 8 + 12 || be16(datagram + 2) != kDnsPort || (datagram[8 + 2] & 0x80) != 0) return;
    flow.assign(reinterpret_cast<const char*>(source), address);
    if (own.count(flow) == 0) ++udp_queries[flow];
  }

  // The TCP segment in an IP packet: `header` bytes of addresses, `wire` the
  // bytes of TCP header and payload on the wire, `have` of them captured.
  void tcp(int family, const std::uint8_t* source, const std::uint8_t* destination,
           const std::uint8_t* segment, std::size_t have, std::size_t wire) {
    if (have < 20 || wire < have) return;
    const std::size_t header = static_cast<std::size_t>(segment[12] >> 4) * 4;
    if (header < 20 || header > have || be16(segment + 2) != kDnsPort) return;
    const std::size_t address = family == AF_INET ? 4 : 16;
    flow.assign(reinterpret_cast<const char*>(source), address);
    if (own.count(flow) != 0) return;
    flow.append(reinterpret_cast<const char*>(destination), address);
    flow.append(reinterpret_cast<const char*>(segment), 4);  // both ports
    const bool syn = (segment[13] & 0x02) != 0;
    // The text is needed only where a stream starts.
    char text[INET6_ADDRSTRLEN] = {};
    if (syn && ::inet_ntop(family, source, text, sizeof text) == nullptr) return;
    const std::string_view payload(reinterpret_cast<const char*>(segment + header), have - header);
    queries.add(
        {flow, text, be32(segment + 4), syn, payload, static_cast<std::uint32_t>(wire - have)});
  }

  void ipv4(const std::uint8_t* p, std::size_t have) {
    if (have < 20 || (p[0] >> 4) != 4) return;
    const std::size_t header = static_cast<std::size_t>(p[0] & 0x0f) * 4;
    const std::size_t total = be16(p + 2);
    // A fragment other than the first holds no TCP header; a first fragment
    // is not the whole segment.
    if ((be16(p + 6) & 0x3fff) != 0 || header < 20 || total < header || have < header) return;
    if (p[9] == IPPROTO_UDP) udp(4, p + 12, p + header, std::min(have, total) - header);
    if (p[9] != IPPROTO_TCP) return;
    tcp(AF_INET, p + 12, p + 16, p + header, std::min(have, total) - header, total - header);
  }

  void ipv6(const std::uint8_t* p, std::size_t have) {
    if (have < 40 || (p[0] >> 4) != 6) return;
    std::size_t wire = be16(p + 4), at = 40;
    std::uint8_t next = p[6];
    // Hop-by-hop, routing and destination options may stand before TCP.
    while ((next == 0 || next == 43 || next == 60) && at + 8 <= have) {
      const std::size_t length = (static_cast<std::size_t>(p[at + 1]) + 1) * 8;
      if (length > wire) return;
      next = p[at];
      at += length;
      wire -= length;
    }
    if (at > have) return;
    if (next == IPPROTO_UDP) udp(16, p + 8, p + at, std::min(have - at, wire));
    if (next != IPPROTO_TCP) return;
    tcp(AF_INET6, p + 8, p + 24, p + at, std::min(have - at, wire), wire);
  }

  void ethertype(std::uint16_t type, const std::uint8_t* p, std::size_t have) {
    if (type == 0x0800) ipv4(p, have);
    if (type == 0x86dd) ipv6(p, have);
  }

  void packet(int link, const std::uint8_t* p, std::size_t have) {
    switch (link) {
      case DLT_EN10MB: {
        std::size_t at = 12;
        while (at + 2 <= have && (be16(p + at) == 0x8100 || be16(p + at) == 0x88a8))
          at += 4;  // VLAN tags
        if (at + 2 <= have) ethertype(be16(p + at), p + at + 2, have - at - 2);
        break;
      }
      case DLT_LINUX_SLL:
        if (have >= 16) ethertype(be16(p + 14), p + 16, have - 16);
        break;
      case DLT_LINUX_SLL2:
        if (have >= 20) ethertype(be16(p), p + 20, have - 20);
        break;
      case DLT_RAW:
      case DLT_IPV4:
      case DLT_IPV6:
        if (have > 0) ethertype((p[0] >> 4) == 6 ? 0x86dd : 0x0800, p, have);
        break;
      case DLT_NULL:
      case DLT_LOOP:
        if (have > 4) ethertype((p[4] >> 4) == 6 ? 0x86dd : 0x0800, p + 4, have - 4);
        break;
      default:
        break;
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  Reader reader;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-i") != 0 || i + 1 == argc) {
      std::fprintf(stderr, "uso: quillet-tcp [-i ENDEREÇO]... < captura\n");
      return 2;
    }
    unsigned char raw[16];
    const char* address = argv[++i];
    if (::inet_pton(AF_INET, address, raw) == 1) {
      reader.own.emplace(reinterpret_cast<char*>(raw), 4);
    } else if (::inet_pton(AF_INET6, address, raw) == 1) {
      reader.own.emplace(reinterpret_cast<char*>(raw), 16);
    } else {
      std::fprintf(stderr, "quillet-tcp: '%s' não é um endereço IPv4 ou IPv6\n", address);
      return 2;
    }
  }
  char error[PCAP_ERRBUF_SIZE] = {};
  const std::unique_ptr<pcap_t, decltype(&::pcap_close)> capture(::pcap_fopen_offline(stdin, error),
                                                                 &::pcap_close);
  if (!capture) {
    std::fprintf(stderr, "quillet-tcp: %s\n", error);
    return 1;
  }
  const int link = ::pcap_datalink(capture.get());
  pcap_pkthdr* header = nullptr;
  const u_char* data = nullptr;
  // A last record cut short ends the capture, as it ends dnstop's reading.
  while (::pcap_next_ex(capture.get(), &header, &data) == 1)
    reader.packet(link, data, header->caplen);
  for (const auto& [source, count] : reader.queries.counts()) {
    unsigned char raw[16];
    const bool v4 = ::inet_pton(AF_INET, source.c_str(), raw) == 1;
    if (!v4) ::inet_pton(AF_INET6, source.c_str(), raw);
    const auto udp =
        reader.udp_queries.find(std::string(reinterpret_cast<char*>(raw), v4 ? 4 : 16));
    std::printf("A %s %lld %lld\n", source.c_str(), static_cast<long long>(count),
                static_cast<long long>(udp == reader.udp_queries.end() ? 0 : udp->second));
  }
  std::printf("S %lld\nB %lld\n", static_cast<long long>(reader.queries.without_start()),
              static_cast<long long>(reader.queries.broken()));
  return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}
