#include "tcp_stream.h"

#include <gtest/gtest.h>

#include <string>

namespace quillet {
namespace {

using Counts = std::vector<std::pair<std::string, std::int64_t>>;

// A DNS message of `length` bytes with its prefix; `reply` sets the QR bit.
std::string message(std::uint16_t length, bool reply = false) {
  std::string m(length, 'q');
  m[2] = reply ? '\x80' : '\x01';
  return std::string{static_cast<char>(length >> 8), static_cast<char>(length & 0xff)} + m;
}

constexpr std::uint32_t kIsn = 0xfffffff0;  // the offsets wrap around 2^32

struct Client {
  TcpQueries& queries;
  std::string flow = "flow-1";
  std::string source = "192.0.2.10";
  void syn(std::uint32_t isn = kIsn) { queries.add({flow, source, isn, true, {}, 0}); }
  // Bytes at `offset` from the stream's first byte, the last `missing` cut off.
  void data(std::uint32_t offset, const std::string& bytes, std::uint32_t missing = 0) {
    const std::string_view kept = std::string_view(bytes).substr(0, bytes.size() - missing);
    queries.add({flow, source, kIsn + 1 + offset, false, kept, missing});
  }
};

TEST(TcpQueries, FramesEveryMessageOnceWhateverTheSegments) {
  const std::string two = message(30) + message(40), third = message(20);
  struct Row {
    const char* what;
    void (*send)(Client&, const std::string&, const std::string&);
    std::int64_t expected;
  };
  const Row rows[] = {
      {"pipelined in one segment",
       [](Client& c, const std::string& a, const std::string& b) { c.data(0, a + b); }, 3},
      {"split across segments, inside a prefix too",
       [](Client& c, const std::string& a, const std::string& b) {
         c.data(0, a.substr(0, 33));
         c.data(33, a.substr(33));
         c.data(74, b);
       },
       3},
      {"retransmitted, whole and overlapping",
       [](Client& c, const std::string& a, const std::string& b) {
         c.data(0, a);
         c.data(0, a);
         c.data(10, a.substr(10) + b);
         c.data(74, b);
       },
       3},
      {"out of order",
       [](Client& c, const std::string& a, const std::string& b) {
         c.data(74, b);
         c.data(32, a.substr(32));
         c.data(0, a.substr(0, 40));
       },
       3},
      {"message bodies cut off by the snapshot length",
       [](Client& c, const std::string& a, const std::string& b) {
         c.data(0, a, 20);
         c.data(74, b, 10);
       },
       3},
      {"a reply on the stream is not a query",
       [](Client& c, const std::string& a, const std::string&) {
         c.data(0, a + message(25, true));
       },
       2},
      {"a prefix that claims more than the stream holds",
       [](Client& c, const std::string& a, const std::string&) {
         c.data(0, a + message(60).substr(0, 30));
       },
       2},
      {"a prefix too short for a header ends the framing",
       [](Client& c, const std::string& a, const std::string& b) {
         c.data(0, message(30) + std::string("\0\x05", 2) + a + b);
       },
       1},
      {"a prefix the snapshot cut off ends the framing",
       [](Client& c, const std::string& a, const std::string& b) { c.data(0, a + b, 22); }, 2},
  };
  for (const Row& row : rows) {
    TcpQueries queries;
    Client client{queries};
    client.syn();
    client.syn();  // a repeated SYN
    row.send(client, two, third);
    EXPECT_EQ(queries.counts(), (Counts{{"192.0.2.10", row.expected}})) << row.what;
  }
}

TEST(TcpQueries, StreamsWithoutTheirStartAreLeftOutAndCountedOnce) {
  TcpQueries queries;
  Client late{queries, "flow-late", "192.0.2.20"};
  late.data(0, message(30));
  late.data(32, message(30));
  Client early{queries};
  early.syn();
  early.data(0, message(30));
  // The same ports again, a new connection: its own SYN, its own bytes.
  early.syn(kIsn + 1000);
  early.queries.add({early.flow, early.source, kIsn + 1001, false, message(20), 0});
  EXPECT_EQ(queries.counts(), (Counts{{"192.0.2.10", 2}}));
  EXPECT_EQ(queries.without_start(), 1);
  EXPECT_EQ(queries.broken(), 0);
}

}  // namespace
}  // namespace quillet
