// floating.h -- the text of the C library's floating conversions %f %e %E
// %g %G of a double, with their default precision of 6 and no flags or
// width, as the message expansion shows them.
#pragma once

#include <cstddef>
#include <limits>

namespace kvf {

// Most bytes of one conversion's text: %f of -DBL_MAX, a sign, 309 digits,
// the point and 6 decimals (%e and %g are far shorter).
inline constexpr std::size_t kFloatingMax = 1 + (std::numeric_limits<double>::max_exponent10 + 1) + 1 + 6;

// Writes the text of conversion `letter` ('f', 'e', 'E', 'g' or 'G') of
// `value` at `out`, which has room for kFloatingMax bytes, and returns its
// length: the same bytes as the C library's printf, "inf" and "nan" (upper
// case for E and G) included. What the room holds after the text is
// unspecified.
std::size_t floating_text(char* out, char letter, double value);

}  // namespace kvf
