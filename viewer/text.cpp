// text.cpp -- the zero-padded number of the time text.
#include "viewer/text.h"

namespace kvf::text {

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
