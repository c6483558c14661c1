// touch_records.cpp -- B0, the floor of a view of a dump: loads the dump into
// fresh System V memory through the tool's own dump reader, then reads one
// field of every record of the ring once (the least any renderer that reads
// every record must do here), and releases the image. It renders and writes
// nothing. On this kind of machine the first touch of freshly read memory
// costs more than rendering, so this floor is what a view is measured
// against end to end.
//
//   touch_records DUMP     prints "records N stamps S" (S: the sum of the
//                          stamps, so that no read can be left out)
#include <cstdint>
#include <cstdio>

#include "control/control_block.h"
#include "layouts/field.h"
#include "layouts/ring_layout.h"
#include "shm/dump_reader.h"
#include "shm/image.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: touch_records DUMP\n", stderr);
    return 2;
  }
  kvf::install_dump_interrupts();
  if (kvf::rinfile(argv[1], 0) != 0) {
    std::fprintf(stderr, "touch_records: cannot load %s\n", argv[1]);
    return 1;
  }
  const unsigned char* block = kvf::control_block();
  std::uint64_t ring = block ? kvf::ring_address(block) : 0;
  std::int32_t size = block ? kvf::ring_size(block) : 0;
  if (ring == 0 || size <= 0 || !kvf::image_contains(ring, kvf::ring::kHeaderSize)) {
    std::fprintf(stderr, "touch_records: %s has no ring\n", argv[1]);
    kvf::release_dump();
    return 1;
  }
  std::uint64_t slots = kvf::load<std::uint64_t>(kvf::address(ring), kvf::ring::kRecords);
  if (!kvf::image_contains(slots, static_cast<std::uint64_t>(size) * kvf::record::kSize)) {
    std::fprintf(stderr, "touch_records: %s: the ring's records are outside the image\n", argv[1]);
    kvf::release_dump();
    return 1;
  }
  std::uint64_t sum = 0;
  for (std::int32_t i = 0; i < size; ++i)
    sum += kvf::load_shared<std::uint32_t>(kvf::address(slots + static_cast<std::uint64_t>(i) * kvf::record::kSize),
                                           kvf::record::kStamp);
  kvf::release_dump();
  std::printf("records %d stamps %llu\n", size, static_cast<unsigned long long>(sum));
  return 0;
}
