#include "dns_message.h"

#include <gtest/gtest.h>

#include <string>

namespace quillet {
namespace {

// A query whose question has `name` (wire form, root included) and type 0x1c.
std::string query(const std::string& name, std::uint16_t questions = 1) {
  return std::string("\x12\x34\x01\x00", 4) + static_cast<char>(questions >> 8) +
         static_cast<char>(questions) + std::string(6, '\0') + name +
         std::string("\x00\x1c\x00\x01", 4);
}

TEST(DnsMessage, HeaderFlagsAndCode) {
  const auto header = dns_header(std::string("\x12\x34\x81\x83\x00\x01", 6) + std::string(6, '\0'));
  ASSERT_TRUE(header);
  EXPECT_TRUE(header->response);
  EXPECT_EQ(header->rcode, 3);
  EXPECT_EQ(header->questions, 1);
  EXPECT_FALSE(dns_header(std::string(11, '\0')));
}

TEST(DnsMessage, SecondLevelNameInPresentationFormOrNothing) {
  const std::string label63(63, 'x');
  // Four labels of 63 bytes and one of 0: 4 * 64 + 1 = 257 bytes, one too many.
  const std::string over =
      "\x3f" + label63 + "\x3f" + label63 + "\x3f" + label63 + "\x3f" + label63;
  const std::string at_most =
      "\x3f" + label63 + "\x3f" + label63 + "\x3f" + label63 + "\x3d" + std::string(61, 'y');
  struct Row {
    std::string message;
    std::string name;  // empty: nothing to read
  };
  const Row rows[] = {
      {query(std::string("\x03www\x06Victim\x07"
                         "EXAMPLE\x00",
                         20)),
       "victim.example"},
      {query(std::string("\x04"
                         "a.b\\\x04test\x00",
                         11)),
       "a\\.b\\\\.test"},
      {query(std::string("\x04\x01 \xff\x7f\x01z\x00", 8)), "\\001\\032\\255\\127.z"},
      {query(std::string("\x09<b>{$X}</\x00", 11)), "<b>{$x}</"},
      {query(std::string("\x00", 1)), "."},
      {query(at_most + std::string("\x00", 1)), label63 + "." + std::string(61, 'y')},
      {query(over + std::string("\x00", 1)), ""},
      {query(std::string("\x03"
                         "abc\xc0\x0c",
                         6)),
       ""},  // a compression pointer
      {query(std::string("\x41"
                         "abc\x00",
                         5)),
       ""},  // a reserved label kind
      {query(std::string("\x05"
                         "ab\x00",
                         4)),
       ""},                                               // a label past the end
      {query(std::string("\x00", 1), 0), ""},             // no question
      {query(std::string("\x00", 1)).substr(0, 16), ""},  // no class
  };
  for (const auto& [message, expected] : rows) {
    std::string name = "stale";
    const auto type = question_name(message, 2, name);
    EXPECT_EQ(type, expected.empty() ? std::nullopt : std::optional<std::uint16_t>(0x1c))
        << expected;
    EXPECT_EQ(name, expected);
  }
  std::string name;
  EXPECT_TRUE(question_name(rows[0].message, 1, name));
  EXPECT_EQ(name, "example");
}

}  // namespace
}  // namespace quillet
