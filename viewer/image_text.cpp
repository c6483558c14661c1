// image_text.cpp -- bounded string reads from the image.
#include "viewer/image_text.h"

#include <cstring>

#include "shm/field.h"
#include "shm/image.h"

namespace kvf {

bool image_string(std::uint64_t address, std::size_t max, ImageString* out) {
  if (address == 0) return false;
  std::uint64_t span = image_span(address);
  if (span == 0) return false;
  std::size_t limit = span < max ? static_cast<std::size_t>(span) : max;
  const char* p = reinterpret_cast<const char*>(kvf::address(address));
  const void* nul = std::memchr(p, 0, limit);
  out->data = p;
  out->size = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - p) : limit;
  return true;
}

}  // namespace kvf
