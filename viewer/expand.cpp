// expand.cpp -- the message format language of trace records: backslash
// escapes, flagless C conversions over the packed argument area, and the
// hex dump %r. Every address is checked against the image before it is read.
// The text is written straight into the line the caller gives (for the views
// the record's line in the output buffer), which holds room for the longest
// text the line may keep; hex dumps go to the caller's dump sink.
#include "viewer/expand.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "layouts/field.h"
#include "layouts/ring_layout.h"
#include "viewer/image_text.h"
#include "viewer/scan.h"
#include "viewer/text.h"

namespace kvf {
namespace {

constexpr char kFormatError[] = "**FMTERR**";

// Floating conversions are made in a scratch area that holds the longest
// text any double gives: %f of -DBL_MAX, a sign, 309 digits, the point and
// 6 decimals (%e and %g are far shorter).
constexpr std::size_t kScratch = 1 + (std::numeric_limits<double>::max_exponent10 + 1) + 1 + 6;

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

// The message text of a line: what does not fit below `limit` is dropped.
class Text {
 public:
  explicit Text(Line& line) : line_(line) { restart(); }

  void put(char c) {
    if (at_ < limit_) *at_++ = c;
  }
  void append(const char* p, std::size_t n) {
    std::size_t room = static_cast<std::size_t>(limit_ - at_);
    if (n > room) n = room;
    std::memcpy(at_, p, n);
    at_ += n;
  }
  // A plain run of the format at `p`, which may be read up to `readable`:
  // a short run is moved as one 16-byte block (the line has room past the
  // text's limit for what lands beyond the run).
  void run(const char* p, std::size_t n, const char* readable) {
    if (n <= 16 && readable - p >= 16 && limit_ - at_ >= 16) {
      std::memcpy(at_, p, 16);
      at_ += n;
      return;
    }
    append(p, n);
  }
  // The string a %s points to, cut where the text is full; false when it
  // does not lie in the image up to its NUL.
  bool string(std::uint64_t address) {
    std::size_t room = static_cast<std::size_t>(limit_ - at_);
    std::size_t n;
    if (!image_copy(address, room < kMessageSize ? room : kMessageSize, at_, &n)) return false;
    at_ += n;
    return true;
  }
  template <std::size_t N>
  void append(const char (&s)[N]) {
    append(s, N - 1);
  }
  // A number by one of the text:: digit writers, written straight in when
  // the longest number fits.
  template <typename Digits, typename V>
  void number(Digits digits, V v) {
    if (static_cast<std::size_t>(limit_ - at_) >= text::kDigitsMax) {
      at_ += digits(at_, v);
    } else {
      char d[text::kDigitsMax];
      append(d, digits(d, v));
    }
  }

  // Hands the text back to the line; `restart` takes the line up again.
  Line& line() {
    line_.at = at_;
    return line_;
  }
  void restart() {
    at_ = line_.at;
    limit_ = line_.message + (kMessageSize - 1);
  }

