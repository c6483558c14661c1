// catalogue_format.cpp -- fills a catalogue format with its one argument (a
// file name, a message number, or none), conversion by conversion, the way
// the C library fills the conversions that fit the argument; everything else
// prints as it stands. Output is bounded by the caller's limit, so a huge
// width costs nothing.
#include "startup/catalogue_format.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace kvf {
namespace {

// One conversion as written: "%", flags, width, precision, length, letter.
struct Conversion {
  bool minus = false, plus = false, space = false, zero = false, hash = false;
  bool star = false;      // "*" for the width or the precision
  bool too_wide = false;  // a width or precision beyond INT_MAX
  std::size_t width = 0;
  bool has_precision = false;
  std::size_t precision = 0;
  char length[3] = {};  // "", "hh", "h", "l", "ll", "j", "z", "t" or "L"
  char letter = '\0';   // '\0' when the text ended first
  const char* end = nullptr;  // just past the conversion
};

// Reads a run of decimal digits; sets too_wide when it exceeds INT_MAX.
std::size_t read_count(const char*& p, bool& too_wide) {
  std::size_t n = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (n <= static_cast<std::size_t>(INT_MAX)) n = n * 10 + static_cast<std::size_t>(*p - '0');
    if (n > static_cast<std::size_t>(INT_MAX)) too_wide = true;
  }
  return n;
}

Conversion parse(const char* percent) {
  Conversion c;
  const char* p = percent + 1;
  for (;; ++p) {
    if (*p == '-') c.minus = true;
    else if (*p == '+') c.plus = true;
    else if (*p == ' ') c.space = true;
    else if (*p == '0') c.zero = true;
    else if (*p == '#') c.hash = true;
    else break;
  }
  if (*p == '*') {
    c.star = true;
    ++p;
  } else {
    c.width = read_count(p, c.too_wide);
  }
  if (*p == '.') {
    ++p;
    c.has_precision = true;
    if (*p == '*') {
      c.star = true;
      ++p;
    } else {
      c.precision = read_count(p, c.too_wide);
    }
  }
  std::size_t n = 0;
  if ((p[0] == 'h' && p[1] == 'h') || (p[0] == 'l' && p[1] == 'l')) n = 2;
  else if (*p && std::strchr("hljztL", *p)) n = 1;
  std::memcpy(c.length, p, n);
  p += n;
  c.letter = *p;
  c.end = *p ? p + 1 : p;
  return c;
}

bool length_is(const Conversion& c, const char* l) { return std::strcmp(c.length, l) == 0; }

// The output, cut at the limit.
class Sink {
 public:
  explicit Sink(std::size_t limit) : limit_(limit) {}
  void put(const char* s, std::size_t n) { out_.append(s, std::min(n, room())); }
  void put(const std::string& s) { put(s.data(), s.size()); }
  void put(char c) { put(&c, 1); }
  void repeat(char c, std::size_t n) { out_.append(std::min(n, room()), c); }
  bool full() const { return out_.size() >= limit_; }
  std::string take() { return std::move(out_); }

 private:
  std::size_t room() const { return limit_ - out_.size(); }
  std::size_t limit_;
  std::string out_;
};

void put_string(Sink& out, const Conversion& c, const char* s) {
  std::size_t bytes = c.has_precision ? ::strnlen(s, c.precision) : std::strlen(s);
  std::size_t pad = c.width > bytes ? c.width - bytes : 0;
  if (!c.minus) out.repeat(' ', pad);
  out.put(s, bytes);
  if (c.minus) out.repeat(' ', pad);
}

void put_number(Sink& out, const Conversion& c, std::int32_t value) {
  // "hh" and "h": the int is converted to signed char or short first.
  if (length_is(c, "hh")) value = static_cast<signed char>(value);
  else if (length_is(c, "h")) value = static_cast<short>(value);
  std::int64_t wide = value;
  std::uint64_t magnitude = static_cast<std::uint64_t>(wide < 0 ? -wide : wide);
  // A precision of 0 prints no digits for the value 0.
  std::string digits = c.has_precision && c.precision == 0 && magnitude == 0 ? "" : std::to_string(magnitude);
  char sign = value < 0 ? '-' : c.plus ? '+' : c.space ? ' ' : '\0';
  std::size_t zeros = c.has_precision && c.precision > digits.size() ? c.precision - digits.size() : 0;
  std::size_t body = (sign ? 1 : 0) + zeros + digits.size();
  std::size_t pad = c.width > body ? c.width - body : 0;
  // "0" pads with zeros after the sign, unless "-" or a precision is given.
  bool zero_pad = c.zero && !c.minus && !c.has_precision;
  if (!c.minus && !zero_pad) out.repeat(' ', pad);
  if (sign) out.put(sign);
  out.repeat('0', zeros + (zero_pad ? pad : 0));
  out.put(digits);
  if (c.minus) out.repeat(' ', pad);
}

// Whether `c` is the conversion that the argument fills. A catalogue text is
// data, not code: a conversion that would read an argument that is not
// there, or of another type, or whose meaning C leaves undefined, is not
// filled but printed as written.
bool fits(const Conversion& c, const CatalogueArgument& arg) {
  if (c.star || c.too_wide || c.hash) return false;
  switch (arg.kind) {
    case CatalogueArgument::Kind::string:
      return c.letter == 's' && !c.zero && length_is(c, "");
    case CatalogueArgument::Kind::number:
      return (c.letter == 'd' || c.letter == 'i') &&
             (length_is(c, "") || length_is(c, "hh") || length_is(c, "h") || length_is(c, "l"));
    case CatalogueArgument::Kind::none:
      return false;
  }
  return false;
}

}  // namespace

std::string format_catalogue_text(const char* format, const CatalogueArgument& arg, std::size_t limit) {
  Sink out(limit);
  bool used = false;
  const char* p = format;
  while (*p && !out.full()) {
    const char* percent = std::strchr(p, '%');
    if (!percent) {
      out.put(p, std::strlen(p));
      break;
    }
    out.put(p, static_cast<std::size_t>(percent - p));
    if (percent[1] == '%') {
      out.put('%');
      p = percent + 2;
      continue;
    }
    Conversion c = parse(percent);
    if (!used && fits(c, arg)) {
      used = true;
      if (arg.kind == CatalogueArgument::Kind::string) put_string(out, c, arg.text);
      else put_number(out, c, arg.number);
    } else {
      out.put(percent, static_cast<std::size_t>(c.end - percent));
    }
    p = c.end;
  }
  return out.take();
}

}  // namespace kvf
