// The DNS queries that clients send over TCP: each stream towards port 53
// reassembled from its segments and cut into messages at their 2-byte length
// prefixes. Only bytes are handled here; the reader program decodes packets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quillet {

// One segment from a client towards port 53, as the capture holds it.
struct TcpSegment {
  std::string_view flow;    // both addresses and ports: one connection
  std::string_view source;  // the client's address as text; needed on a SYN only
  std::uint32_t seq = 0;
  bool syn = false;
  std::string_view payload;   // the payload bytes captured
  std::uint32_t missing = 0;  // payload bytes the snapshot length cut off
};

// Counts the complete query messages per source. A message counts once,
// when its last byte has arrived, whatever the order, repetition or splitting
// of the segments that carried it; one with the QR bit set (a reply) does not
// count. A stream whose SYN is not in the capture cannot be framed and is not
// counted at all. A length prefix under 12 bytes (no DNS header) or one that
// the snapshot length cut off ends the framing of its stream: what came
// before counts, nothing after it.
class TcpQueries {
 public:
  // Out-of-order bytes kept per stream; a stream that needs more is broken.
  static constexpr std::size_t kPendingLimit = std::size_t{1} << 20;

  void add(const TcpSegment& segment);

  // Queries per source that has any, in the order of their first connections.
  std::vector<std::pair<std::string, std::int64_t>> counts() const;
  std::int64_t without_start() const { return without_start_; }
  std::int64_t broken() const { return broken_; }

 private:
  struct Piece {
    std::string bytes;
    std::uint32_t missing = 0;
  };
  struct Stream {
    bool started = false;
    bool broken = false;
    std::uint32_t base = 0;                  // sequence number of the stream's first byte
    std::uint32_t next = 0;                  // offset of the next byte the framing needs
    std::map<std::uint32_t, Piece> pending;  // by offset, ahead of `next`
    std::size_t pending_bytes = 0;
    // The framing: the length prefix, then the message.
    std::uint8_t prefix_have = 0;
    std::uint8_t prefix_high = 0;
    std::uint32_t body_left = 0;
    std::uint32_t body_seen = 0;
    bool reply = false;
    std::size_t source = 0;  // index into sources_
  };

  void deliver(Stream& s, std::string_view bytes, std::uint32_t missing);
  void frame(Stream& s, std::string_view bytes, std::uint32_t missing);
  void break_framing(Stream& s);

  std::unordered_map<std::string, Stream> streams_;
  std::unordered_map<std::string, std::size_t> source_index_;
  std::vector<std::pair<std::string, std::int64_t>> sources_;
  std::int64_t without_start_ = 0;
  std::int64_t broken_ = 0;
};

}  // namespace quillet
