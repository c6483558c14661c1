// scan.h -- the byte loops of the views' hot path, sixteen bytes at a time
// where SSE2 is there (every x86-64), one at a time otherwise. Neither reads
// a byte at or past the bound it is given, so both stay inside the mapped
// range that the caller bounds them by.
#pragma once

#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kvf::scan {

// The first '%', '\\' or NUL in [p, limit), or `limit`.
inline const char* special(const char* p, const char* limit) {
#if defined(__SSE2__)
  const __m128i percent = _mm_set1_epi8('%'), backslash = _mm_set1_epi8('\\');
  const __m128i nul = _mm_setzero_si128();
  while (limit - p >= 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, percent), _mm_cmpeq_epi8(v, backslash)),
                               _mm_cmpeq_epi8(v, nul));
    if (int mask = _mm_movemask_epi8(hit)) return p + __builtin_ctz(static_cast<unsigned>(mask));
    p += 16;
  }
#endif
  while (p < limit && *p != '%' && *p != '\\' && *p != '\0') ++p;
  return p;
}

// Copies the string at `p` to `out` up to its NUL or `max` bytes, whichever
// comes first, and returns its length. Bytes of `out` up to `max` past the
// length may be overwritten.
inline std::size_t copy_string(char* out, const char* p, std::size_t max) {
  std::size_t n = 0;
#if defined(__SSE2__)
  const __m128i nul = _mm_setzero_si128();
  while (max - n >= 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + n));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + n), v);
    if (int mask = _mm_movemask_epi8(_mm_cmpeq_epi8(v, nul)))
      return n + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    n += 16;
  }
#endif
  while (n < max && p[n] != '\0') {
    out[n] = p[n];
    ++n;
  }
  return n;
}

}  // namespace kvf::scan
