// quillet-tcp [-i ADDRESS]... [-t [-c ADDRESS COUNT]...] < TCP-CAPTURE
// [3< UDP-CAPTURE]: reads the captures and writes the DNS queries that each
// client sent over TCP to port 53, as quillet reads them back: "A <address>
// <TCP queries> <UDP queries>" per client, then "S <streams without their
// start>", "B <streams whose framing broke>" and "L <streams left out at the
// reader's bounds>". The UDP count, from every capture read, stands in for
// dnstop's where its report has no row left for the client. Fragments of TCP
// segments are put back together. Sources given with -i (the host's own
// addresses) are left out.
//
// With -t it also tallies what the clients asked (the first question of each
// query, over both transports) and how the server answered them (the
// response codes of the messages that the host's own addresses sent from port
// 53 to a client), and writes after "L": "Q <queries with a question>
// <of them, names past the bounds>", "T <type> <queries>" per query type,
// "N <queries> <name>" for the ten names (second level) asked most, "R" and
// the answers of each of the 16 response codes. Each -c is a row of dnstop's
// Sources table, in its order: the clients that may rank, with every client
// that sends a TCP query. For each row and for the TCP clients that could
// rank past the rows, "C <address>" and its 16 answer counts, then "D
// <address> <queries> <name>" for its three names asked most.
//
// It parses strangers' bytes: quillet runs it contained, as it runs dnstop,
// and it holds no more than its bounds whatever the captures hold.
#include <arpa/inet.h>
#include <fcntl.h>
#include <pcap/pcap.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "dns_message.h"
#include "fragments.h"
#include "tcp_stream.h"

namespace {

constexpr std::uint16_t kDnsPort = 53;
// Sources whose UDP queries are counted; past that, a source's UDP count stays
// unknown (0), which only matters for a TCP client beyond dnstop's rows.
constexpr std::size_t kUdpSources = 4'000'000;
// An extra capture on this descriptor, when open.
constexpr int kSecondCapture = 3;
// The tables' bounds: distinct names (12 bytes each), distinct names of the
// clients that may rank, and those clients (dnstop's rows and the TCP
// clients); past them a name, or a client's tables, are not tallied.
constexpr std::size_t kNames = 4'000'000;
constexpr std::size_t kClientNames = 4'000'000;
constexpr std::size_t kCandidates = 100'000;
constexpr std::size_t kTopNames = 10, kClientTopNames = 3;
// dnstop's report lists 50 rows a table at most; the ranking has twenty.
constexpr std::size_t kReportRows = 50, kRanked = 20;
constexpr std::size_t kRcodes = 16;

std::uint16_t be16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}
std::uint32_t be32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}
std::string_view bytes_of(const std::uint8_t* p, std::size_t n) {
  return {reinterpret_cast<const char*>(p), n};
}

// A client that may rank: its address, whether it is a row of dnstop's, and
// the answers it was sent by response code.
struct Candidate {
  std::string address;
  bool row = false;
  std::array<std::int64_t, kRcodes> rcodes{};
};

// What the clients asked and how the server answered (-t).
struct Tables {
  std::uint64_t seed = quillet::random_seed();
  std::int64_t queries = 0, left_out = 0;
  std::vector<std::int64_t> types = std::vector<std::int64_t>(65536);
  quillet::KeyCounts names{kTopNames, kNames};
  std::array<std::int64_t, kRcodes> rcodes{};
  quillet::FlowTable candidate_of{kCandidates};  // by the address's hash (the reader's seed)
  std::vector<Candidate> candidates;
  quillet::KeyCounts client_names{kClientTopNames, kClientNames};
  std::string name;

  // The candidate of the address of hash `address`, added (a TCP client) when
  // `add` and there is room; nullptr when none.
  Candidate* candidate(std::uint64_t address, std::string_view raw, bool add) {
    bool added = false;
    const auto index = static_cast<std::uint32_t>(candidates.size());
    const auto entry =
        add ? candidate_of.insert(address, index, 1, added) : candidate_of.find(address);
    if (!entry) return nullptr;
    if (added) candidates.push_back({std::string(raw), false, {}});
    return &candidates[entry.value()];
  }

  // A client's query: its question's name and type.
  void query(std::uint64_t address, std::string_view raw, std::string_view message, bool tcp) {
    const std::optional<std::uint16_t> type = quillet::question_name(message, 2, name);
    if (!type) return;
    ++queries;
    ++types[*type];
    const std::uint64_t hash = quillet::keyed_hash(name, seed);
    if (!names.add(0, hash, name)) ++left_out;
    if (Candidate* c = candidate(address, raw, tcp)) {
      const auto owner = static_cast<std::size_t>(c - candidates.data());
      // The owner mixed in: one key per client and name.
      const std::uint64_t pair = quillet::keyed_hash(
          std::string_view(reinterpret_cast<const char*>(&hash), sizeof hash), seed + owner + 1);
      client_names.add(owner, pair, name);
    }
  }

