// quillet_flood_gen SCENARIO SCALE DIR: writes the five-second capture of a
// flood into DIR, as tcpdump would have written it on an Ethernet link, and
// what a run must list from it:
//   all.pcap   everything on port 53, cut at 512 bytes (one capture of "port 53")
//   udp.pcap   the UDP packets, cut at 512 bytes (a capture of "udp port 53")
//   tcp.pcap   the TCP packets, whole (a capture of "tcp port 53")
//   *.count    the packets of each file, for the stand-in tcpdump's report
//   truth.txt  per client, its exact query count (UDP + TCP) and share as the
//              listing prints them, the top twenty in order, and the TCP
//              flows that must be left out or carry no query.
// Scenarios: random-names, spoofed, syn-flood, mix. SCALE multiplies every
// count (1 is the full size, 0.001 a smoke test). Deterministic: one seed.
// --within-snapshot leaves out the one TCP segment longer than 512 bytes,
// which a capture cut at 512 bytes cannot count whole.
#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kSnapUdp = 512;
constexpr std::uint32_t kSnapTcp = 65535;
constexpr std::uint32_t kEpoch = 1765000000;  // the window's start, seconds
constexpr double kWindow = 5.0;

void put16(Bytes& b, std::size_t at, std::uint32_t v) {
  b[at] = static_cast<std::uint8_t>(v >> 8);
  b[at + 1] = static_cast<std::uint8_t>(v);
}
void put32(Bytes& b, std::size_t at, std::uint32_t v) {
  put16(b, at, v >> 16);
  put16(b, at + 2, v & 0xffff);
}

