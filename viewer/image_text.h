// image_text.h -- reading NUL-terminated strings that records point to, only
// within the mapped image, so that a crafted address can never make the
// views print the tool's own memory.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvf {

struct ImageString {
  const char* data;
  std::size_t size;
};

// The string at `address`, cut at its NUL, at the end of the mapped range
// that holds it, and at `max` bytes, whichever comes first. False when
// `address` is 0 or not in the image: the record cannot be read.
bool image_string(std::uint64_t address, std::size_t max, ImageString* out);

}  // namespace kvf
