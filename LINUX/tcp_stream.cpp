#include "tcp_stream.h"

#include <sys/random.h>

#include <algorithm>
#include <cstring>
#include <ctime>

namespace quillet {

namespace {

constexpr std::uint32_t kDnsHeader = 12;
// Offsets further ahead than this are taken for bytes from before the start.
constexpr std::uint32_t kAhead = std::uint32_t{1} << 31;
constexpr std::uint64_t kMarkBits = 3;
constexpr std::size_t kFirstSlots = 1024;

// The 128-bit product of `a` and `b`, folded to 64 bits.
std::uint64_t fold(std::uint64_t a, std::uint64_t b) {
  const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

std::uint64_t word(const char* p, std::size_t n) {
  std::uint64_t w = 0;
  std::memcpy(&w, p, std::min<std::size_t>(n, sizeof w));
  return w;
}

}  // namespace

std::uint64_t keyed_hash(std::string_view bytes, std::uint64_t seed) {
  constexpr std::uint64_t k0 = 0xa0761d6478bd642f, k1 = 0xe7037ed1a0b428db, k2 = 0x8ebc6af09c88c6e3;
  std::uint64_t h = seed ^ k0;
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  for (; left > 16; p += 16, left -= 16)
    h = fold(word(p, 8) ^ k1, word(p + 8, 8) ^ h);
  h = fold(word(p, left) ^ k1, (left > 8 ? word(p + 8, left - 8) : 0) ^ h);
  return fold(h ^ bytes.size(), k2 ^ seed);
}

std::uint64_t random_seed() {
  std::uint64_t seed = 0;
  if (::getrandom(&seed, sizeof seed, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof seed))
    seed = static_cast<std::uint64_t>(std::time(nullptr)) * 0x9e3779b97f4a7c15;
  return seed;
}

FlowTable::FlowTable(std::size_t limit) : limit_(limit) {}

std::size_t FlowTable::slot_of(std::uint64_t hash) const {
  return static_cast<std::size_t>(hash >> 2) & mask_;
}

FlowTable::Entry FlowTable::find(std::uint64_t hash) {
  if (!tags_) return {};
  const std::uint64_t key = hash | kMarkBits;
  for (std::size_t i = slot_of(hash);; i = (i + 1) & mask_) {
    const std::uint64_t tag = tags_[i];
    if (tag == 0) return {};
    if ((tag | kMarkBits) == key) return {&tags_[i], &values_[i]};
  }
}

FlowTable::Entry FlowTable::insert(std::uint64_t hash, std::uint32_t value, std::uint8_t mark,
                                   bool& added) {
  added = false;
  if (const Entry found = find(hash)) return found;
  if (size_ >= limit_) return {};
  if (!tags_ || (size_ + 1) * 4 > (mask_ + 1) * 3) grow();
  std::size_t i = slot_of(hash);
  while (tags_[i] != 0)
    i = (i + 1) & mask_;
  tags_[i] = (hash & ~kMarkBits) | mark;
  values_[i] = value;
  ++size_;
  added = true;
  return {&tags_[i], &values_[i]};
}

void FlowTable::grow() {
  const std::size_t slots = tags_ ? (mask_ + 1) * 2 : kFirstSlots;
  auto tags = std::make_unique<std::uint64_t[]>(slots);
  auto values = std::make_unique<std::uint32_t[]>(slots);
  const std::size_t old_slots = tags_ ? mask_ + 1 : 0;
  mask_ = slots - 1;
  for (std::size_t i = 0; i < old_slots; ++i) {
    if (tags_[i] == 0) continue;
    std::size_t j = slot_of(tags_[i]);
    while (tags[j] != 0)
      j = (j + 1) & mask_;
    tags[j] = tags_[i];
    values[j] = values_[i];
  }
  tags_ = std::move(tags);
  values_ = std::move(values);
}

TcpQueries::TcpQueries(const TcpLimits& limits, std::uint64_t seed, MessageSink sink)
    : limits_(limits), seed_(seed), sink_(std::move(sink)), flows_(limits.flows) {}

std::uint32_t TcpQueries::source_of(std::string_view address) {
  const auto [known, added] =
      source_index_.try_emplace(std::string(address), static_cast<std::uint32_t>(sources_.size()));
  if (added) sources_.emplace_back(address, 0);
  return known->second;
}

void TcpQueries::add(const TcpSegment& segment) {
  const std::uint64_t hash = keyed_hash(segment.flow, seed_);
  const std::uint32_t length = static_cast<std::uint32_t>(segment.payload.size()) + segment.missing;
  FlowTable::Entry flow = flows_.find(hash);
  bool added = false;
  if (segment.syn) {
    const std::uint32_t base = segment.seq + 1;
    if (!flow) {
      flow = flows_.insert(hash, base, kEmbryonic, added);
      if (!flow) {
        ++left_out_;
        return;
      }
    } else {
      const bool framing = flow.mark() == kFraming;
      // A repeated SYN keeps the stream; one with another sequence number is a
      // new connection on the same ports.
      if ((framing ? streams_[flow.value()].base : flow.value()) != base) {
        if (framing) release(streams_[flow.value()]);
        flow.set_mark(kEmbryonic);
        flow.value() = base;
      }
    }
  } else if (!flow) {
    // Bytes of a stream that began before the capture, remembered to be counted
    // once; a bare acknowledgement loses nothing and costs nothing.
    if (length > 0 && flows_.insert(hash, 0, kDone, added)) ++without_start_;
    return;
  }
  if (flow.mark() == kDone || length == 0) return;
  if (flow.mark() == kEmbryonic) {
    if (streams_.size() >= limits_.streams) {
      flow.set_mark(kDone);
      ++left_out_;
      return;
    }
    Stream& s = streams_.emplace_back();
    s.base = flow.value();
    s.source = source_of(segment.source);
    flow.value() = static_cast<std::uint32_t>(streams_.size() - 1);
    flow.set_mark(kFraming);
  }
  Stream& s = streams_[flow.value()];
  if (!s.stopped)
    take(s, segment.seq + (segment.syn ? 1 : 0) - s.base, segment.payload, segment.missing);
}

void TcpQueries::lose(std::string_view flow_bytes) {
  bool added = false;
  FlowTable::Entry flow = flows_.insert(keyed_hash(flow_bytes, seed_), 0, kDone, added);
  if (added) {
    ++left_out_;
  } else if (flow && flow.mark() == kEmbryonic) {
    flow.set_mark(kDone);
    ++left_out_;
  } else if (flow && flow.mark() == kFraming && !streams_[flow.value()].stopped) {
    stop(streams_[flow.value()], left_out_);
  }
}

void TcpQueries::take(Stream& s, std::uint32_t offset, std::string_view bytes,
                      std::uint32_t missing) {
  const std::uint32_t length = static_cast<std::uint32_t>(bytes.size()) + missing;
  if (offset >= kAhead) return;
  // Bytes before `next` have been framed already: a retransmission.
  if (offset < s.next) {
    const std::uint32_t seen = s.next - offset;
    if (seen >= length) return;
    const std::size_t cut = std::min<std::size_t>(seen, bytes.size());
    bytes.remove_prefix(cut);
    missing -= seen - static_cast<std::uint32_t>(cut);
  } else if (offset > s.next) {
    if (!s.pending) s.pending = std::make_unique<decltype(s.pending)::element_type>();
    auto [piece, added] = s.pending->try_emplace(offset);
    const std::size_t held = added ? 0 : piece->second.first.size();
    if (!added && held + piece->second.second >= length) return;
    s.pending_bytes += bytes.size() - held;
    pending_bytes_ += bytes.size() - held;
    piece->second = {std::string(bytes), missing};
    if (s.pending_bytes > limits_.pending_per_stream) {
      stop(s, broken_);
    } else if (pending_bytes_ > limits_.pending_bytes) {
      stop(s, left_out_);
    }
    return;
  }
  deliver(s, bytes, missing);
  // The pieces that now follow on.
  while (!s.stopped && s.pending && !s.pending->empty() && s.pending->begin()->first <= s.next) {
    auto node = s.pending->extract(s.pending->begin());
    auto& [piece, piece_missing] = node.mapped();
    s.pending_bytes -= piece.size();
    pending_bytes_ -= piece.size();
    const std::uint32_t seen = s.next - node.key();
    const std::uint32_t piece_length = static_cast<std::uint32_t>(piece.size()) + piece_missing;
    if (seen >= piece_length) continue;
    std::string_view rest = piece;
    const std::size_t cut = std::min<std::size_t>(seen, rest.size());
    rest.remove_prefix(cut);
    deliver(s, rest, piece_missing - (seen - static_cast<std::uint32_t>(cut)));
  }
}

void TcpQueries::deliver(Stream& s, std::string_view bytes, std::uint32_t missing) {
  s.next += static_cast<std::uint32_t>(bytes.size()) + missing;
  frame(s, bytes, missing);
}

void TcpQueries::frame(Stream& s, std::string_view bytes, std::uint32_t missing) {
  // Captured bytes first, then the ones the snapshot cut off.
  while (!s.stopped && (!bytes.empty() || missing > 0)) {
    if (s.body_left == 0) {
      if (bytes.empty()) return stop(s, broken_);  // a prefix that was not captured
      const auto byte = static_cast<std::uint8_t>(bytes.front());
      bytes.remove_prefix(1);
      if (s.prefix_have++ == 0) {
        s.prefix_high = byte;
        continue;
      }
      s.prefix_have = 0;
      s.body_left = static_cast<std::uint16_t>(s.prefix_high << 8 | byte);
      s.body_seen = 0;
      s.reply = false;
      s.head.reset();
      if (s.body_left < kDnsHeader) return stop(s, broken_);
      continue;
    }
    std::uint16_t step = 0;
    std::string_view whole;  // the message, when this piece holds all of it
    if (!bytes.empty()) {
      step = static_cast<std::uint16_t>(std::min<std::size_t>(s.body_left, bytes.size()));
      // The QR bit: the first bit of the message's third byte.
      if (s.body_seen <= 2 && s.body_seen + step > 2)
        s.reply = (static_cast<std::uint8_t>(bytes[2 - s.body_seen]) & 0x80) != 0;
      if (sink_) keep_head(s, bytes.substr(0, step), whole);
      bytes.remove_prefix(step);
    } else {
      step = static_cast<std::uint16_t>(std::min<std::uint32_t>(s.body_left, missing));
      missing -= step;
    }
    s.body_seen = static_cast<std::uint16_t>(s.body_seen + step);
    s.body_left = static_cast<std::uint16_t>(s.body_left - step);
    if (s.body_left != 0) continue;
    if (!s.reply) ++sources_[s.source].second;
    if (sink_) {
      sink_(sources_[s.source].first, s.head ? std::string_view(*s.head) : whole, s.reply);
      s.head.reset();
    }
  }
}

void TcpQueries::keep_head(Stream& s, std::string_view piece, std::string_view& whole) {
  if (s.body_seen == 0 && piece.size() == s.body_left) {
    whole = piece.substr(0, kMessageHead);
    return;
  }
  if (s.body_seen >= kMessageHead) return;
  if (!s.head) {
    if (s.body_seen != 0) return;  // its start was cut off by the snapshot
    s.head = std::make_unique<std::string>();
  }
  // Only bytes that follow on: after a cut, the head stays as it was.
  if (s.head->size() == s.body_seen) s.head->append(piece.substr(0, kMessageHead - s.body_seen));
}

void TcpQueries::stop(Stream& s, std::int64_t& counter) {
  s.stopped = true;
  ++counter;
  release(s);
}

void TcpQueries::release(Stream& s) {
  s.head.reset();
  pending_bytes_ -= s.pending_bytes;
  s.pending.reset();
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

namespace quillet {

namespace {

// The kept key that goes first: the smallest count, and of those the greatest text.
bool goes_before(const KeyCounts::Kept& a, const KeyCounts::Kept& b) {
  return a.count != b.count ? a.count < b.count : a.text > b.text;
}

}  // namespace

bool KeyCounts::add(std::size_t owner, std::uint64_t hash, std::string_view text) {
  bool added = false;
  FlowTable::Entry entry = table_.insert(hash, 0, kCounted, added);
  if (!entry) return false;
  const std::uint32_t count = ++entry.value();
  if (owners_.size() <= owner) owners_.resize(owner + 1);
  Owner& o = owners_[owner];
  const auto find_least = [&] {
    o.least = static_cast<std::size_t>(std::min_element(o.kept.begin(), o.kept.end(), goes_before) -
                                       o.kept.begin());
  };
  if (entry.mark() == kKept) {
    for (std::size_t i = 0; i < o.kept.size(); ++i) {
      if (o.kept[i].hash != hash) continue;
      o.kept[i].count = count;
      if (i == o.least && o.kept.size() == keep_) find_least();
    }
    return true;
  }
  if (o.kept.size() < keep_) {
    o.kept.push_back({hash, count, std::string(text)});
    entry.set_mark(kKept);
    if (o.kept.size() == keep_) find_least();
    return true;
  }
  Kept& least = o.kept[o.least];
  if (count < least.count || (count == least.count && text >= least.text)) return true;
  entry.set_mark(kKept);
  table_.find(least.hash).set_mark(kCounted);
  least.hash = hash;
  least.count = count;
  least.text.assign(text);
  find_least();
  return true;
}

std::vector<KeyCounts::Kept> KeyCounts::kept(std::size_t owner) const {
  if (owner >= owners_.size()) return {};
  std::vector<Kept> sorted = owners_[owner].kept;
  std::sort(sorted.begin(), sorted.end(), [](const Kept& a, const Kept& b) {
    return a.count != b.count ? a.count > b.count : a.text < b.text;
  });
  return sorted;
}

}  // namespace quillet
