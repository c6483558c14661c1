// digits_test.cpp -- the whole-word digit writers against the C library's
// conversions, at every change of length and at the ends of the range,
// with what they leave after the digits.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <algorithm>
#include <string>
#include <vector>

#include "viewer/digits.h"

namespace {

namespace text = kvf::text;

std::string printed(const char* format, std::uint64_t v) {
  char s[32];
  std::snprintf(s, sizeof s, format, v);
  return s;
}

// Every length from one digit up: the last value of each and the first of
// the next, and the ends.
std::vector<std::uint32_t> lengths(std::uint32_t base) {
  std::vector<std::uint32_t> values{0, 1, UINT32_MAX - 1, UINT32_MAX, 0x80000000u, 0x7F0F00F0u};
  for (std::uint64_t p = base; p <= UINT32_MAX; p *= base) {
    values.push_back(static_cast<std::uint32_t>(p - 1));
    values.push_back(static_cast<std::uint32_t>(p));
    values.push_back(static_cast<std::uint32_t>(p + 1));
  }
  return values;
}

TEST(Digits, WholeWordWritersGiveTheCLibrarysDigits) {
  for (std::uint32_t v : lengths(16)) {
    SCOPED_TRACE(v);
    char out[16];
    std::string hex = printed("%" PRIx64, v);
    std::size_t n = text::lower_hex8(out, v, '.');
    EXPECT_EQ(std::string(out, n), hex);
    // The rest of the eight bytes is the fill.
    EXPECT_EQ(std::string(out + n, 8 - n), std::string(8 - n, '.'));
    std::uint64_t wide = (std::uint64_t{v} << 32) | (v ^ 0x5A5A5A5Au);
    EXPECT_EQ(std::string(out, text::pointer_hex(out, wide)), printed("%016" PRIX64, wide));
  }
  for (std::uint32_t v : lengths(10)) {
    SCOPED_TRACE(v);
    char out[16];
    std::fill(out, out + sizeof out, '#');
    std::size_t n = text::unsigned_decimal(out, v);
    EXPECT_EQ(std::string(out, n), printed("%" PRIu64, v));
    EXPECT_EQ(out[n], '#');  // nothing past the digits
  }
}

// The writer for a line with room: every value around the table's end,
// both signs, and the ends of the 64-bit range, as "%lld" prints them.
TEST(Digits, SignedDecimalInRoomIsTheCLibrarys) {
  std::vector<std::int64_t> values{INT64_MIN, INT64_MIN + 1, INT64_MAX, INT32_MIN, INT32_MAX};
  for (std::int64_t v = -10010; v <= 10010; ++v) values.push_back(v);
  for (std::int64_t v : values) {
    char out[text::kDigitsMax];
    char want[32];
    std::snprintf(want, sizeof want, "%" PRId64, v);
    ASSERT_EQ(std::string(out, text::signed_decimal_in_room(out, v)), want);
  }
}

}  // namespace
