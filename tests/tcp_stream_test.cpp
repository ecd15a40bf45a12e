#include "tcp_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
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
      {"twenty pipelined in one segment of 700 bytes",
       [](Client& c, const std::string&, const std::string&) {
         std::string twenty;
         for (int i = 0; i < 20; ++i)
           twenty += message(33);
         c.data(0, twenty);
       },
       20},
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

// Each bound, once reached, leaves out the connection that would pass it, once,
// and keeps counting the streams it holds.
TEST(TcpQueries, PastItsBoundsAConnectionIsLeftOutAndCountedOnce) {
  const auto flood = [](TcpQueries& queries, int syns) {
    for (int i = 0; i < syns; ++i) {
      const std::string flow = "syn-" + std::to_string(i);
      queries.add({flow, flow, 7, true, {}, 0});
      queries.add({flow, flow, 7, true, {}, 0});  // its retransmission
    }
  };
  TcpQueries flows({.flows = 4});
  Client held{flows};
  held.syn();
  flood(flows, 5);  // 3 held, 2 left out
  held.data(0, message(30));
  Client late{flows, "flow-late"};
  late.syn();
  late.data(0, message(30));
  EXPECT_EQ(flows.counts(), (Counts{{"192.0.2.10", 1}}));
  EXPECT_EQ(flows.left_out(), 5);       // each SYN that found no room, a repeated one too
  EXPECT_EQ(flows.without_start(), 0);  // the late stream's bytes, with no room, are not told

  TcpQueries streams({.streams = 1});
  Client first{streams}, second{streams, "flow-2"};
  first.syn();
  second.syn();
  flood(streams, 100);  // SYNs alone take no stream
  first.data(0, message(30));
  second.data(0, message(30));
  second.data(32, message(30));
  EXPECT_EQ(streams.counts(), (Counts{{"192.0.2.10", 1}}));
  EXPECT_EQ(streams.left_out(), 1);

  TcpQueries pending({.pending_bytes = 100});
  Client ahead{pending}, behind{pending, "flow-2"};
  ahead.syn();
  behind.syn();
  ahead.data(32, message(60));   // 62 bytes waiting
  behind.data(32, message(60));  // 124 in all: left out
  ahead.data(0, message(30));
  behind.data(0, message(30));
  EXPECT_EQ(pending.counts(), (Counts{{"192.0.2.10", 2}}));
  EXPECT_EQ(pending.left_out(), 1);

  // A segment that could not be put back together stops its stream.
  TcpQueries lost;
  Client cut{lost};
  cut.syn();
  cut.data(0, message(30));
  lost.lose(cut.flow);
  cut.data(32, message(30));
  lost.lose("flow-unknown");
  EXPECT_EQ(lost.counts(), (Counts{{"192.0.2.10", 1}}));
  EXPECT_EQ(lost.left_out(), 2);
}

// The kept keys are the greatest counts whatever the order of the adds, ties
// in the order of their text, as a full count says.
TEST(KeyCounts, KeepsTheGreatestExactlyAndRefusesPastItsLimit) {
  KeyCounts counts(3, 40);
  std::map<std::pair<int, std::string>, std::uint32_t> truth;
  std::uint64_t state = 7;
  for (int i = 0; i < 2000; ++i) {
    state = state * 6364136223846793005u + 1442695040888963407u;
    const int owner = static_cast<int>(state >> 60) % 2;
    const std::string text(1, static_cast<char>('a' + (state >> 33) % 9));
    ASSERT_TRUE(counts.add(owner, keyed_hash(text, owner), text));
    ++truth[{owner, text}];
  }
  for (int owner = 0; owner < 2; ++owner) {
    std::vector<std::pair<std::int64_t, std::string>> all, kept;
    for (const auto& [key, n] : truth) {
      if (key.first == owner) all.emplace_back(-std::int64_t{n}, key.second);
    }
    std::sort(all.begin(), all.end());
    all.resize(3);
    for (const KeyCounts::Kept& k : counts.kept(owner))
      kept.emplace_back(-std::int64_t{k.count}, k.text);
    EXPECT_EQ(kept, all) << owner;
  }
  for (int i = 18; i < 60; ++i)
    EXPECT_EQ(counts.add(0, keyed_hash(std::to_string(i), 9), "x"), i < 40) << i;
  EXPECT_TRUE(counts.kept(5).empty());
}

// With a sink, each complete message's head, whatever the segments; a head
// is its first 271 bytes at most.
TEST(TcpQueries, HandsEveryMessageHeadToItsSink) {
  std::vector<std::string> heads;
  TcpQueries queries({}, 1, [&](std::string_view source, std::string_view head, bool reply) {
    heads.push_back(std::string(source) + (reply ? " reply " : " query ") +
                    std::to_string(head.size()) + " " + std::string(head.substr(0, 3)));
  });
  Client c{queries};
  c.syn();
  const std::string stream = message(20) + message(400, true) + message(30);
  c.data(0, stream.substr(0, 30));
  c.data(30, stream.substr(30, 5));
  c.data(35, stream.substr(35));
  EXPECT_EQ(heads,
            (std::vector<std::string>{"192.0.2.10 query 20 qq\x01", "192.0.2.10 reply 271 qq\x80",
                                      "192.0.2.10 query 30 qq\x01"}));
  EXPECT_EQ(queries.counts(), (Counts{{"192.0.2.10", 2}}));
}

TEST(FlowTable, HoldsItsLimitThroughGrowthAndRefusesTheRest) {
  FlowTable table(5000);
  bool added = false;
  for (std::uint32_t i = 0; i < 6000; ++i) {
    const std::uint64_t hash = keyed_hash(std::to_string(i), 1);
    EXPECT_EQ(static_cast<bool>(table.insert(hash, i, 1 + i % 3, added)), i < 5000) << i;
  }
  EXPECT_EQ(table.size(), 5000u);
  for (std::uint32_t i = 0; i < 6000; ++i) {
    const FlowTable::Entry entry = table.find(keyed_hash(std::to_string(i), 1));
    ASSERT_EQ(static_cast<bool>(entry), i < 5000) << i;
    using Held = std::pair<std::uint32_t, int>;
    if (entry) {
      EXPECT_EQ(Held(entry.value(), entry.mark()), Held(i, 1 + i % 3)) << i;
    }
  }
  // Another seed, other hashes.
  EXPECT_NE(keyed_hash("flow", 1), keyed_hash("flow", 2));
}

}  // namespace
}  // namespace quillet
