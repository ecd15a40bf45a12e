#include "fragments.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillet {
namespace {

struct Lost {
  std::vector<std::pair<std::string, std::string>> datagrams;  // id, first bytes
  Reassembly::Lost sink() {
    return
        [this](std::string_view id, std::string_view first) { datagrams.emplace_back(id, first); };
  }
};

TEST(Reassembly, PutsADatagramTogetherWhateverTheOrderOfItsFragments) {
  const std::string payload = "0123456789abcdefghijklmnopqrstuvwxyz";
  Lost lost;
  Reassembly fragments(lost.sink());
  EXPECT_FALSE(fragments.add("a", 24, false, payload.substr(24), 0));
  EXPECT_FALSE(fragments.add("b", 0, true, "other", 0));
  EXPECT_FALSE(fragments.add("a", 8, true, payload.substr(8, 16), 0));
  EXPECT_FALSE(fragments.add("a", 8, true, "overlap!", 0));  // the first to come counts
  const auto whole = fragments.add("a", 0, true, payload.substr(0, 16), 0);
  ASSERT_TRUE(whole);
  EXPECT_EQ(*whole, payload);
  // The same id again is a new datagram.
  EXPECT_FALSE(fragments.add("a", 0, true, "x", 0));
  EXPECT_TRUE(lost.datagrams.empty());
}

TEST(Reassembly, GivesUpWhatItCannotHaveWholeOrHold) {
  Lost lost;
  Reassembly fragments(lost.sink(), {.datagrams = 2, .bytes = 20, .datagram_bytes = 100});
  EXPECT_FALSE(fragments.add("cut", 0, true, "head", 3));  // the snapshot cut it
  EXPECT_FALSE(fragments.add("huge", 96, false, "12345678", 0));
  EXPECT_FALSE(fragments.add("old", 0, true, "first", 0));
  EXPECT_FALSE(fragments.add("mid", 8, true, "x", 0));
  EXPECT_FALSE(fragments.add("new", 8, true, "y", 0));                   // a third: the oldest goes
  EXPECT_FALSE(fragments.add("big", 8, true, std::string(20, 'z'), 0));  // over the bytes
  EXPECT_EQ(lost.datagrams,
            (std::vector<std::pair<std::string, std::string>>{
                {"cut", ""}, {"huge", ""}, {"old", "first"}, {"mid", ""}, {"new", ""}}));
  EXPECT_EQ(fragments.given_up(), 5u);
}

}  // namespace
}  // namespace quillet
