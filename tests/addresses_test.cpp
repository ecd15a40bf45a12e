#include "addresses.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace quillet {
namespace {

// Loopback is up wherever the tests run; its address is the host's own too.
TEST(InterfaceAddresses, ListsLoopbackSortedWithoutRepeats) {
  const std::vector<std::string> addresses = interface_addresses();
  EXPECT_TRUE(std::binary_search(addresses.begin(), addresses.end(), "127.0.0.1"));
  EXPECT_TRUE(std::is_sorted(addresses.begin(), addresses.end()));
  EXPECT_EQ(std::adjacent_find(addresses.begin(), addresses.end()), addresses.end());
}

}  // namespace
}  // namespace quillet
