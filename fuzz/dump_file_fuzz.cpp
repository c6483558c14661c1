// Fuzz target: arbitrary bytes as a dump file, loaded end to end (placement,
// control-block checks, info, one pass over the ring as fview or frview
// prints it), then released again. A fault anywhere is a finding: every
// pointer read from a dump must be checked against the loaded image.
// The same bytes go to the header check that reads them in place
// (kavrex-snap --check), which must check every offset against the size
// before it reads: a read it asks for past the end is a finding too.
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "control/commands.h"
#include "control/control_block.h"
#include "fuzz/fuzz_support.h"
#include "shm/dump_layout.h"
#include "shm/dump_reader.h"
#include "viewer/reader.h"
#include "viewer/view.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::FILE* sink = std::fopen("/dev/null", "w");
  fuzz::quiet_views();
  fuzz::keep_faults_fatal();
  kvf::DumpMemory bytes(data, size);
  kvf::DumpLayout layout = kvf::read_dump_layout(bytes);
  if (layout.shape == kvf::DumpShape::unreadable) __builtin_trap();
  if (layout.shape == kvf::DumpShape::whole && kvf::read_dump_ring(layout, bytes).unreadable) __builtin_trap();
  int fd = fuzz::memory_file(data, size);
  if (fd < 0) return 0;
  if (kvf::rinfile(fuzz::path_of(fd).c_str(), 0) == 0) {
    if (unsigned char* block = kvf::control_block(); block && kvf::alloc_failed(block) == 0) {
      kvf::show_info(block, sink);
      // The reader's state lives for a whole run; each input starts afresh.
      kvf::reader_state() = kvf::ReaderState{};
      // The last byte picks the layout, so that every one is searched.
      unsigned char pick = size > 0 ? data[size - 1] : 0;
      kvf::kvf_view(pick & 1, !(pick & 2), false);
    }
    kvf::release_dump();
  }
  close(fd);
  return 0;
}
