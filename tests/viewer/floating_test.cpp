// floating_test.cpp -- the floating conversions against the C library's
// printf, letter by letter: exact ties of both parities, roundings that
// carry into a new digit, the ends of the integer road and the values off
// it, and a long run over random doubles from a fixed seed.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "viewer/floating.h"

namespace {

constexpr char kLetters[] = {'f', 'e', 'E', 'g', 'G'};

std::string printed(char letter, double v) {
  const char pattern[3] = {'%', letter, '\0'};
  char s[400];
  std::snprintf(s, sizeof s, pattern, v);
  return s;
}

std::string ours(char letter, double v) {
  char out[kvf::kFloatingMax];
  return std::string(out, kvf::floating_text(out, letter, v));
}

std::string exact(double v) {
  char s[64];
  std::snprintf(s, sizeof s, "%a (%.17g)", v, v);
  return s;
}

// Compares a value and its negative in every letter with printf; shows
// the first few differences and counts them all.
struct Compare {
  int found = 0;
  void operator()(double v) {
    for (double w : {v, -v}) {
      for (char letter : kLetters) {
        std::string want = printed(letter, w), got = ours(letter, w);
        if (got != want && found++ < 10)
          ADD_FAILURE() << "%" << letter << " of " << exact(w) << ": " << got << ", want " << want;
      }
    }
  }
};

double pow10(int j) { return std::strtod(("1e" + std::to_string(j)).c_str(), nullptr); }

// Each value with the doubles on either side of it (and their negatives).
TEST(Floating, TheCLibrarysText) {
  const double max = std::numeric_limits<double>::max(), min = std::numeric_limits<double>::min();
  std::vector<double> powers;  // as far as the integer road goes
  for (int j = -13; j <= 15; ++j) powers.push_back(pow10(j));
  struct Group {
    const char* name;
    std::vector<double> values;
  };
  const Group groups[] = {
      // 0.5, 2.5 and 1.0000005 (ties at fewer places, the last not exact
      // in binary), then exact ties of the last digit kept, with an even and
      // an odd digit before the five: in the fraction (odd multiples of
      // 2^-7 for %f and %e, of 2^-6 for %g), in 8-digit and 7-digit
      // integers (the digits of %e and %g are then a quotient), and below
      // 1 for %e.
      {"ties",
       {0.5, 2.5, 1.0000005, 0.0078125, 0.0234375, 1.0078125, 1.0234375, 1.015625, 1.046875, 12345665.0,
        12345675.0, 1234565.0, 1234575.0, 123456650.0, 123456750.0, 0.0029296875, 0.0048828125,
        1099511627776.0078125, 1099511627776.0234375}},
      // Roundings that carry into a new leading digit, on ties or within a
      // unit of the last place of one.
      {"carries",
       {9.9999995, 999999.5, 0.00009999995, 9.999995, 9999995.0, 99999995.0, 0.99999995, 99999.95,
        0.0000099999995, 999999999999999.5}},
      {"powers of ten", powers},
      // The ends of the integer road, [2^-43, 2^52), and of the values
      // trace messages mostly carry.
      {"ends", {0x1p-43, 0x1p52, 1e-5, 1e15}},
      // Off the road: zero, subnormals, large values whose %g changes
      // between fixed and scientific, the extremes, infinities, NaNs.
      {"special", {0.0, 4 * std::numeric_limits<double>::denorm_min(), min, 1e-300, 1e118, 1e119, 1e120,
                   9.99999e120, 1e121, 1e200, 1e308, max, HUGE_VAL, std::nan("")}},
  };
  Compare check;
  for (const Group& group : groups) {
    SCOPED_TRACE(group.name);
    for (double v : group.values)
      for (double w : {std::nextafter(v, 0.0), v, std::nextafter(v, HUGE_VAL)}) check(w);
  }
  EXPECT_EQ(check.found, 0);
}

// Random bit patterns (every exponent, subnormals, NaNs), random values on
// the integer road, and short decimals n * 10^j as a message's numbers
// mostly are, many of them within a hair of a tie.
TEST(Floating, RandomDoublesAreTheCLibrarys) {
  std::mt19937_64 random(20240611);
  Compare check;
  for (int i = 0; i < 100000; ++i) check(std::bit_cast<double>(random()));
  std::uniform_int_distribution<int> exponent(-43, 51);
  for (int i = 0; i < 200000; ++i)
    check(std::ldexp(1.0 + static_cast<double>(random() >> 12) * 0x1p-52, exponent(random)));
  std::uniform_int_distribution<std::int64_t> digits(0, 99999999);
  std::uniform_int_distribution<int> scale(-20, 7);
  std::vector<double> powers;
  for (int j = 0; j <= 20; ++j) powers.push_back(pow10(j));
  for (int i = 0; i < 100000; ++i) {
    int j = scale(random);
    auto n = static_cast<double>(digits(random));
    check(j < 0 ? n / powers[-j] : n * powers[j]);
  }
  EXPECT_EQ(check.found, 0);
}

}  // namespace
