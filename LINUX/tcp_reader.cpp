// quillet-tcp [-i ADDRESS]... < TCP-CAPTURE [3< UDP-CAPTURE]: reads the
// captures and writes the DNS queries that each client sent over TCP to port
// 53, as quillet reads them back: "A <address> <TCP queries> <UDP queries>"
// per client, then "S <streams without their start>", "B <streams whose
// framing broke>" and "L <streams left out at the reader's bounds>". The UDP
// count, from every capture read, stands in for dnstop's where its report has
// no row left for the client. Fragments of TCP segments are put back together.
// Sources given with -i (the host's own addresses) are left out. It parses
// strangers' bytes: quillet runs it contained, as it runs dnstop, and it holds
// no more than its bounds whatever the captures hold.
#include <arpa/inet.h>
#include <fcntl.h>
#include <pcap/pcap.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "fragments.h"
#include "tcp_stream.h"

namespace {

constexpr std::uint16_t kDnsPort = 53;
// Sources whose UDP queries are counted; past that, a source's UDP count stays
// unknown (0), which only matters for a TCP client beyond dnstop's rows.
constexpr std::size_t kUdpSources = 4'000'000;
// An extra capture on this descriptor, when open.
constexpr int kSecondCapture = 3;

std::uint16_t be16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}
std::uint32_t be32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}
std::string_view bytes_of(const std::uint8_t* p, std::size_t n) {
  return {reinterpret_cast<const char*>(p), n};
}

struct Reader {
  std::set<std::string, std::less<>> own;  // the addresses left out, as raw bytes
  std::uint64_t seed = quillet::random_seed();
  quillet::TcpQueries queries{{}, seed};
  quillet::FlowTable udp_queries{kUdpSources};  // by the hash of the raw address
  quillet::Reassembly fragments{[this](std::string_view id, std::string_view first) {
    // The addresses lead the id; the ports lead the segment.
    const std::size_t address = id.size() == 11 ? 4 : 16;
    if (first.size() < 4 ||
        be16(reinterpret_cast<const std::uint8_t*>(first.data()) + 2) != kDnsPort)
      return;
    flow.assign(id.substr(0, 2 * address));
    flow.append(first.substr(0, 4));
    queries.lose(flow);
  }};
  std::string flow, fragment_id;

  // A UDP query to port 53: a datagram with a DNS header whose QR bit is 0.
  void udp(std::size_t address, const std::uint8_t* source, const std::uint8_t* datagram,
           std::size_t have) {
    if (have < 8 + 12 || be16(datagram + 2) != kDnsPort || (datagram[8 + 2] & 0x80) != 0) return;
    const std::string_view raw = bytes_of(source, address);
    if (own.find(raw) != own.end()) return;
    bool added = false;
    if (const auto entry = udp_queries.insert(quillet::keyed_hash(raw, seed), 0, 1, added))
      ++entry.value();
  }

  // The TCP segment in an IP packet: `wire` bytes of TCP header and payload on
  // the wire, `have` of them captured.
  void tcp(int family, const std::uint8_t* source, const std::uint8_t* destination,
           const std::uint8_t* segment, std::size_t have, std::size_t wire) {
    if (have < 20 || wire < have) return;
    const std::size_t header = static_cast<std::size_t>(segment[12] >> 4) * 4;
    if (header < 20 || header > have || be16(segment + 2) != kDnsPort) return;
    const std::size_t address = family == AF_INET ? 4 : 16;
    const std::string_view raw = bytes_of(source, address);
    if (own.find(raw) != own.end()) return;
    flow.assign(raw);
    flow.append(bytes_of(destination, address));
    flow.append(bytes_of(segment, 4));  // both ports
    const bool syn = (segment[13] & 0x02) != 0;
    queries.add({flow, raw, be32(segment + 4), syn, bytes_of(segment + header, have - header),
                 static_cast<std::uint32_t>(wire - have)});
  }

  // A fragment of a datagram of `protocol`: into the reassembly, and on when whole.
  void fragment(int family, const std::uint8_t* source, const std::uint8_t* destination,
                const std::uint8_t* ident, std::size_t ident_size, std::uint8_t protocol,
                std::uint32_t offset, bool more, const std::uint8_t* payload, std::size_t have,
                std::size_t wire) {
    if (protocol != IPPROTO_TCP) return;
    const std::size_t address = family == AF_INET ? 4 : 16;
    fragment_id.assign(bytes_of(source, address));
    fragment_id.append(bytes_of(destination, address));
    fragment_id.append(bytes_of(ident, ident_size));
    if (family == AF_INET) fragment_id.push_back(static_cast<char>(protocol));
    const auto whole = fragments.add(fragment_id, offset, more, bytes_of(payload, have),
                                     static_cast<std::uint32_t>(wire - have));
    if (!whole) return;
    const auto* segment = reinterpret_cast<const std::uint8_t*>(whole->data());
    tcp(family, source, destination, segment, whole->size(), whole->size());
  }