  // The server's answer to a client.
  void answer(std::uint64_t client, std::string_view message) {
    const std::optional<quillet::DnsHeader> header = quillet::dns_header(message);
    if (!header) return;
    ++rcodes[header->rcode];
    if (Candidate* c = candidate(client, {}, false)) ++c->rcodes[header->rcode];
  }
};

struct Reader {
  explicit Reader(bool with_tables)
      : tables(with_tables ? std::make_unique<Tables>() : nullptr),
        queries({}, seed, with_tables ? sink(false) : quillet::TcpQueries::MessageSink{}),
        answers(with_tables
                    ? std::make_unique<quillet::TcpQueries>(quillet::TcpLimits{}, seed, sink(true))
                    : nullptr) {}

  // What a TCP message of the queries' streams (or, `answer`, of the server's
  // answers) tells the tables.
  quillet::TcpQueries::MessageSink sink(bool answer) {
    return [this, answer](std::string_view address, std::string_view head, bool reply) {
      const std::uint64_t hash = quillet::keyed_hash(address, seed);
      if (answer && reply) tables->answer(hash, head);
      if (!answer && !reply) tables->query(hash, address, head, true);
    };
  }

  std::set<std::string, std::less<>> own;  // the addresses left out, as raw bytes
  std::uint64_t seed = quillet::random_seed();
  std::unique_ptr<Tables> tables;  // with -t
  quillet::TcpQueries queries;
  // With the tables, the server's TCP answers: each stream from port 53 to a
  // client framed as the queries are.
  std::unique_ptr<quillet::TcpQueries> answers;
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

  bool is_own(std::string_view raw) const { return own.find(raw) != own.end(); }

  // A UDP query to port 53: a datagram with a DNS header whose QR bit is 0;
  // with the tables, also an answer of the host's from port 53 to a client.
  void udp(std::size_t address, const std::uint8_t* source, const std::uint8_t* destination,
           const std::uint8_t* datagram, std::size_t have) {
    if (have < 8 + 12) return;
    const std::string_view message = bytes_of(datagram + 8, have - 8);
    const bool reply = (datagram[8 + 2] & 0x80) != 0;
    const std::string_view raw = bytes_of(source, address);
    if (!reply && be16(datagram + 2) == kDnsPort) {
      if (is_own(raw)) return;
      const std::uint64_t hash = quillet::keyed_hash(raw, seed);
      bool added = false;
      if (const auto entry = udp_queries.insert(hash, 0, 1, added)) ++entry.value();
      if (tables) tables->query(hash, raw, message, false);
    } else if (tables && reply && be16(datagram) == kDnsPort && is_own(raw)) {
      const std::string_view client = bytes_of(destination, address);
      if (!is_own(client)) tables->answer(quillet::keyed_hash(client, seed), message);
    }
  }

