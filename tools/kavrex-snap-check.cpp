// kavrex-snap-check.cpp -- `--check FILE`: whether a dump file is whole,
// from its own headers, without loading it (shm/dump_layout.h reads them at
// file offsets). One line on standard output for a whole dump; otherwise
// the reason on standard error and status 1.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "shm/dump_layout.h"
#include "tools/kavrex-snap.h"

namespace kavrex_snap {
namespace {

int fail(const char* path, const std::string& what) {
  std::fprintf(stderr, "kavrex-snap: %s: %s\n", path, what.c_str());
  return 1;
}

std::string hex(std::uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%" PRIx64, v);
  return text;
}

// Where the chain to the ring leaves the dump, as a message.
std::string outside(const kvf::DumpRing& ring) {
  using Link = kvf::DumpRing::Link;
  switch (ring.outside) {
    case Link::root_record: return "root record at " + hex(ring.at) + " is outside the dump";
    case Link::shmcb: return "shared-memory control block at " + hex(ring.at) + " is outside the dump";
    case Link::trace_block: return "trace control block at " + hex(ring.at) + " is outside the dump";
    case Link::ring:
      return "trace ring at " + hex(ring.at) + " (" + std::to_string(ring.size) + " records) is outside the dump";
    case Link::none: break;
  }
  return "";
}

}  // namespace

int check_dump(const char* path) {
  kvf::DumpFileBytes file;
  if (!file.open(path)) return fail(path, std::strerror(errno));
  kvf::DumpLayout layout = kvf::read_dump_layout(file);
  switch (layout.shape) {
    case kvf::DumpShape::unreadable: return fail(path, std::strerror(layout.error));
    case kvf::DumpShape::not_a_dump: return fail(path, "not a dump file");
    case kvf::DumpShape::truncated:
      return fail(path, "truncated dump (" + std::to_string(layout.file_size) + " of " +
                            std::to_string(layout.expected) + " bytes)");
    case kvf::DumpShape::whole: break;
  }
  kvf::DumpRing ring = kvf::read_dump_ring(layout, file);
  if (ring.unreadable) return fail(path, std::strerror(ring.error));
  if (ring.outside != kvf::DumpRing::Link::none) return fail(path, outside(ring));

  std::string line = std::string(path) + ": " + std::to_string(layout.count) + " segment(s), " +
                     std::to_string(layout.expected) + " bytes";
  if (layout.file_size > layout.expected)
    line += " (and " + std::to_string(layout.file_size - layout.expected) + " bytes after them)";
  if (!ring.has_block)
    line += ", no trace control block";
  else if (!ring.has_ring)
    line += ", no trace ring";
  else
    line += ", ring size " + std::to_string(ring.size) + ", head " + std::to_string(ring.head) + ", tail " +
            std::to_string(ring.tail);
  std::printf("%s\n", line.c_str());
  return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace kavrex_snap
