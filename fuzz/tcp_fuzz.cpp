// The TCP reader's framing and fragment reassembly against themselves: a
// stream cut into pieces and given in any order, with repeats, must frame to
// the same queries as the whole stream in one segment, and the same pieces as
// IP fragments must make the same datagram.
#include <algorithm>
#include <cstdint>
#include <numeric>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fragments.h"
#include "reference.h"
#include "tcp_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillet;
  if (size < 1) return 0;
  // The number of pieces, then for each a cut point and an order key, then the stream.
  const std::size_t pieces = data[0] % 32 + 1;
  if (size < 1 + 3 * pieces) return 0;
  const std::string_view stream(reinterpret_cast<const char*>(data + 1 + 3 * pieces),
                                size - 1 - 3 * pieces);
  if (stream.size() > 65535) return 0;  // the largest datagram
  std::vector<std::size_t> cuts{0, stream.size()};
  for (std::size_t i = 0; i < pieces; ++i) {
    const std::size_t at = (data[1 + 2 * i] << 8 | data[2 + 2 * i]);
    cuts.push_back(stream.empty() ? 0 : at % stream.size());
  }
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  std::vector<std::size_t> order(cuts.size() - 1);
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return data[1 + 2 * pieces + a % pieces] < data[1 + 2 * pieces + b % pieces];
  });

  constexpr std::uint32_t kIsn = 0xffffff00;  // offsets wrap around 2^32
  TcpQueries whole, cut;
  for (TcpQueries* q : {&whole, &cut})
    q->add({"flow", "client", kIsn, true, {}, 0});
  whole.add({"flow", "client", kIsn + 1, false, stream, 0});
  std::optional<std::string> datagram;
  Reassembly fragments([](std::string_view, std::string_view) {
    fuzz::check(false, "a datagram within every bound was given up");
  });
  for (const std::size_t i : order) {
    const std::size_t from = cuts[i], to = cuts[i + 1];
    const std::string_view piece = stream.substr(from, to - from);
    cut.add({"flow", "client", kIsn + 1 + static_cast<std::uint32_t>(from), false, piece, 0});
    if (const auto done =
            fragments.add("id", static_cast<std::uint32_t>(from), to != stream.size(), piece, 0)) {
      datagram.emplace(*done);
    }
  }
  // A repeat of the first piece changes nothing.
  if (cuts.size() > 1) cut.add({"flow", "client", kIsn + 1, false, stream.substr(0, cuts[1]), 0});
  fuzz::check(cut.counts() == whole.counts(), "the pieces framed to other queries");
  fuzz::check(cut.broken() == whole.broken(), "the pieces broke the framing otherwise");
  fuzz::check(stream.empty() || datagram == std::string(stream),
              "the fragments made another datagram");
  return 0;
}