std::uint32_t sum16(const std::uint8_t* p, std::size_t n, std::uint32_t sum) {
  for (std::size_t i = 0; i + 1 < n; i += 2)
    sum += static_cast<std::uint32_t>(p[i] << 8 | p[i + 1]);
  if (n % 2 != 0) sum += static_cast<std::uint32_t>(p[n - 1] << 8);
  return sum;
}
std::uint16_t fold(std::uint32_t sum) {
  while (sum >> 16 != 0)
    sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

// An address as the raw bytes of its family.
struct Address {
  bool v6 = false;
  std::array<std::uint8_t, 16> raw{};

  std::string text() const {
    char out[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(v6 ? AF_INET6 : AF_INET, raw.data(), out, sizeof out);
    return out;
  }
  std::size_t size() const { return v6 ? 16 : 4; }
};

Address v4(std::uint32_t a) {
  Address out;
  for (int i = 0; i < 4; ++i)
    out.raw[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(a >> (24 - 8 * i));
  return out;
}
Address v6(std::uint64_t high, std::uint64_t low) {
  Address out;
  out.v6 = true;
  for (int i = 0; i < 8; ++i) {
    out.raw[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(high >> (56 - 8 * i));
    out.raw[static_cast<std::size_t>(8 + i)] = static_cast<std::uint8_t>(low >> (56 - 8 * i));
  }
  return out;
}

const Address kServer4 = v4(0xC6336435);  // 198.51.100.53
const Address kServer6 = v6(0x20010db800000000, 0x53);

// A DNS query message for `name` (dotted), type A.
Bytes query_message(std::uint16_t id, const std::string& name) {
  Bytes m(12, 0);
  put16(m, 0, id);
  put16(m, 2, 0x0100);  // a query, recursion desired
  put16(m, 4, 1);
  std::size_t start = 0;
  while (start < name.size()) {
    const std::size_t dot = std::min(name.find('.', start), name.size());
    m.push_back(static_cast<std::uint8_t>(dot - start));
    m.insert(m.end(), name.begin() + static_cast<std::ptrdiff_t>(start),
             name.begin() + static_cast<std::ptrdiff_t>(dot));
    start = dot + 1;
  }
  m.push_back(0);
  m.insert(m.end(), {0, 1, 0, 1});
  return m;
}

// An Ethernet frame carrying `l4` (a UDP or TCP header and payload, checksum
// field zero) from `src` to the server of its family.
Bytes frame(const Address& src, std::uint8_t proto, Bytes l4, std::uint16_t ip_id) {
  const Address& dst = src.v6 ? kServer6 : kServer4;
  const std::size_t l4len = l4.size();
  // The checksum over the pseudo-header and the segment.
  std::uint32_t sum = sum16(src.raw.data(), src.size(), 0);
  sum = sum16(dst.raw.data(), dst.size(), sum);
  sum += proto + static_cast<std::uint32_t>(l4len);
  sum = sum16(l4.data(), l4len, sum);
  std::uint16_t check = fold(sum);
  if (proto == IPPROTO_UDP && check == 0) check = 0xffff;
  put16(l4, proto == IPPROTO_UDP ? 6 : 16, check);

  Bytes f(14, 0);
  const std::uint8_t dst_mac[6] = {0x02, 0, 0, 0, 0, 0x53};
  const std::uint8_t src_mac[6] = {0x02, 0, 0, 0, 0, 0x01};
  std::memcpy(f.data(), dst_mac, 6);
  std::memcpy(f.data() + 6, src_mac, 6);
  if (src.v6) {
    put16(f, 12, 0x86dd);
    Bytes ip(40, 0);
    ip[0] = 0x60;
    put16(ip, 4, static_cast<std::uint32_t>(l4len));
    ip[6] = proto;
    ip[7] = 64;
    std::memcpy(ip.data() + 8, src.raw.data(), 16);
    std::memcpy(ip.data() + 24, dst.raw.data(), 16);
    f.insert(f.end(), ip.begin(), ip.end());
  } else {
    put16(f, 12, 0x0800);
    Bytes ip(20, 0);
    ip[0] = 0x45;
    put16(ip, 2, static_cast<std::uint32_t>(20 + l4len));
    put16(ip, 4, ip_id);
    put16(ip, 6, 0x4000);  // don't fragment
    ip[8] = 64;
    ip[9] = proto;
    std::memcpy(ip.data() + 12, src.raw.data(), 4);
    std::memcpy(ip.data() + 16, dst.raw.data(), 4);
    put16(ip, 10, fold(sum16(ip.data(), 20, 0)));
    f.insert(f.end(), ip.begin(), ip.end());
  }
  f.insert(f.end(), l4.begin(), l4.end());
  return f;
}

Bytes udp_query(const Address& src, std::uint16_t sport, std::uint16_t id,
                const std::string& name) {
  const Bytes m = query_message(id, name);
  Bytes u(8, 0);
  put16(u, 0, sport);
  put16(u, 2, 53);
  put16(u, 4, static_cast<std::uint32_t>(8 + m.size()));
  u.insert(u.end(), m.begin(), m.end());
  return frame(src, IPPROTO_UDP, std::move(u), id);
}

constexpr std::uint8_t kSyn = 0x02, kAck = 0x10, kPsh = 0x08, kFin = 0x01;

Bytes tcp_segment(const Address& src, std::uint16_t sport, std::uint32_t seq, std::uint8_t flags,
                  const Bytes& payload) {
  Bytes t(20, 0);
  put16(t, 0, sport);
  put16(t, 2, 53);
  put32(t, 4, seq);
  put32(t, 8, (flags & kAck) != 0 ? 1 : 0);
  t[12] = 5 << 4;
  t[13] = flags;
  put16(t, 14, 64240);
  t.insert(t.end(), payload.begin(), payload.end());
  return frame(src, IPPROTO_TCP, std::move(t), static_cast<std::uint16_t>(seq));
}

// The three files and their counts.
class Captures {
 public:
  explicit Captures(const std::string& dir) : dir_(dir) {
    for (int i = 0; i < 3; ++i) {
      const std::string path = dir + "/" + kNames[i] + ".pcap";
      files_[i] = std::fopen(path.c_str(), "wb");
      if (files_[i] == nullptr) throw std::runtime_error("cannot create " + path);
      std::setvbuf(files_[i], nullptr, _IOFBF, 1 << 20);
      const std::uint32_t header[6] = {0xa1b2c3d4, 0x00040002, 0, 0, i == 2 ? kSnapTcp : kSnapUdp,
                                       1};
      std::fwrite(header, sizeof header, 1, files_[i]);
    }
  }
  Captures(const Captures&) = delete;
  Captures& operator=(const Captures&) = delete;

  // The frame at `at` of the window's `of` packets.
  void write(const Bytes& f, bool tcp, std::uint64_t at, std::uint64_t of) {
    const double t = kWindow * static_cast<double>(at) / static_cast<double>(of);
    const auto usec = static_cast<std::uint64_t>(t * 1e6);
    record(0, f, usec);
    record(tcp ? 2 : 1, f, usec);
    if (f.size() > kSnapUdp && tcp) ++cut_;
  }

  void close() {
    for (int i = 0; i < 3; ++i) {
      if (std::fclose(files_[i]) != 0) throw std::runtime_error("cannot write the captures");
      const std::string path = dir_ + "/" + kNames[i] + ".count";
      FILE* out = std::fopen(path.c_str(), "w");
      if (out == nullptr) throw std::runtime_error("cannot create " + path);
      std::fprintf(out, "%" PRIu64 "\n", counts_[i]);
      std::fclose(out);
    }
  }
  std::uint64_t cut() const { return cut_; }

 private:
  static constexpr const char* kNames[3] = {"all", "udp", "tcp"};

  void record(int i, const Bytes& f, std::uint64_t usec) {
    const std::uint32_t snap = i == 2 ? kSnapTcp : kSnapUdp;
    const auto len = static_cast<std::uint32_t>(f.size());
    const std::uint32_t h[4] = {kEpoch + static_cast<std::uint32_t>(usec / 1000000),
                                static_cast<std::uint32_t>(usec % 1000000), std::min(len, snap),
                                len};
    std::fwrite(h, sizeof h, 1, files_[i]);
    std::fwrite(f.data(), 1, std::min(len, snap), files_[i]);
    ++counts_[i];
  }

  std::string dir_;
  std::array<FILE*, 3> files_{};
  std::array<std::uint64_t, 3> counts_{};
  std::uint64_t cut_ = 0;
};

// What goes into the window, before it is shuffled into one.
enum class Kind : std::uint8_t { random_name, fixed_name, spoofed, syn, tcp_client };

struct Event {
  Kind kind;
  std::uint32_t client;  // index into the clients, or the spoofed source's number
};

struct Client {
  Address address;
  std::string name;  // what it asks for
  std::int64_t udp = 0;
  std::int64_t tcp = 0;
};

struct Plan {
  std::vector<Client> clients;
  std::vector<Event> events;
  std::vector<Bytes> tcp_packets;  // of the real TCP clients, in flow order
  std::int64_t spoofed = 0;
  std::int64_t tcp_flows = 0, tcp_flows_without_query = 0, tcp_before_window = 0;
};

std::mt19937_64 rng(20261210);
bool within_snapshot = false;

std::uint64_t scaled(double n, double scale) {
  return std::max<std::uint64_t>(1, static_cast<std::uint64_t>(n * scale + 0.5));
}

// `n` clients whose UDP counts share `total` in distinct steps (n, n-1, ... 1
// parts, at least 4 queries a part), at addresses from `first` on; every
// fourth one IPv6 if `mixed`.
void add_udp_clients(Plan& p, std::size_t n, std::uint64_t total, std::uint32_t first, bool mixed,
                     Kind kind, const std::string& name) {
  const std::uint64_t parts = n * (n + 1) / 2;
  total = std::max<std::uint64_t>(total, parts * 4);
  std::uint64_t given = 0;
  const std::size_t base = p.clients.size();
  for (std::size_t i = 0; i < n; ++i) {
    Client c;
    const auto number = static_cast<std::uint32_t>(first + i);
    c.address = mixed && i % 4 == 3 ? v6(0x20010db800010000, number) : v4(number);
    c.name = name;
    c.udp = static_cast<std::int64_t>(total * (n - i) / parts);
    given += static_cast<std::uint64_t>(c.udp);
    p.clients.push_back(c);
  }
  p.clients[base].udp += static_cast<std::int64_t>(total - given);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::int64_t q = 0; q < p.clients[base + i].udp; ++q)
      p.events.push_back({kind, static_cast<std::uint32_t>(base + i)});
  }
}

void add_spoofed(Plan& p, std::uint64_t n) {
  p.spoofed = static_cast<std::int64_t>(n);
  for (std::uint64_t i = 0; i < n; ++i)
    p.events.push_back({Kind::spoofed, static_cast<std::uint32_t>(i)});
}

void add_syns(Plan& p, std::uint64_t n) {
  p.tcp_flows += static_cast<std::int64_t>(n);
  p.tcp_flows_without_query += static_cast<std::int64_t>(n);
  for (std::uint64_t i = 0; i < n; ++i)
    p.events.push_back({Kind::syn, 0});
}

Bytes framed(std::uint16_t id, const std::string& name) {
  const Bytes m = query_message(id, name);
  Bytes out(2, 0);
  put16(out, 0, static_cast<std::uint32_t>(m.size()));
  out.insert(out.end(), m.begin(), m.end());
  return out;
}

// Real TCP clients: connections with pipelined queries, some split across
// segments, one segment of 20 queries (over 512 bytes), a retransmission and
// an out-of-order pair; connections without data; connections that began
// before the window (data only, not counted).
void add_tcp_clients(Plan& p, std::size_t n, std::uint64_t queries_each, std::uint32_t first) {
  std::vector<std::vector<Bytes>> flows;
  for (std::size_t i = 0; i < n; ++i) {
    Client c;
    const auto number = static_cast<std::uint32_t>(first + i);
    c.address = i % 3 == 2 ? v6(0x20010db800020000, number) : v4(number);
    c.name = "tcp" + std::to_string(i) + ".example.org";
    // Distinct counts: each client a few queries fewer than the one before.
    const std::uint64_t target = queries_each - i * std::max<std::uint64_t>(1, queries_each / 20);
    const std::size_t index = p.clients.size();
    p.clients.push_back(c);
    std::uint16_t port = 20000;
    std::uint64_t sent = 0;
    while (sent < target) {
      std::vector<Bytes> flow;
      const std::uint32_t isn = static_cast<std::uint32_t>(rng());
      ++port;
      flow.push_back(tcp_segment(c.address, port, isn, kSyn, {}));
      flow.push_back(tcp_segment(c.address, port, isn + 1, kAck, {}));
      std::uint32_t seq = isn + 1;
      // Up to 100 queries a connection, in segments of 1 to 12 of them: each
      // within the 512-byte snapshot.
      const std::uint64_t in_flow = std::min<std::uint64_t>(target - sent, 100);
      std::uint64_t done = 0;
      std::vector<Bytes> segments;
      while (done < in_flow) {
        const std::uint64_t k = std::min<std::uint64_t>(in_flow - done, 1 + rng() % 12);
        Bytes payload;
        for (std::uint64_t q = 0; q < k; ++q) {
          const Bytes m = framed(static_cast<std::uint16_t>(rng()), c.name);
          payload.insert(payload.end(), m.begin(), m.end());
        }
        done += k;
        // Every third segment is split in two, mid-message.
        if (segments.size() % 3 == 1 && payload.size() > 10) {
          const std::size_t half = payload.size() / 2 + 1;
          segments.emplace_back(payload.begin(),
                                payload.begin() + static_cast<std::ptrdiff_t>(half));
          segments.emplace_back(payload.begin() + static_cast<std::ptrdiff_t>(half), payload.end());
        } else {
          segments.push_back(std::move(payload));
        }
      }
      std::vector<Bytes> data;
      for (const Bytes& s : segments) {
        data.push_back(tcp_segment(c.address, port, seq, kAck | kPsh, s));
        seq += static_cast<std::uint32_t>(s.size());
      }
      // The client's first connection: a retransmission and a swapped pair.
      if (sent == 0 && data.size() >= 3) {
        data.insert(data.begin() + 1, data[0]);
        std::swap(data[2], data[3]);
      }
      flow.insert(flow.end(), data.begin(), data.end());
      flow.push_back(tcp_segment(c.address, port, seq, kAck | kFin, {}));
      flows.push_back(std::move(flow));
      sent += in_flow;
      ++p.tcp_flows;
    }
    p.clients[index].tcp = static_cast<std::int64_t>(sent);
    // Some also ask over UDP.
    if (i % 2 == 0) {
      p.clients[index].udp = static_cast<std::int64_t>(target / 4 + i);
      for (std::int64_t q = 0; q < p.clients[index].udp; ++q)
        p.events.push_back({Kind::fixed_name, static_cast<std::uint32_t>(index)});
    }
  }
  // The first client: one segment of exactly 20 pipelined queries, over the
  // 512-byte snapshot, in a connection of its own.
  if (!within_snapshot) {
    Client& c = p.clients[p.clients.size() - n];
    std::vector<Bytes> flow;
    const std::uint32_t isn = static_cast<std::uint32_t>(rng());
    flow.push_back(tcp_segment(c.address, 30000, isn, kSyn, {}));
    Bytes payload;
    for (int q = 0; q < 20; ++q) {
      const Bytes m = framed(static_cast<std::uint16_t>(q), c.name);
      payload.insert(payload.end(), m.begin(), m.end());
    }
    flow.push_back(tcp_segment(c.address, 30000, isn + 1, kAck | kPsh, payload));
    flow.push_back(tcp_segment(
        c.address, 30000, isn + 1 + static_cast<std::uint32_t>(payload.size()), kAck | kFin, {}));
    flows.push_back(std::move(flow));
    c.tcp += 20;
    ++p.tcp_flows;
  }
  // Connections that carry no query, and three that began before the window.
  const Client& last = p.clients.back();
  for (std::uint16_t k = 0; k < 5; ++k) {
    const std::uint32_t isn = static_cast<std::uint32_t>(rng());
    const auto port = static_cast<std::uint16_t>(31000 + k);
    flows.push_back({tcp_segment(last.address, port, isn, kSyn, {}),
                     tcp_segment(last.address, port, isn + 1, kAck, {}),
                     tcp_segment(last.address, port, isn + 1, kAck | kFin, {})});
    ++p.tcp_flows;
    ++p.tcp_flows_without_query;
  }
  for (std::uint16_t k = 0; k < 3; ++k) {
    const auto port = static_cast<std::uint16_t>(32000 + k);
    std::uint32_t seq = static_cast<std::uint32_t>(rng());
    std::vector<Bytes> flow;
    for (int q = 0; q < 5; ++q) {
      const Bytes m = framed(static_cast<std::uint16_t>(q), last.name);
      flow.push_back(tcp_segment(last.address, port, seq, kAck | kPsh, m));
      seq += static_cast<std::uint32_t>(m.size());
    }
    flows.push_back(std::move(flow));
    ++p.tcp_flows;
    ++p.tcp_before_window;
  }
  // The flows interleaved, each in its own order.
  std::vector<std::size_t> order;
  for (std::size_t f = 0; f < flows.size(); ++f)
    order.insert(order.end(), flows[f].size(), f);
  std::shuffle(order.begin(), order.end(), rng);
  std::vector<std::size_t> next(flows.size(), 0);
  for (const std::size_t f : order) {
    p.tcp_packets.push_back(std::move(flows[f][next[f]++]));
    p.events.push_back({Kind::tcp_client, 0});
  }
}

std::string random_label() {
  static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string label(12, 'a');
  std::generate(label.begin(), label.end(), [] { return kAlphabet[rng() % 36]; });
  return label;
}

Plan plan(const std::string& scenario, double scale) {
  Plan p;
  if (scenario == "random-names") {
    add_udp_clients(p, 20, scaled(5e6, scale), 0xCB007101, false, Kind::random_name, "");
  } else if (scenario == "spoofed") {
    add_spoofed(p, scaled(1e6, scale));
    add_udp_clients(p, 30, scaled(1.4e5, scale), 0xC6336401, true, Kind::fixed_name,
                    "www.example.com");
  } else if (scenario == "syn-flood") {
    add_syns(p, scaled(6e6, scale));
    add_udp_clients(p, 20, scaled(2e5, scale), 0xC6336401, true, Kind::fixed_name,
                    "www.example.com");
  } else if (scenario == "mix") {
    add_udp_clients(p, 5, scaled(1.5e6, scale), 0xCB007101, false, Kind::random_name, "");
    add_spoofed(p, scaled(4e5, scale));
    add_syns(p, scaled(2e6, scale));
    add_udp_clients(p, 10, scaled(1.2e5, scale), 0xC6336401, true, Kind::fixed_name,
                    "www.example.com");
    add_tcp_clients(p, 8, scaled(2e4, scale) + 200, 0xC6336501);
  } else {
    throw std::runtime_error("unknown scenario " + scenario);
  }
  return p;
}

void write_truth(const Plan& p, const std::string& dir, std::uint64_t cut) {
  std::int64_t udp = p.spoofed, tcp = 0;
  for (const Client& c : p.clients) {
    udp += c.udp;
    tcp += c.tcp;
  }
  const std::int64_t total = udp + tcp;
  std::vector<const Client*> ranked;
  for (const Client& c : p.clients) {
    if (c.udp + c.tcp > 0) ranked.push_back(&c);
  }
  std::stable_sort(ranked.begin(), ranked.end(), [](const Client* a, const Client* b) {
    return a->udp + a->tcp > b->udp + b->tcp;
  });
  const std::size_t listed = std::min<std::size_t>(20, ranked.size());
  // Equal counts would leave the order to dnstop: the plans avoid them, and
  // the spoofed sources' single queries rank below every client.
  for (std::size_t i = 1; i < std::min(ranked.size(), listed + 1); ++i) {
    if (ranked[i]->udp + ranked[i]->tcp == ranked[i - 1]->udp + ranked[i - 1]->tcp)
      throw std::runtime_error("two clients with the same count in the top twenty");
  }
  if (listed < 20 && p.spoofed > 0) throw std::runtime_error("spoofed sources would be listed");
  const std::string path = dir + "/truth.txt";
  FILE* out = std::fopen(path.c_str(), "w");
  if (out == nullptr) throw std::runtime_error("cannot create " + path);
  std::fprintf(out, "udp_queries %" PRId64 "\ntcp_queries %" PRId64 "\n", udp, tcp);
  std::fprintf(out, "clients %zu\nspoofed_sources %" PRId64 "\n", p.clients.size(), p.spoofed);
  std::fprintf(out, "tcp_flows %" PRId64 "\ntcp_flows_without_query %" PRId64 "\n", p.tcp_flows,
               p.tcp_flows_without_query);
  std::fprintf(out, "tcp_before_window %" PRId64 "\ntcp_segments_over_512 %" PRIu64 "\n",
               p.tcp_before_window, cut);
  for (std::size_t i = 0; i < listed; ++i) {
    const Client& c = *ranked[i];
    const double share = 100.0 * static_cast<double>(c.udp + c.tcp) / static_cast<double>(total);
    std::fprintf(out, "listed %s %" PRId64 " %.1f\n", c.address.text().c_str(), c.udp + c.tcp,
                 share);
  }
  std::fclose(out);
}

void generate(const std::string& scenario, double scale, const std::string& dir) {
  Plan p = plan(scenario, scale);
  std::shuffle(p.events.begin(), p.events.end(), rng);
  Captures out(dir);
  const std::uint64_t of = p.events.size();
  std::size_t next_tcp = 0;
  std::uint64_t at = 0;
  for (const Event& e : p.events) {
    const auto sport = static_cast<std::uint16_t>(1024 + rng() % 64000);
    const auto id = static_cast<std::uint16_t>(rng());
    switch (e.kind) {
      case Kind::random_name:
        out.write(
            udp_query(p.clients[e.client].address, sport, id, random_label() + ".victim.example"),
            false, at, of);
        break;
      case Kind::fixed_name:
        out.write(udp_query(p.clients[e.client].address, sport, id, p.clients[e.client].name),
                  false, at, of);
        break;
      case Kind::spoofed:
        // An odd multiplier is a bijection of the 24 bits: distinct sources.
        out.write(udp_query(v4(0x0A000000 | ((e.client * 0x9E3779B1u) & 0xFFFFFF)), sport, id,
                            "example.com"),
                  false, at, of);
        break;
      case Kind::syn:
        out.write(tcp_segment(v6(0x20010db8ffff0000 | (rng() & 0xffff), rng()), sport,
                              static_cast<std::uint32_t>(rng()), kSyn, {}),
                  true, at, of);
        break;
      case Kind::tcp_client:
        out.write(p.tcp_packets[next_tcp++], true, at, of);
        break;
    }
    ++at;
  }
  out.close();
  write_truth(p, dir, out.cut());
}

}  // namespace

int main(int argc, char** argv) {
  within_snapshot = argc > 1 && std::strcmp(argv[1], "--within-snapshot") == 0;
  if (within_snapshot) {
    --argc;
    ++argv;
  }
  if (argc != 4) {
    std::fprintf(stderr,
                 "usage: quillet_flood_gen [--within-snapshot] random-names|spoofed|syn-flood|mix "
                 "SCALE DIR\n");
    return 2;
  }
  try {
    generate(argv[1], std::strtod(argv[2], nullptr), argv[3]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quillet_flood_gen: %s\n", e.what());
    return 1;
  }
  return 0;
}