  void ipv4(const std::uint8_t* p, std::size_t have) {
    if (have < 20 || (p[0] >> 4) != 4) return;
    const std::size_t header = static_cast<std::size_t>(p[0] & 0x0f) * 4;
    const std::size_t total = be16(p + 2);
    if (header < 20 || total < header || have < header) return;
    const std::size_t captured = std::min(have, total) - header;
    const std::uint16_t fragmentation = be16(p + 6);
    if ((fragmentation & 0x3fff) != 0) {
      fragment(AF_INET, p + 12, p + 16, p + 4, 2, p[9],
               static_cast<std::uint32_t>(fragmentation & 0x1fff) * 8,
               (fragmentation & 0x2000) != 0, p + header, captured, total - header);
      return;
    }
    if (p[9] == IPPROTO_UDP) udp(4, p + 12, p + header, captured);
    if (p[9] == IPPROTO_TCP) tcp(AF_INET, p + 12, p + 16, p + header, captured, total - header);
  }

  void ipv6(const std::uint8_t* p, std::size_t have) {
    if (have < 40 || (p[0] >> 4) != 6) return;
    std::size_t wire = be16(p + 4), at = 40;
    std::uint8_t next = p[6];
    // Hop-by-hop, routing and destination options may stand before the
    // fragment header or TCP.
    while ((next == 0 || next == 43 || next == 60) && at + 8 <= have) {
      const std::size_t length = (static_cast<std::size_t>(p[at + 1]) + 1) * 8;
      if (length > wire) return;
      next = p[at];
      at += length;
      wire -= length;
    }
    if (at > have) return;
    if (next == 44) {
      if (at + 8 > have || wire < 8) return;
      const std::uint16_t fragmentation = be16(p + at + 2);
      fragment(AF_INET6, p + 8, p + 24, p + at + 4, 4, p[at], fragmentation & 0xfff8,
               (fragmentation & 1) != 0, p + at + 8, std::min(have - at, wire) - 8, wire - 8);
      return;
    }
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

  // Every packet of the capture on `file`; false, with the cause on standard
  // error, when it is no capture.
  bool read(FILE* file) {
    char error[PCAP_ERRBUF_SIZE] = {};
    const std::unique_ptr<pcap_t, decltype(&::pcap_close)> capture(
        ::pcap_fopen_offline(file, error), &::pcap_close);
    if (!capture) {
      std::fprintf(stderr, "quillet-tcp: %s\n", error);
      return false;
    }
    const int link = ::pcap_datalink(capture.get());
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    // A last record cut short ends the capture, as it ends dnstop's reading.
    while (::pcap_next_ex(capture.get(), &header, &data) == 1)
      packet(link, data, header->caplen);
    return true;
  }
};

}  // namespace

int main(int argc, char** argv) {
  const auto reader = std::make_unique<Reader>();
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-i") != 0 || i + 1 == argc) {
      std::fprintf(stderr, "uso: quillet-tcp [-i ENDEREÇO]... < captura [3< captura]\n");
      return 2;
    }
    unsigned char raw[16];
    const char* address = argv[++i];
    if (::inet_pton(AF_INET, address, raw) == 1) {
      reader->own.emplace(reinterpret_cast<char*>(raw), 4);
    } else if (::inet_pton(AF_INET6, address, raw) == 1) {
      reader->own.emplace(reinterpret_cast<char*>(raw), 16);
    } else {
      std::fprintf(stderr, "quillet-tcp: '%s' não é um endereço IPv4 ou IPv6\n", address);
      return 2;
    }
  }
  if (::fcntl(kSecondCapture, F_GETFD) >= 0) {
    FILE* second = ::fdopen(kSecondCapture, "rb");
    if (second == nullptr || !reader->read(second)) return 1;
  }
  if (!reader->read(stdin)) return 1;
  for (const auto& [source, count] : reader->queries.counts()) {
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(source.size() == 4 ? AF_INET : AF_INET6, source.data(), text, sizeof text);
    const auto udp = reader->udp_queries.find(quillet::keyed_hash(source, reader->seed));
    std::printf("A %s %lld %lld\n", text, static_cast<long long>(count),
                static_cast<long long>(udp ? udp.value() : 0));
  }
  std::printf("S %lld\nB %lld\nL %lld\n", static_cast<long long>(reader->queries.without_start()),
              static_cast<long long>(reader->queries.broken()),
              static_cast<long long>(reader->queries.left_out()));
  return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}
