#include "format.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

namespace quillet {
namespace {

TEST(FormatDouble, ShortestFormWithPointOrExponent) {
  struct Row {
    double value;
    const char* text;
  };
  const Row rows[] = {
      {61.3, "61.3"},
      {100.0, "100.0"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {16.1, "16.1"},
      {0.1 + 0.2, "0.30000000000000004"},
      {1.0 / 3.0, "0.3333333333333333"},
      {-2.5, "-2.5"},
      {0.0001, "0.0001"},
      {0.00012, "0.00012"},
      {0.00001, "1e-05"},
      {-0.000099, "-9.9e-05"},
      {1.5e-300, "1.5e-300"},
      {5e-324, "5e-324"},
      {1e15, "1000000000000000.0"},
      {9999999999999998.0, "9999999999999998.0"},
      {1e16, "1e+16"},
      {1.5e16, "1.5e+16"},
      {-1e16, "-1e+16"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {123456.789, "123456.789"},
      {1e22, "1e+22"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(format_double(row.value), row.text);
    EXPECT_EQ(format_double(row.value, NonFinite::listing), row.text);
  }
}

TEST(FormatDouble, NonFiniteSpellings) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(format_double(nan), "NaN");
  EXPECT_EQ(format_double(-nan), "NaN");
  EXPECT_EQ(format_double(inf), "Infinity");
  EXPECT_EQ(format_double(-inf), "-Infinity");
  EXPECT_EQ(format_double(nan, NonFinite::listing), "nan");
  EXPECT_EQ(format_double(-nan, NonFinite::listing), "nan");
  EXPECT_EQ(format_double(inf, NonFinite::listing), "inf");
  EXPECT_EQ(format_double(-inf, NonFinite::listing), "-inf");
}

// Every finite double must read back exactly, whatever its magnitude.
TEST(FormatDouble, RoundTripsRandomBitPatterns) {
  std::mt19937_64 random(20261208);
  for (int i = 0; i < 200000; ++i) {
    std::uint64_t bits = random();
    double value;
    std::memcpy(&value, &bits, sizeof value);
    if (!std::isfinite(value)) continue;
    std::string text = format_double(value);
    double back = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), back);
    ASSERT_EQ(ec, std::errc()) << text;
    ASSERT_EQ(end, text.data() + text.size()) << text;
    ASSERT_EQ(std::memcmp(&back, &value, sizeof value), 0) << text;
    ASSERT_NE(text.find_first_of(".e"), std::string::npos) << text;
  }
}

TEST(JsonString, EscapesControlsQuotesAndEverythingOutsideAscii) {
  struct Row {
    std::string in;
    const char* out;
  };
  const Row rows[] = {
      {"192.0.2.10", R"("192.0.2.10")"},
      {"2001:db8::1", R"("2001:db8::1")"},
      {"", R"("")"},
      {"a\"b\\c/d", R"("a\"b\\c/d")"},
      {"\n\r\t\b\f", R"("\n\r\t\b\f")"},
      {std::string("\x01\x1f\x7f", 3), R"("\u0001\u001f\u007f")"},
      {std::string("a\0b", 3), R"("a\u0000b")"},
      {"é", R"("\u00e9")"},
      {"\xe2\x80\xa8", R"("\u2028")"},
      {"€", R"("\u20ac")"},
      {"\xf0\x9f\x98\x80", R"("\ud83d\ude00")"},
      {"\xf4\x8f\xbf\xbf", R"("\udbff\udfff")"},
      {"a\xffz", R"("az")"},
      {"\xc3", R"("")"},
      {"\xed\xa0\x80", R"("")"},
      {"\xc0\xaf", R"("")"},
  };
  for (const auto& row : rows) {
    std::string out;
    append_json_string(out, row.in);
    EXPECT_EQ(out, row.out);
  }
}

}  // namespace
}  // namespace quillet
