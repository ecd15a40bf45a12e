#include "fragments.h"

#include <utility>

namespace quillet {

Reassembly::Reassembly(Lost lost, const FragmentLimits& limits)
    : lost_(std::move(lost)), limits_(limits) {}

void Reassembly::give_up(std::unordered_map<std::string, Datagram>::iterator at) {
  const auto first = at->second.pieces.find(0);
  lost_(at->first,
        first == at->second.pieces.end() ? std::string_view() : std::string_view(first->second));
  held_ -= at->second.held;
  datagrams_.erase(at);
  ++given_up_;
}

void Reassembly::make_room() {
  while (!arrival_.empty()) {
    const auto& [order, id] = arrival_.front();
    // Datagrams completed or given up since they came are gone already.
    const auto at = datagrams_.find(id);
    const bool held = at != datagrams_.end() && at->second.order == order;
    if (held && datagrams_.size() <= limits_.datagrams && held_ <= limits_.bytes &&
        arrival_.size() <= 4 * limits_.datagrams) {
      return;
    }
    if (held) give_up(at);
    arrival_.pop_front();
  }
}

std::optional<std::string_view> Reassembly::add(std::string_view id, std::uint32_t offset,
                                                bool more, std::string_view bytes,
                                                std::uint32_t missing) {
  auto [at, added] = datagrams_.try_emplace(std::string(id));
  Datagram& d = at->second;
  if (added) {
    d.order = next_order_++;
    arrival_.emplace_back(d.order, at->first);
  }
  const std::uint64_t end = std::uint64_t{offset} + bytes.size() + missing;
  if (missing > 0 || end > limits_.datagram_bytes) {
    give_up(at);
    make_room();
    return std::nullopt;
  }
  if (!more) d.length = static_cast<std::uint32_t>(end);
  if (d.pieces.try_emplace(offset, bytes).second) {
    d.held += bytes.size();
    held_ += bytes.size();
  }
  if (!d.length) {
    make_room();
    return std::nullopt;
  }
  // Whole once the pieces cover the payload without a gap.
  whole_.clear();
  for (const auto& [piece_offset, piece] : d.pieces) {
    if (piece_offset > whole_.size()) break;
    if (piece_offset + piece.size() > whole_.size())
      whole_.append(piece, whole_.size() - piece_offset, std::string::npos);
  }
  if (whole_.size() < *d.length) {
    make_room();
    return std::nullopt;
  }
  whole_.resize(*d.length);
  held_ -= d.held;
  datagrams_.erase(at);
  make_room();
  return std::string_view(whole_);
}

}  // namespace quillet