  // The TCP segment in an IP packet: `wire` bytes of TCP header and payload on
  // the wire, `have` of them captured.
  void tcp(int family, const std::uint8_t* source, const std::uint8_t* destination,
           const std::uint8_t* segment, std::size_t have, std::size_t wire) {
    if (have < 20 || wire < have) return;
    const std::size_t header = static_cast<std::size_t>(segment[12] >> 4) * 4;
    if (header < 20 || header > have) return;
    const std::size_t address = family == AF_INET ? 4 : 16;
    const std::string_view raw = bytes_of(source, address);
    quillet::TcpQueries* to = nullptr;
    std::string_view client = raw;
    if (be16(segment + 2) == kDnsPort) {
      if (is_own(raw)) return;
      to = &queries;
    } else if (answers && be16(segment) == kDnsPort && is_own(raw)) {
      client = bytes_of(destination, address);
      if (is_own(client)) return;
      to = answers.get();
    } else {
      return;
    }
    flow.assign(raw);
    flow.append(bytes_of(destination, address));
    flow.append(bytes_of(segment, 4));  // both ports
    const bool syn = (segment[13] & 0x02) != 0;
    to->add({flow, client, be32(segment + 4), syn, bytes_of(segment + header, have - header),
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
    if (p[9] == IPPROTO_UDP) udp(4, p + 12, p + 16, p + header, captured);
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
    if (next == IPPROTO_UDP) udp(16, p + 8, p + 24, p + at, std::min(have - at, wire));
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

// "<address>" as text.
std::string address_text(std::string_view raw) {
  char text[INET6_ADDRSTRLEN] = {};
  ::inet_ntop(raw.size() == 4 ? AF_INET : AF_INET6, raw.data(), text, sizeof text);
  return text;
}

// The raw bytes of an IPv4 or IPv6 address, or nothing.
std::optional<std::string> address_bytes(const char* text) {
  unsigned char raw[16];
  if (::inet_pton(AF_INET, text, raw) == 1) return std::string(reinterpret_cast<char*>(raw), 4);
  if (::inet_pton(AF_INET6, text, raw) == 1) return std::string(reinterpret_cast<char*>(raw), 16);
  return std::nullopt;
}

void print_counts(const std::array<std::int64_t, kRcodes>& counts) {
  for (const std::int64_t n : counts)
    std::printf(" %lld", static_cast<long long>(n));
  std::printf("\n");
}

// The lines of the tables, after the reader's counts.
void print_tables(Reader& reader) {
  const Tables& t = *reader.tables;
  std::printf("Q %lld %lld\n", static_cast<long long>(t.queries),
              static_cast<long long>(t.left_out));
  std::vector<std::pair<std::int64_t, int>> types;
  for (std::size_t type = 0; type < t.types.size(); ++type) {
    if (t.types[type] > 0) types.emplace_back(-t.types[type], static_cast<int>(type));
  }
  std::sort(types.begin(), types.end());
  for (const auto& [count, type] : types)
    std::printf("T %d %lld\n", type, static_cast<long long>(-count));
  for (const auto& kept : t.names.kept(0))
    std::printf("N %lu %s\n", static_cast<unsigned long>(kept.count), kept.text.c_str());
  std::printf("R");
  print_counts(t.rcodes);
  // Every row of dnstop's, then the TCP clients that could rank past them:
  // the twenty greatest by what the ranking will count for them (their TCP
  // queries, and their UDP ones when dnstop's table is full), ties with the
  // twentieth included up to 50.
  std::vector<std::size_t> shown, others;
  std::size_t rows = 0;
  for (std::size_t i = 0; i < t.candidates.size(); ++i) {
    (t.candidates[i].row ? shown : others).push_back(i);
    rows += t.candidates[i].row ? 1 : 0;
  }
  std::unordered_map<std::string, std::int64_t> tcp;
  for (const auto& [source, count] : reader.queries.counts())
    tcp.emplace(source, count);
  std::vector<std::int64_t> total(t.candidates.size());
  for (const std::size_t i : others) {
    const std::string& raw = t.candidates[i].address;
    const auto udp = reader.udp_queries.find(quillet::keyed_hash(raw, reader.seed));
    total[i] = tcp[raw] + (rows >= kReportRows && udp ? udp.value() : 0);
  }
  std::stable_sort(others.begin(), others.end(),
                   [&](std::size_t a, std::size_t b) { return total[a] > total[b]; });
  for (std::size_t k = 0; k < others.size() && k < kReportRows; ++k) {
    if (k >= kRanked && total[others[k]] != total[others[kRanked - 1]]) break;
    shown.push_back(others[k]);
  }
  for (const std::size_t i : shown) {
    const std::string address = address_text(t.candidates[i].address);
    std::printf("C %s", address.c_str());
    print_counts(t.candidates[i].rcodes);
    for (const auto& kept : t.client_names.kept(i)) {
      std::printf("D %s %lu %s\n", address.c_str(), static_cast<unsigned long>(kept.count),
                  kept.text.c_str());
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> own, rows;
  bool tables = false;
  for (int i = 1; i < argc; ++i) {
    const bool valued = std::strcmp(argv[i], "-i") == 0 || std::strcmp(argv[i], "-c") == 0;
    if (std::strcmp(argv[i], "-t") == 0) {
      tables = true;
      continue;
    }
    if (!valued || i + 1 == argc) {
      std::fprintf(stderr,
                   "uso: quillet-tcp [-i ENDEREÇO]... [-t [-c ENDEREÇO]...] < captura [3< "
                   "captura]\n");
      return 2;
    }
    const bool row = argv[i][1] == 'c';
    const char* address = argv[++i];
    const std::optional<std::string> raw = address_bytes(address);
    if (!raw) {
      std::fprintf(stderr, "quillet-tcp: '%s' não é um endereço IPv4 ou IPv6\n", address);
      return 2;
    }
    (row ? rows : own).push_back(*raw);
  }
  if (!rows.empty() && !tables) {
    std::fprintf(stderr, "quillet-tcp: -c só vale com -t\n");
    return 2;
  }
  const auto reader = std::make_unique<Reader>(tables);
  reader->own.insert(own.begin(), own.end());
  for (const std::string& raw : rows) {
    if (Candidate* c = reader->tables->candidate(quillet::keyed_hash(raw, reader->seed), raw, true))
      c->row = true;
  }
  // The TCP capture first: its clients may rank, and their UDP queries count
  // in their tables too.
  if (!reader->read(stdin)) return 1;
  if (::fcntl(kSecondCapture, F_GETFD) >= 0) {
    FILE* second = ::fdopen(kSecondCapture, "rb");
    if (second == nullptr || !reader->read(second)) return 1;
  }
  for (const auto& [source, count] : reader->queries.counts()) {
    const auto udp = reader->udp_queries.find(quillet::keyed_hash(source, reader->seed));
    std::printf("A %s %lld %lld\n", address_text(source).c_str(), static_cast<long long>(count),
                static_cast<long long>(udp ? udp.value() : 0));
  }
  std::printf("S %lld\nB %lld\nL %lld\n", static_cast<long long>(reader->queries.without_start()),
              static_cast<long long>(reader->queries.broken()),
              static_cast<long long>(reader->queries.left_out()));
  if (reader->tables) print_tables(*reader);
  return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}
