// text.cpp -- digit conversions for the views' hand-written number formats:
// the length first, then the digits from the last one back, two decimal
// digits at a time from a table.
#include "viewer/text.h"

#include <bit>

namespace kvf::text {
namespace {

// "00" "01" ... "99".
constexpr struct Pairs {
  char text[200];
  constexpr Pairs() : text() {
    for (int i = 0; i < 100; ++i) {
      text[2 * i] = static_cast<char>('0' + i / 10);
      text[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
  }
} kPairs;

constexpr const char* kLower = "0123456789abcdef";
constexpr const char* kUpper = "0123456789ABCDEF";

std::size_t decimal_length(std::uint32_t v) {
  if (v < 100000) return v < 100 ? (v < 10 ? 1 : 2) : v < 1000 ? 3 : v < 10000 ? 4 : 5;
  return v < 10000000 ? (v < 1000000 ? 6 : 7) : v < 100000000 ? 8 : v < 1000000000 ? 9 : 10;
}

std::size_t decimal_length(std::uint64_t v) {
  std::size_t n = 0;
  while (v > UINT32_MAX) {
    v /= 100000;
    n += 5;
  }
  return n + decimal_length(static_cast<std::uint32_t>(v));
}

// Writes the digits of `v` so that they end at `end`. 32-bit division where the
// value allows it, which is most of the time.
template <typename U>
void decimal_back(char* end, U v) {
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

}  // namespace

std::size_t unsigned_decimal(char* out, std::uint64_t value) {
  if (value <= UINT32_MAX) {
    auto v = static_cast<std::uint32_t>(value);
    std::size_t n = decimal_length(v);
    decimal_back(out + n, v);
    return n;
  }
  std::size_t n = decimal_length(value);
  decimal_back(out + n, value);
  return n;
}

std::size_t signed_decimal(char* out, std::int64_t value) {
  if (value >= 0) return unsigned_decimal(out, static_cast<std::uint64_t>(value));
  out[0] = '-';
  // Negate in unsigned arithmetic so that INT64_MIN is exact.
  return 1 + unsigned_decimal(out + 1, 0 - static_cast<std::uint64_t>(value));
}

std::size_t lower_hex(char* out, std::uint64_t value) {
  std::size_t n = (static_cast<std::size_t>(std::bit_width(value | 1)) + 3) / 4;
  for (std::size_t i = n; i-- > 0;) {
    out[i] = kLower[value & 0xF];
    value >>= 4;
  }
  return n;
}

std::size_t octal(char* out, std::uint64_t value) {
  std::size_t n = (static_cast<std::size_t>(std::bit_width(value | 1)) + 2) / 3;
  for (std::size_t i = n; i-- > 0;) {
    out[i] = static_cast<char>('0' + (value & 7));
    value >>= 3;
  }
  return n;
}

std::size_t pointer_hex(char* out, std::uint64_t value) {
  for (int i = 15; i >= 0; --i) {
    out[i] = kUpper[value & 0xF];
    value >>= 4;
  }
  return 16;
}

void Text::zero_padded(std::int64_t v, std::size_t width) {
  char d[kDigitsMax];
  std::size_t n = signed_decimal(d, v);
  const char* p = d;
  if (v < 0) {
    put('-');
    ++p;
    --n;
    if (width > 0) --width;
  }
  if (n < width) fill('0', width - n);
  append(p, n);
}

}  // namespace kvf::text
