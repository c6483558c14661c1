// image_text.cpp -- bounded string reads from the image, and the range
// lookup the views make for every pointer they follow.
#include "viewer/image_text.h"

#include <cstring>

#include "shm/field.h"
#include "shm/image.h"
#include "viewer/scan.h"

namespace kvf {
namespace {

// [g_begin, g_end) lies within one mapped range and ends where it ends: the
// addresses looked up so far that led to that end. Valid for the image
// generation `g_generation`; an empty interval otherwise.
std::uint64_t g_begin = 1, g_end = 1;
unsigned g_generation = 0;

}  // namespace

std::uint64_t image_bytes_from(std::uint64_t address) {
  unsigned generation = image_generation();
  if (generation == g_generation && address >= g_begin && address < g_end) return g_end - address;
  std::uint64_t span = image_span(address);
  if (span == 0) return 0;
  std::uint64_t end = address + span;
  // Ranges are disjoint, so one end names one range: the interval known to
  // be mapped grows when the end stays the same.
  if (generation == g_generation && end == g_end && address < g_begin) {
    g_begin = address;
  } else {
    g_begin = address;
    g_end = end;
    g_generation = generation;
  }
  return span;
}

bool image_string(std::uint64_t address, std::size_t max, ImageString* out) {
  if (address == 0) return false;
  std::uint64_t span = image_bytes_from(address);
  if (span == 0) return false;
  std::size_t limit = span < max ? static_cast<std::size_t>(span) : max;
  const char* p = reinterpret_cast<const char*>(kvf::address(address));
  const void* nul = std::memchr(p, 0, limit);
  out->data = p;
  out->size = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - p) : limit;
  return true;
}

bool image_copy(std::uint64_t address, std::size_t max, char* out, std::size_t* size) {
  if (address == 0) return false;
  std::uint64_t span = image_bytes_from(address);
  if (span == 0) return false;
  std::size_t limit = span < max ? static_cast<std::size_t>(span) : max;
  *size = scan::copy_string(out, reinterpret_cast<const char*>(kvf::address(address)), limit);
  return true;
}

}  // namespace kvf
