// expand.cpp -- the message format language of trace records: backslash
// escapes, flagless C conversions over the packed argument area, and the
// hex dump %r. Every address is checked against the image before it is read.
#include "viewer/expand.h"

#include <cstdio>
#include <cstring>

#include "shm/field.h"
#include "shm/image.h"
#include "viewer/image_text.h"
#include "viewer/output.h"
#include "viewer/ring_layout.h"

namespace kvf {
namespace {

constexpr char kFormatError[] = "**FMTERR**";

// Floating conversions are made in a scratch area of this size; a text that
// does not fit (a %f of a value of 1e121 or more) counts as a failed
// conversion and shows as **FMTERR**.
constexpr std::size_t kScratch = 128;

// The argument cursor over the 80-byte area. A conversion that needs bytes
// beyond the area shows **FMTERR** and uses the area up, so that nothing
// past the record is ever read and every later conversion fails alike.
class Arguments {
 public:
  explicit Arguments(const unsigned char* area) : area_(area) {}

  // Copies the next `n` bytes to `out`; false when they are not there.
  bool take(void* out, std::size_t n) {
    if (n > record::kArgsSize - at_) {
      at_ = record::kArgsSize;
      return false;
    }
    std::memcpy(out, area_ + at_, n);
    at_ += n;
    return true;
  }

 private:
  const unsigned char* area_;
  std::size_t at_ = 0;
};

template <typename T>
bool take(Arguments& args, T* value) {
  return args.take(value, sizeof *value);
}

void escape(text::Text& out, char c) {
  switch (c) {
    case 'a': out.put('\a'); break;
    case 'b': out.put('\b'); break;
    case 'f': out.put('\f'); break;
    case 'n': out.put('\n'); break;
    case 'r': out.put('\r'); break;
    case 't': out.put('\t'); break;
    case 'v': out.put('\v'); break;
    default: out.put(c); break;  // backslash itself, or the byte as it is
  }
}

void floating(text::Text& out, char conversion, double value) {
  const char pattern[3] = {'%', conversion, '\0'};
  char scratch[kScratch];
  int n = std::snprintf(scratch, sizeof scratch, pattern, value);
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof scratch)
    out.append(kFormatError);
  else
    out.append(scratch, static_cast<std::size_t>(n));
}

// %r: the text so far goes out as it is, then 16 bytes a line, each line
// opening with the low 32 bits of its address; the text starts again.
bool hex_dump(text::Text& out, std::uint64_t block, std::int32_t count) {
  if (count > 0 && (block == 0 || !image_holds(block, static_cast<std::uint64_t>(count))))
    return false;
  out::write(out.data(), out.size());
  out.clear();
  const unsigned char* bytes = address(block);
  char line[1 + 8 + 1 + 16 * 3 + 1];  // "\n", address, ":", 16 bytes, NUL
  for (std::int32_t i = 0; i < count;) {
    text::Text l(line, sizeof line);
    l.put('\n');
    char d[text::kDigitsMax];
    l.right(d, text::lower_hex(d, static_cast<std::uint32_t>(block + static_cast<std::uint64_t>(i))), 8);
    l.put(':');
    for (std::int32_t j = 0; j < 16 && i < count; ++j, ++i) {
      l.put(' ');
      l.right(d, text::lower_hex(d, bytes[i]), 2);
    }
    out::write(l.data(), l.size());
  }
  return true;
}

// One conversion at `*f` (the byte after the percent sign, not NUL).
// Advances `*f` past what it consumed. False when the record is unreadable.
bool convert(text::Text& out, const char** f, const char* end, Arguments& args) {
  char c = **f;
  ++*f;
  char d[text::kDigitsMax];
  switch (c) {
    case '%':
      out.put('%');
      return true;
    case 'd':
    case 'i':
    case 'o':
    case 'x':
    case 'X':
    case 'c': {
      std::int32_t v;
      if (!take(args, &v)) break;
      auto u = static_cast<std::uint32_t>(v);
      if (c == 'd' || c == 'i') out.append(d, text::signed_decimal(d, v));
      else if (c == 'o') out.append(d, text::octal(d, u));
      else if (c == 'c') {
        // A NUL character would end the text where it is written out, so
        // it adds nothing.
        if ((u & 0xFF) != 0) out.put(static_cast<char>(u & 0xFF));
      } else out.append(d, text::lower_hex(d, u));
      return true;
    }
    case 's': {
      std::uint64_t a;
      if (!take(args, &a)) break;
      if (a == 0) {
        out.append("(null)");
        return true;
      }
      ImageString s;
      if (!image_string(a, kMessageSize, &s)) return false;
      out.append(s.data, s.size);
      return true;
    }
    case 'p': {
      std::uint64_t a;
      if (!take(args, &a)) break;
      out.pointer(a);
      return true;
    }
    case 'e':
    case 'E':
    case 'f':
    case 'g':
    case 'G': {
      double v;
      if (!take(args, &v)) break;
      floating(out, c, v);
      return true;
    }
    case 'l': {
      std::uint64_t v;
      if (!take(args, &v)) {
        // The bytes after the l are consumed as the conversion would have.
        if (*f < end && **f == 'l') {
          ++*f;
          if (*f < end && (**f == 'u' || **f == 'x')) ++*f;
        }
        break;
      }
      if (*f >= end || **f != 'l') {
        // %l: a 32-bit long; only "%l" is consumed.
        out.append(d, text::signed_decimal(d, static_cast<std::int32_t>(static_cast<std::uint32_t>(v))));
        return true;
      }
      ++*f;
      if (*f < end && **f == 'u') {
        ++*f;
        out.append(d, text::unsigned_decimal(d, v));
      } else if (*f < end && **f == 'x') {
        ++*f;
        out.append(d, text::lower_hex(d, v));
      } else {
        out.append(d, text::signed_decimal(d, static_cast<std::int64_t>(v)));
      }
      return true;
    }
    case 'r': {
      std::uint64_t block;
      std::int32_t count;
      if (!take(args, &block) || !take(args, &count)) break;
      return hex_dump(out, block, count);
    }
    default:
      out.put('%');
      out.put(c);
      return true;
  }
  out.append(kFormatError);
  return true;
}

}  // namespace

bool kvf_expand_message(text::Text& buffer, std::uint64_t format, const unsigned char* args) {
  buffer.clear();
  if (format == 0) return true;
  ImageString fmt;
  // The format is read up to its NUL or the end of its mapped range.
  if (!image_string(format, static_cast<std::size_t>(-1), &fmt)) return false;
  const char* f = fmt.data;
  const char* end = f + fmt.size;
  Arguments cursor(args);
  while (f < end) {
    const char* plain = f;
    while (f < end && *f != '%' && *f != '\\') ++f;
    buffer.append(plain, static_cast<std::size_t>(f - plain));
    if (f == end) break;
    if (*f == '\\') {
      if (++f == end) break;  // a closing backslash ends the text
      escape(buffer, *f++);
      continue;
    }
    if (++f == end) {
      buffer.put('%');  // a closing percent sign is copied
      break;
    }
    if (!convert(buffer, &f, end, cursor)) return false;
  }
  return true;
}

}  // namespace kvf
