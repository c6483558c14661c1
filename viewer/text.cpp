// text.cpp -- digit conversions for the views' hand-written number formats.
#include "viewer/text.h"

namespace kvf::text {
namespace {

// Writes the digits of `value` in `base` to `out`, most significant first.
std::size_t digits(char* out, std::uint64_t value, unsigned base, const char* alphabet) {
  char tmp[kDigitsMax];
  std::size_t n = 0;
  do {
    tmp[n++] = alphabet[value % base];
    value /= base;
  } while (value != 0);
  for (std::size_t i = 0; i < n; ++i) out[i] = tmp[n - 1 - i];
  return n;
}

constexpr const char* kLower = "0123456789abcdef";
constexpr const char* kUpper = "0123456789ABCDEF";

}  // namespace

std::size_t signed_decimal(char* out, std::int64_t value) {
  if (value >= 0) return digits(out, static_cast<std::uint64_t>(value), 10, kLower);
  out[0] = '-';
  // Negate in unsigned arithmetic so that INT64_MIN is exact.
  return 1 + digits(out + 1, 0 - static_cast<std::uint64_t>(value), 10, kLower);
}

std::size_t unsigned_decimal(char* out, std::uint64_t value) { return digits(out, value, 10, kLower); }
std::size_t lower_hex(char* out, std::uint64_t value) { return digits(out, value, 16, kLower); }
std::size_t octal(char* out, std::uint64_t value) { return digits(out, value, 8, kLower); }

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
