// IP fragments put back together into whole datagrams, within bounds on what
// is held at once. Only bytes are handled here; the reader program decodes
// the IP headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace quillet {

struct FragmentLimits {
  std::size_t datagrams = 4096;               // incomplete at once
  std::size_t bytes = std::size_t{16} << 20;  // of fragments held in all
  std::size_t datagram_bytes = 65535;         // the largest an IP datagram can carry
};

class Reassembly {
 public:
  // `lost` is told the id and the start of each datagram given up (the bytes
  // its first fragment holds, empty when that fragment has not come): one
  // that outgrew the largest datagram, that a fragment cut by the snapshot
  // length left incomplete, or the oldest one held when a bound was reached
  // (a datagram still incomplete after four times `datagrams` later ones
  // came is given up too).
  using Lost = std::function<void(std::string_view id, std::string_view first)>;
  explicit Reassembly(Lost lost, const FragmentLimits& limits = {});

  // One fragment of the datagram `id` (its addresses, identification and
  // protocol, as bytes): `bytes` of the datagram's payload from `offset` on,
  // `missing` more that the snapshot cut off, `more` unless it is the last.
  // Returns the whole payload once every byte of it has come, valid until
  // the next call; nothing before. Fragments repeated or overlapping count
  // once, the first to come.
  std::optional<std::string_view> add(std::string_view id, std::uint32_t offset, bool more,
                                      std::string_view bytes, std::uint32_t missing);

  std::size_t given_up() const { return given_up_; }

 private:
  struct Datagram {
    std::map<std::uint32_t, std::string> pieces;  // by offset
    std::optional<std::uint32_t> length;          // known once the last fragment came
    std::size_t held = 0;
    std::uint64_t order = 0;
  };

  void give_up(std::unordered_map<std::string, Datagram>::iterator at);
  void make_room();

  Lost lost_;
  FragmentLimits limits_;
  std::unordered_map<std::string, Datagram> datagrams_;
  std::deque<std::pair<std::uint64_t, std::string>> arrival_;  // oldest first
  std::uint64_t next_order_ = 0;
  std::size_t held_ = 0;
  std::size_t given_up_ = 0;
  std::string whole_;
};

}  // namespace quillet
