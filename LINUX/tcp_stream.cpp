#include "tcp_stream.h"

#include <algorithm>

namespace quillet {

namespace {

constexpr std::uint32_t kDnsHeader = 12;
// Offsets further ahead than this are taken for bytes from before the start.
constexpr std::uint32_t kAhead = std::uint32_t{1} << 31;

}  // namespace

void TcpQueries::add(const TcpSegment& segment) {
  auto [at, inserted] = streams_.try_emplace(std::string(segment.flow));
  Stream& s = at->second;
  if (segment.syn) {
    // A repeated SYN keeps the stream; one with another sequence number is a
    // new connection on the same ports.
    if (!s.started || s.base != segment.seq + 1) {
      s = Stream{};
      s.started = true;
      s.base = segment.seq + 1;
      const auto [known, added] =
          source_index_.try_emplace(std::string(segment.source), sources_.size());
      if (added) sources_.emplace_back(segment.source, 0);
      s.source = known->second;
    }
  } else if (inserted) {
    ++without_start_;
  }
  if (!s.started || s.broken) return;

  const std::uint32_t offset = segment.seq + (segment.syn ? 1 : 0) - s.base;
  std::string_view bytes = segment.payload;
  std::uint32_t missing = segment.missing;
  const std::uint32_t length = static_cast<std::uint32_t>(bytes.size()) + missing;
  if (length == 0 || offset >= kAhead) return;
  // Bytes before `next` have been framed already: a retransmission.
  if (offset < s.next) {
    const std::uint32_t seen = s.next - offset;
    if (seen >= length) return;
    const std::size_t cut = std::min<std::size_t>(seen, bytes.size());
    bytes.remove_prefix(cut);
    missing -= seen - static_cast<std::uint32_t>(cut);
  } else if (offset > s.next) {
    auto [piece, added] = s.pending.try_emplace(offset);
    if (!added && piece->second.bytes.size() + piece->second.missing >= length) return;
    s.pending_bytes += bytes.size() - (added ? 0 : piece->second.bytes.size());
    piece->second = {std::string(bytes), missing};
    if (s.pending_bytes > kPendingLimit) break_framing(s);
    return;
  }
  deliver(s, bytes, missing);
  // The pieces that now follow on.
  while (!s.broken && !s.pending.empty() && s.pending.begin()->first <= s.next) {
    auto node = s.pending.extract(s.pending.begin());
    Piece& piece = node.mapped();
    s.pending_bytes -= piece.bytes.size();
    const std::uint32_t seen = s.next - node.key();
    const std::uint32_t piece_length =
        static_cast<std::uint32_t>(piece.bytes.size()) + piece.missing;
    if (seen >= piece_length) continue;
    std::string_view rest = piece.bytes;
    const std::size_t cut = std::min<std::size_t>(seen, rest.size());
    rest.remove_prefix(cut);
    deliver(s, rest, piece.missing - (seen - static_cast<std::uint32_t>(cut)));
  }
}

void TcpQueries::deliver(Stream& s, std::string_view bytes, std::uint32_t missing) {
  s.next += static_cast<std::uint32_t>(bytes.size()) + missing;
  frame(s, bytes, missing);
}

void TcpQueries::frame(Stream& s, std::string_view bytes, std::uint32_t missing) {
  // Captured bytes first, then the ones the snapshot cut off.
  while (!s.broken && (!bytes.empty() || missing > 0)) {
    if (s.body_left == 0) {
      if (bytes.empty()) return break_framing(s);  // a prefix that was not captured
      const auto byte = static_cast<std::uint8_t>(bytes.front());
      bytes.remove_prefix(1);
      if (s.prefix_have++ == 0) {
        s.prefix_high = byte;
        continue;
      }
      s.prefix_have = 0;
      s.body_left = static_cast<std::uint32_t>(s.prefix_high) << 8 | byte;
      s.body_seen = 0;
      s.reply = false;
      if (s.body_left < kDnsHeader) return break_framing(s);
      continue;
    }
    std::uint32_t step = 0;
    if (!bytes.empty()) {
      step = std::min<std::uint32_t>(s.body_left, static_cast<std::uint32_t>(bytes.size()));
      // The QR bit: the first bit of the message's third byte.
      if (s.body_seen <= 2 && s.body_seen + step > 2)
        s.reply = (static_cast<std::uint8_t>(bytes[2 - s.body_seen]) & 0x80) != 0;
      bytes.remove_prefix(step);
    } else {
      step = std::min(s.body_left, missing);
      missing -= step;
    }
    s.body_seen += step;
    s.body_left -= step;
    if (s.body_left == 0 && !s.reply) ++sources_[s.source].second;
  }
}

void TcpQueries::break_framing(Stream& s) {
  s.broken = true;
  ++broken_;
  s.pending.clear();
  s.pending_bytes = 0;
}

std::vector<std::pair<std::string, std::int64_t>> TcpQueries::counts() const {
  std::vector<std::pair<std::string, std::int64_t>> counted;
  for (const auto& source : sources_) {
    if (source.second > 0) counted.push_back(source);
  }
  return counted;
}

}  // namespace quillet
