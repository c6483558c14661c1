// Fuzz target: arbitrary bytes as a dump file, loaded end to end (placement,
// control-block checks, info, one pass over the ring as fview or frview
// prints it), then released again. A fault anywhere is a finding: every
// pointer read from a dump must be checked against the loaded image.
// The same bytes go to the header check that reads them in place
// (kavrex-snap --check), which must check every offset against the size
// before it reads: a read it asks for past the end is a finding too.
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "shm/dump_layout.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::quiet_views();
  fuzz::keep_faults_fatal();
  kvf::DumpMemory bytes(data, size);
  kvf::DumpLayout layout = kvf::read_dump_layout(bytes);
  if (layout.shape == kvf::DumpShape::unreadable) __builtin_trap();
  if (layout.shape == kvf::DumpShape::whole && kvf::read_dump_ring(layout, bytes).unreadable) __builtin_trap();
  // The last byte picks the layout, so that every one is searched.
  unsigned char pick = size > 0 ? data[size - 1] : 0;
  fuzz::load_and_view(data, size, {(pick & 1) | (pick & 2 ? 0 : 2)});
  return 0;
}
