// floating.cpp -- %f %e %E %g %G of a double with precision 6, to the byte
// what the C library's printf gives, which rounds the exact binary value
// of the double (never a product rounded on the way) to the nearest
// decimal, a tie to an even last digit.
//
// The values trace messages carry take a short road in integer arithmetic.
// A double of magnitude in [2^-43, 2^52) is m / 2^s exactly, with m the
// 53-bit significand and s = 52 - its binary exponent, from 1 to 95. The
// digits are v * 10^k for a decimal scale k, taken as a quotient and a
// remainder:
//   k >= 0: m * 10^k (below 2^53 * 10^19 < 2^117) split at bit s, the
//           remainder compared with 2^(s-1);
//   k < 0:  m divided by 10^-k * 2^s, which only happens for a value of at
//           least 10^6 and then stays below 2^53 / 10^5.
// Both are exact, so a tie is seen as a tie. The lower end keeps 10^k in
// 64 bits (k is at most 19 there), the upper end keeps a fraction part in
// every value (s >= 1). Zero takes the road too; everything else (larger
// and smaller values, subnormals, infinities and NaNs) goes to
// std::to_chars, which is defined to give printf's digits, or to snprintf
// itself for infinities and NaNs.
#include "viewer/floating.h"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "viewer/digits.h"

