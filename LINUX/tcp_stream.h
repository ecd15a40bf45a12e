// The DNS queries that clients send over TCP: each stream towards port 53
// reassembled from its segments and cut into messages at their 2-byte length
// prefixes, within bounds on the whole capture. Only bytes are handled here;
// the reader program decodes packets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace quillet {

// A keyed 64-bit hash of `bytes`: whoever chooses the bytes cannot choose
// collisions without the seed.
std::uint64_t keyed_hash(std::string_view bytes, std::uint64_t seed);

// A seed no sender can guess (getrandom).
std::uint64_t random_seed();

// An open-addressing table of 64-bit hashes, each with a 32-bit value and a
// 2-bit mark, 12 bytes a slot and never more than three quarters full: what a
// key costs before it carries anything worth more. It grows by doubling up to
// `limit` keys; past that, insert refuses. Keys are never removed.
class FlowTable {
 public:
  class Entry {
   public:
    Entry() = default;
    Entry(std::uint64_t* tag, std::uint32_t* value) : tag_(tag), value_(value) {}
    explicit operator bool() const { return tag_ != nullptr; }  // false: absent, or refused
    std::uint8_t mark() const { return static_cast<std::uint8_t>(*tag_ & 3); }
    void set_mark(std::uint8_t mark) { *tag_ = (*tag_ & ~std::uint64_t{3}) | mark; }
    std::uint32_t& value() const { return *value_; }

   private:
    std::uint64_t* tag_ = nullptr;
    std::uint32_t* value_ = nullptr;
  };

  explicit FlowTable(std::size_t limit);

  // The entry of `hash`, or an absent one.
  Entry find(std::uint64_t hash);
  // The entry of `hash`, added with `value` and `mark` when new; an absent one
  // when the table holds `limit` keys already. `added` says which.
  Entry insert(std::uint64_t hash, std::uint32_t value, std::uint8_t mark, bool& added);
  std::size_t size() const { return size_; }

 private:
  std::size_t slot_of(std::uint64_t hash) const;
  void grow();

  std::size_t limit_;
  std::size_t size_ = 0;
  std::size_t mask_ = 0;
  std::unique_ptr<std::uint64_t[]> tags_;  // the hash with the mark in its low 2 bits; 0: free
  std::unique_ptr<std::uint32_t[]> values_;
};

// Keys counted exactly, by their keyed hashes, and for each owner the `keep`
// keys of greatest count with their text: greatest count first, equal counts
// in the order of their text. Counts grow by one, so a key joins its owner's
// kept ones at the moment it passes the least of them, and its text is at
// hand then. A slot of the table costs 12 bytes; past `limit` keys a new key
// is not counted.
class KeyCounts {
 public:
  struct Kept {
    std::uint64_t hash = 0;
    std::uint32_t count = 0;
    std::string text;
  };

  KeyCounts(std::size_t keep, std::size_t limit) : keep_(keep), table_(limit) {}

  // Counts `hash` (whose text is `text`) for `owner`; false when it is new and
  // the table is full. A hash belongs to one owner: mix the owner into it.
  bool add(std::size_t owner, std::uint64_t hash, std::string_view text);
  // The kept keys of `owner`, greatest first.
  std::vector<Kept> kept(std::size_t owner) const;

 private:
  enum Mark : std::uint8_t { kCounted = 1, kKept = 2 };

  struct Owner {
    std::vector<Kept> kept;
    std::size_t least = 0;  // of `kept`, once it holds `keep_`
  };

  std::size_t keep_;
  FlowTable table_;
  std::vector<Owner> owners_;
};

// One segment from a client towards port 53, as the capture holds it.
struct TcpSegment {
  std::string_view flow;    // both addresses and ports: one connection
  std::string_view source;  // the client's address, as bytes
  std::uint32_t seq = 0;
  bool syn = false;
  std::string_view payload;   // the payload bytes captured
  std::uint32_t missing = 0;  // payload bytes the snapshot length cut off
};

