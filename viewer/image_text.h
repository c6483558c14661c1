// image_text.h -- reading what records point to only within the mapped
// image, so that a crafted address can never make the views print the
// tool's own memory: strings that must end inside the image, and a range
// test that remembers the range it found last.
#pragma once

#include <cstddef>
#include <cstdint>

#include "shm/image.h"

namespace kvf {

struct ImageString {
  const char* data;
  std::size_t size;
};

// The string at `address`, cut at its NUL or at `max` bytes, whichever
// comes first. False when `address` is 0 or not in the image, or when the
// string runs off the end of its mapped range before its NUL (a string cut
// at `max` must still end in the image): the record cannot be read. The
// bytes past `max` are searched only for a string that long.
bool image_string(std::uint64_t address, std::size_t max, ImageString* out);

// The same string copied to `out` in the pass that finds its NUL; its
// length goes to `*size`. Bytes of `out` up to `max` past the length may be
// overwritten.
bool image_copy(std::uint64_t address, std::size_t max, char* out, std::size_t* size);

namespace detail {
// [begin, end) lies within one mapped range and ends where it ends: the
// addresses looked up so far that led to that end, for the image
// generation `generation`; an empty interval before the first look-up.
// Each thread keeps its own, so that threads rendering records at once
// never share it.
struct SeenRange {
  std::uint64_t begin = 1, end = 1;
  unsigned generation = 0;
};
extern thread_local SeenRange g_seen;
std::uint64_t image_bytes_from_table(std::uint64_t address);
}  // namespace detail

// As image_span and image_contains, answered from the part of a mapped
// range seen last when the address falls in it; looked up afresh otherwise,
// and after the image changes. Nearly every pointer of a ring leads into the
// same range, so the table is rarely searched.
inline std::uint64_t image_bytes_from(std::uint64_t address) {
  const detail::SeenRange& seen = detail::g_seen;
  if (address >= seen.begin && address < seen.end && seen.generation == image_generation())
    return seen.end - address;
  return detail::image_bytes_from_table(address);
}
inline bool image_holds(std::uint64_t address, std::uint64_t length) {
  return length <= image_bytes_from(address);
}

}  // namespace kvf