namespace kvf {
namespace {

using u128 = unsigned __int128;

// The binary exponents of the short road.
constexpr int kLowestExponent = -43;
constexpr int kHighestExponent = 51;

// 10^0 to 10^19, all a u64 holds.
constexpr auto kPow10 = [] {
  std::array<std::uint64_t, 20> p{};
  p[0] = 1;
  for (std::size_t i = 1; i < p.size(); ++i) p[i] = p[i - 1] * 10;
  return p;
}();

// m / 2^s times 10^k rounded to an integer, half to even.
[[gnu::always_inline]] inline std::uint64_t scaled(std::uint64_t m, int s, int k) {
  if (k >= 0) {
    // The quotient with the first bit of the remainder below it: that bit
    // is the half, and the bits under it say whether it is more.
    u128 n = static_cast<u128>(m) * kPow10[k];
    auto t = static_cast<std::uint64_t>(n >> (s - 1));
    bool more = n != static_cast<u128>(t) << (s - 1);
    return (t >> 1) + ((t & 1) != 0 && (more || (t & 2) != 0));
  }
  std::uint64_t d = kPow10[-k] << s;
  std::uint64_t q = m / d, rest = m % d;
  return q + (2 * rest > d || (2 * rest == d && (q & 1) != 0));
}

// The `precision` + 1 significant digits of m / 2^s (below 10^(precision
// + 1), the first not 0) and the decimal exponent of the value they round
// it to: a rounding up to the next power of ten moves the exponent on.
struct Significant {
  std::uint32_t digits;
  int exponent;
};

[[gnu::always_inline]] inline Significant significant(std::uint64_t m, int s, int precision) {
  // floor(log10 of 2^(52 - s)): the exponent of the value or one below.
  int x = ((52 - s) * 78913) >> 18;
  std::uint64_t d = scaled(m, s, precision - x);
  // Too many digits: the value is at least 10^(x + 1), or rounds up to it.
  // Scaled again, rather than the digits cut, so that the rounding is the
  // value's own; that cannot carry again, as no value of one binary
  // exponent comes near 10^(x + 2).
  if (d >= kPow10[precision + 1]) d = scaled(m, s, precision - ++x);
  return {static_cast<std::uint32_t>(d), x};
}

// The digits are placed as whole 8-byte words, the first digit in the
// first byte, and may leave a few bytes of no meaning after the text: the
// short road's texts are below 30 bytes of the room's kFloatingMax.

// Writes the eight digits of `v` (below 10^8), leading zeros included.
[[gnu::always_inline]] inline void put8(char* out, std::uint64_t v) {
  std::uint64_t digits = text::decimal_digits8(static_cast<std::uint32_t>(v));
  std::memcpy(out, &digits, 8);
}

// "e+XX" for a decimal exponent of at most two digits.
char* exponent_text(char* p, char e, int x) {
  p[0] = e;
  p[1] = x < 0 ? '-' : '+';
  unsigned a = static_cast<unsigned>(x < 0 ? -x : x);
  std::memcpy(p + 2, text::detail::kPairs.text + 2 * a, 2);
  return p + 4;
}

// %f: the whole part, the point and six decimals.
char* fixed_text(char* p, std::uint64_t m, int s) {
  // s reaches 95: the whole part and the fraction bits are split in 128
  // bits.
  auto whole = static_cast<std::uint64_t>(static_cast<u128>(m) >> s);
  auto fraction = static_cast<std::uint64_t>(m & ((static_cast<u128>(1) << s) - 1));
  std::uint64_t decimals = scaled(fraction, s, 6);
  if (decimals == kPow10[6]) {
    decimals = 0;
    ++whole;
  }
  p += text::unsigned_decimal(p, whole);
  *p = '.';
  put8(p + 1, decimals * 100);
  return p + 7;
}

// %e: one digit, the point, six digits and the exponent.
char* scientific_text(char* p, std::uint64_t m, int s, char e) {
  Significant v = significant(m, s, 6);
  put8(p + 1, v.digits * 10);
  p[0] = p[1];
  p[1] = '.';
  return exponent_text(p + 8, e, v.exponent);
}

// %g: six significant digits, fixed for an exponent from -4 to 5 and
// scientific otherwise, without trailing zeros or a trailing point.
char* general_text(char* p, std::uint64_t m, int s, char e) {
  Significant v = significant(m, s, 5);
  std::uint64_t digits = text::decimal_digits8(v.digits * 100);  // the six digits, "00"
  // The digits up to the last that is not 0, counted from the top byte
  // down; the first digit is not 0.
  int n = 8 - __builtin_clzll(digits ^ 0x3030303030303030u) / 8;
  int x = v.exponent;
  if (x < -4 || x >= 6) {
    std::memcpy(p + 1, &digits, 8);
    p[0] = p[1];
    p[1] = '.';
    return exponent_text(p + (n > 1 ? n + 1 : 1), e, x);
  }
  if (x < 0) {
    std::memcpy(p, "0.000000", 8);
    std::memcpy(p + 1 - x, &digits, 8);
    return p + 1 - x + n;
  }
  // The digits of the whole part, the point, and the rest moved on by one.
  std::memcpy(p, &digits, 8);
  p[x + 1] = '.';
  std::uint64_t rest = digits >> (8 * (x + 1));
  std::memcpy(p + x + 2, &rest, 8);
  return p + (n > x + 1 ? n + 1 : x + 1);
}

// The C library's text of one conversion, for the values off the short
// road. The room holds the longest text, so neither call can fail.
std::size_t library_text(char* out, char letter, double value) {
  if (!std::isfinite(value)) {
    const char pattern[3] = {'%', letter, '\0'};
    return static_cast<std::size_t>(std::snprintf(out, kFloatingMax, pattern, value));
  }
  std::chars_format style = letter == 'f'                    ? std::chars_format::fixed
                            : letter == 'e' || letter == 'E' ? std::chars_format::scientific
                                                             : std::chars_format::general;
  char* end = std::to_chars(out, out + kFloatingMax, value, style, 6).ptr;
  std::size_t n = static_cast<std::size_t>(end - out);
  if (letter == 'E' || letter == 'G')
    for (std::size_t i = 0; i < n; ++i)
      if (out[i] == 'e') out[i] = 'E';
  return n;
}

}  // namespace

std::size_t floating_text(char* out, char letter, double value) {
  auto bits = std::bit_cast<std::uint64_t>(value);
  int exponent = static_cast<int>((bits >> 52) & 0x7FF) - 1023;
  bool zero = (bits << 1) == 0;
  if (!zero && (exponent < kLowestExponent || exponent > kHighestExponent)) return library_text(out, letter, value);
  char* p = out;
  if (bits >> 63) *p++ = '-';
  char e = letter == 'E' || letter == 'G' ? 'E' : 'e';
  if (zero) {
    const char* text = letter == 'f'   ? "0.000000"
                       : letter == 'e' ? "0.000000e+00"
                       : letter == 'E' ? "0.000000E+00"
                                       : "0";
    std::size_t n = std::strlen(text);
    std::memcpy(p, text, n);
    return static_cast<std::size_t>(p - out) + n;
  }
  std::uint64_t m = (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
  int s = 52 - exponent;
  switch (letter) {
    case 'f': p = fixed_text(p, m, s); break;
    case 'e':
    case 'E': p = scientific_text(p, m, s, e); break;
    default: p = general_text(p, m, s, e); break;
  }
  return static_cast<std::size_t>(p - out);
}

}  // namespace kvf
