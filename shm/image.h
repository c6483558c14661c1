// image.h -- the process-wide image of the server's shared memory: the root
// pointer, the attachment count, and the address ranges that are mapped.
//
// Live attach and the dump reader both place segments at the server's own
// addresses and record each placed range here. Code that follows a pointer
// read from the image asks `image_contains` first, so that a crafted or torn
// pointer is never followed into memory that is not part of the image.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvf {

// The server's address of its root record, or 0. Set by live attach or the
// dump reader; read by everything that walks the image.
std::uint64_t root_pointer();
void set_root_pointer(std::uint64_t address);

// Number of segments attached or loaded (the library's attachment count).
int attachment_count();
void add_attachment();

// Records [base, base + size) as mapped image memory.
void image_add_range(std::uint64_t base, std::uint64_t size);
// Forgets every range and the root pointer (after detach or release).
void image_clear();

// True when [address, address + length) lies wholly inside one mapped range
// (adjacent ranges are merged, so a span over two consecutive pieces counts).
bool image_contains(std::uint64_t address, std::uint64_t length);

// Bytes from `address` to the end of the mapped range that holds it, or 0
// when it is not mapped.
std::uint64_t image_span(std::uint64_t address);

// Changes whenever the ranges change, so that callers may cache lookups.
unsigned image_generation();

// The chain from the root record through the shared-memory control block to
// the trace control block, every link checked to lie wholly in the image
// before it is followed. The live tool and the dump reader walk it here.
enum class ChainLink { none, root_record, shmcb, trace_block };
struct Chain {
  // The trace control block's address: 0 when the server has none, or when
  // a link lies outside the image.
  std::uint64_t block = 0;
  // The first link that lies outside the image, and its address.
  ChainLink outside = ChainLink::none;
  std::uint64_t at = 0;
};
Chain follow_chain(std::uint64_t root);

}  // namespace kvf