 private:
  Line& line_;
  char* at_;
  char* limit_;
};

void escape(Text& out, char c) {
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

// %f %e %E %g %G with their default precision of 6. Finite values take the
// shortest road, std::to_chars, which is defined to give printf's digits;
// infinities and NaNs keep the C library's spelling. The scratch area holds
// every text, so no double shows **FMTERR**; what passes the line's limit is
// dropped like any long text.
void floating(Text& out, char conversion, double value) {
  char scratch[kScratch + 1];  // and the NUL snprintf adds
  std::size_t n;
  if (std::isfinite(value)) {
    std::chars_format style = conversion == 'f'                       ? std::chars_format::fixed
                              : conversion == 'e' || conversion == 'E' ? std::chars_format::scientific
                                                                       : std::chars_format::general;
    auto [end, error] = std::to_chars(scratch, scratch + kScratch, value, style, 6);
    if (error != std::errc()) {
      out.append(kFormatError);
      return;
    }
    n = static_cast<std::size_t>(end - scratch);
    if (conversion == 'E' || conversion == 'G')
      for (std::size_t i = 0; i < n; ++i)
        if (scratch[i] == 'e') scratch[i] = 'E';
  } else {
    const char pattern[3] = {'%', conversion, '\0'};
    n = static_cast<std::size_t>(std::snprintf(scratch, sizeof scratch, pattern, value));
  }
  out.append(scratch, n);
}

// %r: the block's bytes as far as the image holds them, handed to the
// sink with the text so far; the text then starts again where the sink
// says. No byte outside the image is read, here or by the sink.
bool hex_dump(Text& text, const DumpSink& dumps, std::uint64_t block, std::int32_t count) {
  std::int32_t shown = 0;  // the bytes the image holds, up to the count
  if (count > 0 && block != 0) {
    std::uint64_t span = image_bytes_from(block);
    shown = span < static_cast<std::uint64_t>(count) ? static_cast<std::int32_t>(span) : count;
  }
  dumps.hex_dump(dumps.context, text.line(), HexDump{block, address(block), count, shown});
  if (shown < count) return false;
  text.restart();
  return true;
}

// One conversion at `*f` (the byte after the percent sign, neither NUL nor
// the end of the format's range `end`). Advances `*f` past what it consumed.
// False when the record is unreadable.
bool convert(Text& out, const char** f, const char* end, Arguments& args, const DumpSink& dumps) {
  char c = **f;
  ++*f;
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
      if (c == 'd' || c == 'i') out.number(text::SignedDecimal{}, v);
      else if (c == 'o') out.number(text::Octal{}, u);
      else if (c == 'c') {
        // The character 0 adds nothing, and the text goes on after it. A
        // terminal shows a NUL byte as nothing, so this is what a reader
        // there sees of C's %c; writing the byte would make the view binary
        // to text tools (grep stops printing matches at the first NUL),
        // and ending the text there, as a C string would, loses the rest of
        // the message for one byte of it.
        if ((u & 0xFF) != 0) out.put(static_cast<char>(u & 0xFF));
      } else out.number(text::LowerHex{}, u);
      return true;
    }
    case 's': {
      std::uint64_t a;
      if (!take(args, &a)) break;
      if (a == 0) {
        out.append("(null)");
        return true;
      }
      return out.string(a);
    }
    case 'p': {
      std::uint64_t a;
      if (!take(args, &a)) break;
      out.number(text::PointerHex{}, a);
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
        out.number(text::SignedDecimal{}, static_cast<std::int32_t>(static_cast<std::uint32_t>(v)));
        return true;
      }
      ++*f;
      if (*f < end && **f == 'u') {
        ++*f;
        out.number(text::UnsignedDecimal{}, v);
      } else if (*f < end && **f == 'x') {
        ++*f;
        out.number(text::LowerHex{}, v);
      } else {
        out.number(text::SignedDecimal{}, static_cast<std::int64_t>(v));
      }
      return true;
    }
    case 'r': {
      std::uint64_t block;
      std::int32_t count;
      if (!take(args, &block) || !take(args, &count)) break;
      return hex_dump(out, dumps, block, count);
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

bool kvf_expand_message(Line& line, std::uint64_t format, const unsigned char* args, const DumpSink& dumps) {
  if (format == 0) return true;
  // The format is read up to its NUL or the end of its mapped range, in
  // one pass: plain runs end at a percent sign, a backslash or the NUL. A
  // format whose NUL is not in the image cannot be read whole: reaching the
  // end of the range makes the record unreadable, though what a %r wrote
  // before has gone out.
  std::uint64_t span = image_bytes_from(format);
  if (span == 0) return false;
  const char* f = reinterpret_cast<const char*>(address(format));
  const char* end = f + span;
  auto done = [&end](const char* at) { return at == end || *at == '\0'; };
  Arguments cursor(args);
  Text text(line);
  for (;;) {
    const char* plain = f;
    f = scan::special(f, end);
    text.run(plain, static_cast<std::size_t>(f - plain), end);
    if (done(f)) break;
    if (*f == '\\') {
      if (done(++f)) break;  // a closing backslash ends the text
      escape(text, *f++);
      continue;
    }
    if (done(++f)) {
      text.put('%');  // a closing percent sign is copied
      break;
    }
    if (!convert(text, &f, end, cursor, dumps)) return false;
  }
  text.line();
  return f != end;
}

char* dump_line(char* p, const HexDump& dump, std::int32_t from) {
  *p++ = '\n';
  char d[text::kDigitsMax];
  std::size_t n = text::lower_hex(d, static_cast<std::uint32_t>(dump.address + static_cast<std::uint64_t>(from)));
  std::memset(p, ' ', 8 - n);
  std::memcpy(p + 8 - n, d, n);
  p += 8;
  *p++ = ':';
  std::int32_t to = dump.count - from < 16 ? dump.count : from + 16;
  if (to > dump.shown) to = dump.shown;
  static constexpr char kHex[] = "0123456789abcdef";
  for (std::int32_t i = from; i < to; ++i) {
    unsigned b = dump.bytes[i];
    p[0] = ' ';
    p[1] = b < 16 ? ' ' : kHex[b >> 4];
    p[2] = kHex[b & 0xF];
    p += 3;
  }
  return p;
}

}  // namespace kvf
