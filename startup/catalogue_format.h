// catalogue_format.h -- a catalogue text used as a printf format, without
// handing the text to the C library: the text comes from a file, and a
// conversion with no argument behind it must not read one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kvf {

// The one argument that a catalogue format is given, if any.
struct CatalogueArgument {
  enum class Kind { none, string, number };
  Kind kind = Kind::none;
  const char* text = nullptr;  // Kind::string; never null
  std::int32_t number = 0;     // Kind::number

  static CatalogueArgument string(const char* s) { return {Kind::string, s, 0}; }
  static CatalogueArgument integer(std::int32_t n) { return {Kind::number, nullptr, n}; }
};

// Formats `format` with at most the one argument `arg`, writing no more
// than `limit` bytes (the rest is cut off, as a buffer of limit+1 bytes
// would cut it).
//
// "%%" gives "%". The first conversion that fits the argument is filled as
// the C library fills it, with its flags, width and precision:
//   a string: %s, with the flags "-", "+" and " " (the last two do nothing
//     to a string), a width and a precision;
//   a number: %d or %i, with the flags "-", "+", " " and "0", a width, a
//     precision, and the length modifiers "hh", "h" and "l" ("l" because
//     long is 32 bits in this tool's formats, the size of the number).
// Every other conversion prints as it stands, from its "%" through its
// conversion character: one the argument does not fit (%x of the number,
// %ls or %lld), one after the argument was used, every conversion when
// there is no argument, one with "*" (it would take a further argument),
// one with a flag whose meaning C leaves undefined for it ("#", or "0" with
// %s), and one whose width or precision does not fit an int.
std::string format_catalogue_text(const char* format, const CatalogueArgument& arg,
                                  std::size_t limit = static_cast<std::size_t>(-1));

}  // namespace kvf
