// expand.cpp -- the message format language of trace records: backslash
// escapes, flagless C conversions over the packed argument area, and the
// hex dump %r. Every address is checked against the image before it is read.
// The text is written straight into the line the caller gives (for the views
// the record's line in the output buffer), which holds room for the longest
// text the line may keep; hex dumps go to the caller's dump sink. For a dump,
// whose formats cannot change while it is shown, each format is walked once
// per thread and its pieces kept for the records that use it.
#include "viewer/expand.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "layouts/field.h"
#include "layouts/ring_layout.h"
#include "viewer/floating.h"
#include "viewer/image_text.h"
#include "viewer/scan.h"
#include "viewer/text.h"

namespace kvf {
namespace {

constexpr char kFormatError[] = "**FMTERR**";

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
  // Kept text at `p`, readable up to `n` rounded up to 16 bytes: moved in
  // 16-byte blocks when the line has room for the last whole block.
  void block(const char* p, std::size_t n) {
    if (static_cast<std::size_t>(limit_ - at_) >= ((n + 15) & ~std::size_t{15})) {
      for (std::size_t i = 0; i < n; i += 16) std::memcpy(at_ + i, p + i, 16);
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
  // Text of at most `Most` bytes that `make(p)` puts at p and counts,
  // made straight in the line when it has room for the most.
  template <std::size_t Most, typename Make>
  void made(Make make) {
    if (static_cast<std::size_t>(limit_ - at_) >= Most) {
      at_ += make(at_);
    } else {
      char scratch[Most];
      append(scratch, make(scratch));
    }
  }
  // A number by one of the text:: digit writers.
  template <typename Digits, typename V>
  void number(Digits digits, V v) {
    made<text::kDigitsMax>([digits, v](char* p) { return digits(p, v); });
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

char escaped(char c) {
  switch (c) {
    case 'a': return '\a';
    case 'b': return '\b';
    case 'f': return '\f';
    case 'n': return '\n';
    case 'r': return '\r';
    case 't': return '\t';
    case 'v': return '\v';
    default: return c;  // backslash itself, or the byte as it is
  }
}

// %f %e %E %g %G with their default precision of 6, as the C library
// writes them (floating.h). Every double has its text, so none shows
// **FMTERR**; what passes the line's limit is dropped like any long text.
// (Out of line, as hex_dump: the conversions that are made in place stay
// small.)
[[gnu::noinline]] void floating(Text& out, char conversion, double value) {
  out.made<kFloatingMax>([conversion, value](char* p) { return floating_text(p, conversion, value); });
}

// %r: the block's bytes as far as the image holds them, handed to the
// sink with the text so far; the text then starts again where the sink
// says. No byte outside the image is read, here or by the sink.
[[gnu::noinline]] bool hex_dump(Text& text, const DumpSink& dumps, std::uint64_t block, std::int32_t count) {
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

// A conversion that takes arguments, as the format names it. Which bytes of
// the area it reads follows from the format alone: each conversion takes a
// fixed count, so the walk over the format places them without the record.
enum class Conversion : std::uint8_t {
  decimal,     // %d %i
  octal,       // %o
  hex,         // %x %X
  character,   // %c
  string,      // %s
  pointer,     // %p
  floating,    // %e %E %f %g %G
  long32,      // %l
  unsigned64,  // %llu
  hex64,       // %llx
  signed64,    // %ll
  dump,        // %r: the address, then the count 8 bytes on
};

// One conversion of a record: its arguments from `args` + `at`. False when
// the record is unreadable.
[[gnu::always_inline]] inline bool convert_one(Text& out, Conversion c, char letter, std::size_t at,
                                              const unsigned char* args, const DumpSink& dumps) {
  const unsigned char* a = args + at;
  switch (c) {
    case Conversion::decimal: out.number(text::SignedDecimalInRoom{}, load<std::int32_t>(a, 0)); return true;
    case Conversion::octal: out.number(text::Octal{}, load<std::uint32_t>(a, 0)); return true;
    case Conversion::hex: out.number(text::LowerHex8{}, load<std::uint32_t>(a, 0)); return true;
    case Conversion::character: {
      // The character 0 adds nothing, and the text goes on after it. A
      // terminal shows a NUL byte as nothing, so this is what a reader
      // there sees of C's %c; writing the byte would make the view binary
      // to text tools (grep stops printing matches at the first NUL),
      // and ending the text there, as a C string would, loses the rest of
      // the message for one byte of it.
      auto u = load<std::uint32_t>(a, 0);
      if ((u & 0xFF) != 0) out.put(static_cast<char>(u & 0xFF));
      return true;
    }
    case Conversion::string: {
      auto s = load<std::uint64_t>(a, 0);
      if (s == 0) {
        out.append("(null)");
        return true;
      }
      return out.string(s);
    }
    case Conversion::pointer: out.number(text::PointerHex{}, load<std::uint64_t>(a, 0)); return true;
    case Conversion::floating: floating(out, letter, load<double>(a, 0)); return true;
    case Conversion::long32:
      out.number(text::SignedDecimalInRoom{}, static_cast<std::int32_t>(load<std::uint32_t>(a, 0)));
      return true;
    case Conversion::unsigned64: out.number(text::UnsignedDecimal{}, load<std::uint64_t>(a, 0)); return true;
    case Conversion::hex64: out.number(text::LowerHex{}, load<std::uint64_t>(a, 0)); return true;
    case Conversion::signed64: out.number(text::SignedDecimalInRoom{}, load<std::int64_t>(a, 0)); return true;
    case Conversion::dump: return hex_dump(out, dumps, load<std::uint64_t>(a, 0), load<std::int32_t>(a, 8));
  }
  return true;
}

// How a walk over a format ended.
enum class Walked {
  done,        // at its NUL
  off_image,   // at the end of its mapped range, before any NUL
  unreadable,  // a conversion found the record unreadable
};

// Walks the format in [f, end) (its mapped range) up to its NUL, and hands
// each piece to `to`: plain runs (run), single bytes (put), fixed text
// (append) and conversions with the place of their arguments (convert,
// false: stop, the record is unreadable). The argument cursor moves as the
// conversions take their bytes; one that needs bytes beyond the area shows
// **FMTERR** and uses the area up, so that nothing past the record is ever
// read and every later conversion fails alike.
template <typename To>
Walked walk_format(const char* f, const char* end, To& to) {
  auto done = [&end](const char* at) { return at == end || *at == '\0'; };
  std::size_t cursor = 0;
  auto take = [&cursor](std::size_t n, std::size_t* at) {
    if (n > record::kArgsSize - cursor) {
      cursor = record::kArgsSize;
      return false;
    }
    *at = cursor;
    cursor += n;
    return true;
  };
  for (;;) {
    const char* plain = f;
    f = scan::special(f, end);
    to.run(plain, static_cast<std::size_t>(f - plain), end);
    if (done(f)) break;
    if (*f == '\\') {
      if (done(++f)) break;  // a closing backslash ends the text
      to.put(escaped(*f++));
      continue;
    }
    if (done(++f)) {
      to.put('%');  // a closing percent sign is copied
      break;
    }
    char c = *f++;
    Conversion conversion;
    std::size_t bytes;
    switch (c) {
      case '%':
        to.put('%');
        continue;
      case 'd':
      case 'i': conversion = Conversion::decimal, bytes = 4; break;
      case 'o': conversion = Conversion::octal, bytes = 4; break;
      case 'x':
      case 'X': conversion = Conversion::hex, bytes = 4; break;
      case 'c': conversion = Conversion::character, bytes = 4; break;
      case 's': conversion = Conversion::string, bytes = 8; break;
      case 'p': conversion = Conversion::pointer, bytes = 8; break;
      case 'e':
      case 'E':
      case 'f':
      case 'g':
      case 'G': conversion = Conversion::floating, bytes = 8; break;
      case 'l':
        bytes = 8;
        if (f >= end || *f != 'l') {
          conversion = Conversion::long32;  // only "%l" is consumed
        } else {
          ++f;
          if (f < end && *f == 'u') {
            ++f;
            conversion = Conversion::unsigned64;
          } else if (f < end && *f == 'x') {
            ++f;
            conversion = Conversion::hex64;
          } else {
            conversion = Conversion::signed64;
          }
        }
        break;
      case 'r': conversion = Conversion::dump, bytes = 12; break;
      default:
        to.put('%');
        to.put(c);
        continue;
    }
    std::size_t at;
    if (!take(bytes, &at)) {
      to.append(kFormatError, sizeof kFormatError - 1);
      continue;
    }
    if (!to.convert(conversion, c, at)) return Walked::unreadable;
  }
  return f == end ? Walked::off_image : Walked::done;
}

// The walk's pieces written into the line as they come.
struct Expand {
  Text& text;
  const unsigned char* args;
  const DumpSink& dumps;
  void run(const char* p, std::size_t n, const char* readable) { text.run(p, n, readable); }
  void put(char c) { text.put(c); }
  void append(const char* p, std::size_t n) { text.append(p, n); }
  bool convert(Conversion c, char letter, std::size_t at) {
    return convert_one(text, c, letter, at, args, dumps);
  }
};


// A format's walk kept for replay: its fixed text (with 16 bytes of
// padding, so that every piece can be moved in whole blocks) and its pieces
// in order, each a stretch of that text or a conversion with the place of
// its arguments.
struct Piece {
  std::uint32_t from, size;  // text
  Conversion conversion;
  char letter;  // 0 for text
  std::uint8_t at;
};

struct KeptFormat {
  std::uint64_t address = 0;
  unsigned walk = 0;
  // False: the format cannot be kept (its NUL is not in the image, or its
  // text is longer than a message holds) and is walked each time.
  bool kept = false;
  std::vector<Piece> pieces;
  std::string text;
};

// Collects the walk's pieces.
struct Keep {
  KeptFormat& format;
  std::size_t from = 0;  // where the text of the current stretch began
  void run(const char* p, std::size_t n, const char*) { format.text.append(p, n); }
  void put(char c) { format.text.push_back(c); }
  void append(const char* p, std::size_t n) { format.text.append(p, n); }
  void end_text() {
    if (format.text.size() > from)
      format.pieces.push_back({static_cast<std::uint32_t>(from), static_cast<std::uint32_t>(format.text.size() - from),
                               Conversion::decimal, 0, 0});
    from = format.text.size();
  }
  bool convert(Conversion c, char letter, std::size_t at) {
    end_text();
    format.pieces.push_back({0, 0, c, letter, static_cast<std::uint8_t>(at)});
    return true;
  }
};

// Kept formats by address, each thread its own: a format is looked for in
// a few slots from the one its address picks, and kept in the first free
// one of them (or, when all are taken, in the first, in place of the
// format there).
constexpr std::size_t kKeptFormats = 256;
constexpr std::size_t kKeptProbes = 8;
struct KeptFormats {
  KeptFormat slots[kKeptFormats];
};
thread_local std::unique_ptr<KeptFormats> t_kept;

// The walk that kept entries belong to; 0 is no walk, which no entry
// matches before the first.
std::atomic<unsigned> g_kept_walk{1};

// The kept walk of the format at `format`, made now when this thread has
// none for it; nullptr when the format is not in the image.
const KeptFormat* kept_format(std::uint64_t format) {
  if (!t_kept) t_kept = std::make_unique<KeptFormats>();
  unsigned walk = kept_walk();
  std::size_t first = (format * 0x9E3779B97F4A7C15u) >> 56;
  KeptFormat* free = nullptr;
  for (std::size_t i = 0; i < kKeptProbes; ++i) {
    KeptFormat& slot = t_kept->slots[(first + i) % kKeptFormats];
    if (slot.walk != walk) {
      if (!free) free = &slot;
    } else if (slot.address == format) {
      return &slot;
    }
  }
  KeptFormat& k = free ? *free : t_kept->slots[first];
  // Within one walk of an unchanging image, an address is in it or not for
  // good: only a format in it is kept.
  std::uint64_t span = image_bytes_from(format);
  if (span == 0) return nullptr;
  const char* f = reinterpret_cast<const char*>(address(format));
  k.address = format;
  k.walk = walk;
  k.pieces.clear();
  k.text.clear();
  Keep keep{k};
  Walked walked = walk_format(f, f + span, keep);
  keep.end_text();
  k.kept = walked == Walked::done && k.text.size() < kMessageSize;
  k.text.append(16, '\0');
  return &k;
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
  Text text(line);
  Expand expand{text, args, dumps};
  Walked walked = walk_format(f, f + span, expand);
  if (walked == Walked::unreadable) return false;
  text.line();
  return walked == Walked::done;
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

void new_kept_walk() { g_kept_walk.fetch_add(1, std::memory_order_relaxed); }
unsigned kept_walk() { return g_kept_walk.load(std::memory_order_relaxed); }

bool kvf_expand_kept_message(Line& line, std::uint64_t format, const unsigned char* args, const DumpSink& dumps) {
  if (format == 0) return true;
  const KeptFormat* k = kept_format(format);
  if (k == nullptr) return false;
  if (!k->kept) return kvf_expand_message(line, format, args, dumps);
  Text text(line);
  for (const Piece& piece : k->pieces) {
    if (piece.letter == 0) text.block(k->text.data() + piece.from, piece.size);
    else if (!convert_one(text, piece.conversion, piece.letter, piece.at, args, dumps)) return false;
  }
  text.line();
  return true;
}

}  // namespace kvf