// What the reader may hold for the whole capture. Past a bound a connection is
// left out, and counted as such.
struct TcpLimits {
  // Connections at once, whatever their state: 12 bytes each until they carry
  // data (a SYN flood of that size costs about 100 MiB).
  std::size_t flows = 6'000'000;
  // Connections that carry data, each with its framing state.
  std::size_t streams = 1'000'000;
  // Out-of-order bytes kept for one stream (more breaks its framing), and in all.
  std::size_t pending_per_stream = std::size_t{1} << 20;
  std::size_t pending_bytes = std::size_t{64} << 20;
};

// Counts the complete query messages per source. A message counts once,
// when its last byte has arrived, whatever the order, repetition or splitting
// of the segments that carried it; one with the QR bit set (a reply) does not
// count. A stream whose SYN is not in the capture cannot be framed: it is
// counted once, when it first carries bytes, and its queries are not. A length
// prefix under 12 bytes (no DNS header) or one that the snapshot length cut
// off ends the framing of its stream: what came before counts, nothing after
// it. Past a bound a connection is left out and counted: at each SYN that
// finds no room, or once when it cannot have its stream or its bytes; with
// no room left, bytes of a connection never seen are not told apart from
// those of one left out, and counted as neither.
class TcpQueries {
 public:
  // Told of every complete message: its stream's source, the first bytes of
  // the message that were captured (at most kMessageHead), and whether it is
  // a reply.
  using MessageSink =
      std::function<void(std::string_view source, std::string_view head, bool reply)>;
  static constexpr std::size_t kMessageHead = 271;  // a header and any first question

  explicit TcpQueries(const TcpLimits& limits = {}, std::uint64_t seed = random_seed(),
                      MessageSink sink = {});
  TcpQueries(const TcpQueries&) = delete;
  TcpQueries& operator=(const TcpQueries&) = delete;

  void add(const TcpSegment& segment);
  // A segment of `flow` that cannot be had whole (fragments that could not be
  // put back together): its stream cannot go on and is left out.
  void lose(std::string_view flow);

  // Queries per source (its address as bytes) that has any, in the order of
  // their first streams.
  std::vector<std::pair<std::string, std::int64_t>> counts() const;
  std::int64_t without_start() const { return without_start_; }
  std::int64_t broken() const { return broken_; }
  std::int64_t left_out() const { return left_out_; }

 private:
  // The marks of the flow table.
  enum Mark : std::uint8_t { kEmbryonic = 1, kFraming = 2, kDone = 3 };

  struct Stream {
    std::uint32_t base = 0;  // sequence number of the stream's first byte
    std::uint32_t next = 0;  // offset of the next byte the framing needs
    std::uint32_t source = 0;
    std::uint16_t body_left = 0;
    std::uint16_t body_seen = 0;
    std::uint8_t prefix_have = 0;
    std::uint8_t prefix_high = 0;
    bool reply = false;
    // With a sink: the message's first bytes, when they came in pieces.
    std::unique_ptr<std::string> head;
    bool stopped = false;  // broken or left out: nothing more is framed
    // By offset, ahead of `next`: each piece's bytes and what the snapshot cut off.
    std::unique_ptr<std::map<std::uint32_t, std::pair<std::string, std::uint32_t>>> pending;
    std::size_t pending_bytes = 0;
  };

  void start(FlowTable::Entry flow, std::uint32_t base);
  void take(Stream& s, std::uint32_t offset, std::string_view bytes, std::uint32_t missing);
  void deliver(Stream& s, std::string_view bytes, std::uint32_t missing);
  void frame(Stream& s, std::string_view bytes, std::uint32_t missing);
  // Keeps the head of the message that `piece` continues, or sets `whole`
  // when the piece is all of it.
  void keep_head(Stream& s, std::string_view piece, std::string_view& whole);
  void stop(Stream& s, std::int64_t& counter);
  void release(Stream& s);
  std::uint32_t source_of(std::string_view address);

  TcpLimits limits_;
  std::uint64_t seed_;
  MessageSink sink_;
  FlowTable flows_;
  std::deque<Stream> streams_;
  std::unordered_map<std::string, std::uint32_t> source_index_;
  std::vector<std::pair<std::string, std::int64_t>> sources_;
  std::size_t pending_bytes_ = 0;
  std::int64_t without_start_ = 0;
  std::int64_t broken_ = 0;
  std::int64_t left_out_ = 0;
};

}  // namespace quillet
