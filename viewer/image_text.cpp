// image_text.cpp -- bounded string reads from the image, each checked to end
// inside it, and the range lookup the views make for every pointer they
// follow.
#include "viewer/image_text.h"

#include <cstring>

#include "layouts/field.h"
#include "shm/image.h"
#include "viewer/scan.h"

namespace kvf {
namespace detail {

thread_local SeenRange g_seen;

std::uint64_t image_bytes_from_table(std::uint64_t address) {
  unsigned generation = image_generation();
  std::uint64_t span = image_span(address);
  if (span == 0) return 0;
  std::uint64_t end = address + span;
  // Ranges are disjoint, so one end names one range: the interval known to
  // be mapped grows when the end stays the same.
  if (generation == g_seen.generation && end == g_seen.end && address < g_seen.begin) {
    g_seen.begin = address;
  } else {
    g_seen = {address, end, generation};
  }
  return span;
}

}  // namespace detail

namespace {

// Whether the string at `p`, which has no NUL in its first `from` bytes,
// ends within the `span` bytes from `p` that are mapped.
bool ends_within(const char* p, std::size_t from, std::uint64_t span) {
  return from < span && std::memchr(p + from, 0, static_cast<std::size_t>(span - from)) != nullptr;
}

}  // namespace

bool image_string(std::uint64_t address, std::size_t max, ImageString* out) {
  if (address == 0) return false;
  std::uint64_t span = image_bytes_from(address);
  if (span == 0) return false;
  std::size_t limit = span < max ? static_cast<std::size_t>(span) : max;
  const char* p = reinterpret_cast<const char*>(kvf::address(address));
  const void* nul = std::memchr(p, 0, limit);
  if (nul == nullptr && !ends_within(p, limit, span)) return false;
  out->data = p;
  out->size = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - p) : limit;
  return true;
}

bool image_copy(std::uint64_t address, std::size_t max, char* out, std::size_t* size) {
  if (address == 0) return false;
  std::uint64_t span = image_bytes_from(address);
  if (span == 0) return false;
  std::size_t limit = span < max ? static_cast<std::size_t>(span) : max;
  const char* p = reinterpret_cast<const char*>(kvf::address(address));
  *size = scan::copy_string(out, p, limit);
  // Stopped at `limit` rather than at a NUL: the NUL must still be mapped.
  return *size < limit || ends_within(p, limit, span);
}

}  // namespace kvf
