// message_fixup.cpp -- rldmsg_fmtspeckvf: rewrites a catalogue text's pointer
// conversions (%lx, %-lx) into the C library's %p before it serves as a
// format, stepping whole characters so a '%' byte inside a multibyte
// character is never taken for a conversion.
#include <cstring>

#include "startup/catalogue.h"
#include "startup/catalogue_state.h"
#include "startup/locale.h"

namespace kvf {
namespace {

constexpr const char* kFixupError = "Error in rldmsg_fmtspeckvf() contact tech support\n";
constexpr std::int32_t kFixupNoMemory = -406;

// Replaces the pattern at `p` (after its '%') by the one-byte-shorter
// replacement, moving the rest of the text, its NUL included, to the left.
void shorten(char* p, const char* replacement, std::size_t pattern_len, char* end) {
  std::size_t rlen = std::strlen(replacement);
  std::memcpy(p, replacement, rlen);
  std::memmove(p + rlen, p + pattern_len, static_cast<std::size_t>(end - (p + pattern_len)) + 1);
}

}  // namespace

const char* rldmsg_fmtspeckvf(char* text, std::int32_t* error) {
  if (!text) return kFixupError;
  if (!*text) return text;
  if (!catalogue_state()) {
    if (error) *error = kFixupNoMemory;
    return kFixupError;
  }
  if (!locale_codeset_loaded()) return text;

  int saved = locale_error();
  locale_error() = 0;
  std::size_t bytes = locale_string_bytes(text);
  if (locale_error() != 0) {
    locale_error() = saved;
    if (error) *error = kFixupNoMemory;
    return kFixupError;
  }
  char* end = text + bytes - 1;  // the terminating NUL
  for (char* p = text; p < end;) {
    if (*p == '%' && p + 1 < end) {
      if (std::strncmp(p + 1, "lx", 2) == 0) {
        shorten(p + 1, "p", 2, end);
        --end;
      } else if (std::strncmp(p + 1, "-lx", 3) == 0) {
        shorten(p + 1, "-p", 3, end);
        --end;
      }
    }
    std::size_t step = locale_char_bytes(p);
    p += step ? step : 1;
  }
  locale_error() = saved;
  return text;
}

}  // namespace kvf
