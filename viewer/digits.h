// digits.h -- the digit conversions of the views' number formats, inline so
// that the line writers compile them in place: the length first, then the
// digits from the last one back, two decimal digits at a time from a table.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kvf::text {
namespace detail {

// "00" "01" ... "99".
inline constexpr struct Pairs {
  char text[200];
  constexpr Pairs() : text() {
    for (int i = 0; i < 100; ++i) {
      text[2 * i] = static_cast<char>('0' + i / 10);
      text[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
  }
} kPairs;

// "0" to "9999", each its digits and blanks after them in four bytes.
inline constexpr struct SmallDecimals {
  char text[10000][4];
  constexpr SmallDecimals() : text() {
    for (std::uint32_t v = 0; v < 10000; ++v) {
      std::uint32_t n = v < 10 ? 1 : v < 100 ? 2 : v < 1000 ? 3 : 4;
      for (std::uint32_t i = 0; i < 4; ++i) text[v][i] = ' ';
      for (std::uint32_t i = n, rest = v; i > 0; --i, rest /= 10) text[v][i - 1] = static_cast<char>('0' + rest % 10);
    }
  }
} kSmall;

inline constexpr const char* kLower = "0123456789abcdef";
inline constexpr const char* kUpper = "0123456789ABCDEF";

[[gnu::always_inline]] inline std::size_t decimal_length(std::uint32_t v) {
  if (v < 100000) return v < 100 ? (v < 10 ? 1 : 2) : v < 1000 ? 3 : v < 10000 ? 4 : 5;
  return v < 10000000 ? (v < 1000000 ? 6 : 7) : v < 100000000 ? 8 : v < 1000000000 ? 9 : 10;
}

inline std::size_t decimal_length(std::uint64_t v) {
  std::size_t n = 0;
  while (v > UINT32_MAX) {
    v /= 100000;
    n += 5;
  }
  return n + decimal_length(static_cast<std::uint32_t>(v));
}

// Writes the digits of `v` so that they end at `end`; with 32-bit
// division where the value allows it, which is most of the time.
template <typename U>
[[gnu::always_inline]] inline void decimal_back(char* end, U v) {
  while (v >= 100) {
    U r = v % 100;
    v /= 100;
    end -= 2;
    std::memcpy(end, kPairs.text + 2 * r, 2);
  }
  if (v >= 10) {
    std::memcpy(end - 2, kPairs.text + 2 * v, 2);
  } else {
    end[-1] = static_cast<char>('0' + v);
  }
}

}  // namespace detail

// Below this a value's decimal text is four bytes of a table: its digits,
// blanks after them (small_decimal).
inline constexpr std::uint32_t kSmallDecimals = 10000;
static_assert(sizeof detail::kSmall.text / sizeof detail::kSmall.text[0] == kSmallDecimals);
[[gnu::always_inline]] inline const char* small_decimal(std::uint32_t v) { return detail::kSmall.text[v]; }

// Longest output of the digit helpers below (22 octal digits of a u64).
inline constexpr std::size_t kDigitsMax = 24;

// Each writes the digits of `value` to `out` (no NUL) and returns how many;
// pointer_hex always writes 16 uppercase digits, zero-filled.
[[gnu::always_inline]] inline std::size_t unsigned_decimal(char* out, std::uint64_t value) {
  if (value <= UINT32_MAX) {
    auto v = static_cast<std::uint32_t>(value);
    std::size_t n = detail::decimal_length(v);
    detail::decimal_back(out + n, v);
    return n;
  }
  std::size_t n = detail::decimal_length(value);
  detail::decimal_back(out + n, value);
  return n;
}

[[gnu::always_inline]] inline std::size_t signed_decimal(char* out, std::int64_t value) {
  if (value >= 0) return unsigned_decimal(out, static_cast<std::uint64_t>(value));
  out[0] = '-';
  // Negate in unsigned arithmetic so that INT64_MIN is exact.
  return 1 + unsigned_decimal(out + 1, 0 - static_cast<std::uint64_t>(value));
}

// signed_decimal for a writer with room for kDigitsMax bytes: a value from
// 0 to 9999 is its four bytes from a table, blanks after its digits, with
// no division.
[[gnu::always_inline]] inline std::size_t signed_decimal_in_room(char* out, std::int64_t value) {
  if (static_cast<std::uint64_t>(value) < kSmallDecimals) {
    std::memcpy(out, small_decimal(static_cast<std::uint32_t>(value)), 4);
    return 1 + (value >= 10) + (value >= 100) + (value >= 1000);
  }
  return signed_decimal(out, value);
}

// The digits are written from the last one back, as many as the value
// needs (at least one), by a pointer that stops at `out`: a count that runs
// down to zero makes g++ 12's optimiser warn of a write before `out`.
inline std::size_t lower_hex(char* out, std::uint64_t value) {
  std::size_t n = (static_cast<std::size_t>(std::bit_width(value | 1)) + 3) / 4;
  char* p = out + n;
  do {
    *--p = detail::kLower[value & 0xF];
    value >>= 4;
  } while (p != out);
  return n;
}

inline std::size_t octal(char* out, std::uint64_t value) {
  std::size_t n = (static_cast<std::size_t>(std::bit_width(value | 1)) + 2) / 3;
  char* p = out + n;
  do {
    *--p = static_cast<char>('0' + (value & 7));
    value >>= 3;
  } while (p != out);
  return n;
}

// The eight hex digits of `v`, leading zeros included, as the bytes of a
// little-endian u64: the most significant digit first. `letters` is 'a' or
// 'A'. Each nibble is spread to a byte of its own, and the bytes of those
// from 10 up are moved from after '9' to the letters, all at once.
[[gnu::always_inline]] inline std::uint64_t hex_digits8(std::uint32_t v, char letters) {
  std::uint64_t t = v;
  t = ((t & 0xFFFF0000u) << 16) | (t & 0xFFFFu);
  t = ((t & 0x0000FF000000FF00u) << 8) | (t & 0x000000FF000000FFu);
  t = ((t & 0x00F000F000F000F0u) << 4) | (t & 0x000F000F000F000Fu);
  t = __builtin_bswap64(t);
  std::uint64_t letter = ((t + 0x0606060606060606u) >> 4) & 0x0101010101010101u;
  return t + 0x3030303030303030u + letter * static_cast<std::uint64_t>(letters - '0' - 10);
}

inline std::size_t pointer_hex(char* out, std::uint64_t value) {
  std::uint64_t high = hex_digits8(static_cast<std::uint32_t>(value >> 32), 'A');
  std::uint64_t low = hex_digits8(static_cast<std::uint32_t>(value), 'A');
  std::memcpy(out, &high, 8);
  std::memcpy(out + 8, &low, 8);
  return 16;
}

// The lowercase hex digits of `v` (as many as it needs, at least one) in
// the first of 8 bytes written at `out`, `fill` in the rest; returns how
// many digits.
[[gnu::always_inline]] inline std::size_t lower_hex8(char* out, std::uint32_t v, char fill) {
  std::size_t n = (static_cast<std::size_t>(std::bit_width(v | 1u)) + 3) / 4;
  std::uint64_t digits = hex_digits8(v, 'a');
  // Drop the leading zeros: the digits move to the first bytes, the fill
  // takes the bytes they leave.
  std::size_t lead = 8 * (8 - n);
  if (lead != 0) {
    digits >>= lead;
    digits |= (0x0101010101010101u * static_cast<unsigned char>(fill)) << (64 - lead);
  }
  std::memcpy(out, &digits, 8);
  return n;
}

// The eight decimal digits of `v` (below 10^8), leading zeros included,
// as the bytes of a little-endian u64, most significant first: four pairs
// from the table.
[[gnu::always_inline]] inline std::uint64_t decimal_digits8(std::uint32_t v) {
  std::uint32_t high = v / 10000, low = v % 10000;
  std::uint16_t p[4];
  std::memcpy(&p[0], detail::kPairs.text + 2 * (high / 100), 2);
  std::memcpy(&p[1], detail::kPairs.text + 2 * (high % 100), 2);
  std::memcpy(&p[2], detail::kPairs.text + 2 * (low / 100), 2);
  std::memcpy(&p[3], detail::kPairs.text + 2 * (low % 100), 2);
  std::uint64_t digits;
  std::memcpy(&digits, p, 8);
  return digits;
}

// The same as function objects, for writers that take the conversion as a
// parameter and should still compile it in place.
struct SignedDecimal {
  [[gnu::always_inline]] std::size_t operator()(char* out, std::int64_t v) const { return signed_decimal(out, v); }
};
// The same into room for kDigitsMax bytes, of which it may write more than
// it counts.
struct SignedDecimalInRoom {
  [[gnu::always_inline]] std::size_t operator()(char* out, std::int64_t v) const {
    return signed_decimal_in_room(out, v);
  }
};
struct UnsignedDecimal {
  [[gnu::always_inline]] std::size_t operator()(char* out, std::uint64_t v) const { return unsigned_decimal(out, v); }
};
struct LowerHex {
  [[gnu::always_inline]] std::size_t operator()(char* out, std::uint64_t v) const { return lower_hex(out, v); }
};
// Lowercase hex of a value below 2^32 into room for 8 bytes: what follows
// the digits there is blank.
struct LowerHex8 {
  [[gnu::always_inline]] std::size_t operator()(char* out, std::uint32_t v) const { return lower_hex8(out, v, ' '); }
};
struct Octal {
  [[gnu::always_inline]] std::size_t operator()(char* out, std::uint64_t v) const { return octal(out, v); }
};
struct PointerHex {
  [[gnu::always_inline]] std::size_t operator()(char* out, std::uint64_t v) const { return pointer_hex(out, v); }
};

}  // namespace kvf::text
