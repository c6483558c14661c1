// Fuzz target: a sound dump with patches. Most bytes of a dump are the
// shared-memory control block's and of no interest to the reader, so raw
// mutation (dump_file_fuzz) seldom reaches the ring. Here the input is a
// list of patches to the places the tool reads: the segment header, the
// shmcb's fields, the root and server records, the end of the trace control
// block (ring pointer, sizes), the ring header and records, and the strings
// the records point to. The patched dump is loaded, shown with info and
// walked once as every view does.
//
// A patch is: area (1 byte, modulo the areas), offset in the area (2 bytes,
// little-endian, modulo its length), length (1 byte), then that many bytes.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "layouts/control_block_layout.h"
#include "layouts/ring_layout.h"
#include "sim/image_builder.h"

namespace {

struct Area {
  std::size_t at, size;
};

struct Fixture {
  std::string dump;
  std::vector<Area> areas;
};

Fixture make_fixture() {
  using kvf::sim::ImageBuilder;
  ImageBuilder image({.ring_records = 16, .string_area = 8192});
  std::uint64_t strings = image.string("pool");
  auto r = image.record("heap.c", 12, "%d items in %s at %p\\n");
  r.args.i32(3).ptr(strings).ptr(0x1234);
  image.append_record(r);
  auto d = image.record("dump.c", 7, "%r|%lld|%f|%s\\n");
  d.args.block(image.bytes("abcdefghijklmnopqrstuvwxyz", 26), 26).i64(-5).f64(2.5).ptr(0);
  image.append_record(d);
  auto v = image.record("dorvel.c", 9, "");
  v.component = 18;
  v.args.ptr(image.string("first")).ptr(image.string("second")).i32(96).i32(0x100).u64(1).u64(2);
  image.append_record(v);
  for (int i = 0; i < 9; ++i) image.append_record(image.record("wrap.c", i, "%x %c %o %e\\n"));
  image.set_cell(2, 2, 0xF0000003);
  image.set_trace_on(1);
  image.set_session_filter(1, 77);

  const std::uint64_t base = image.segments()[0].base;
  auto in_file = [&](std::uint64_t address) { return static_cast<std::size_t>(address - base); };
  Fixture f;
  f.dump = image.dump();
  f.areas = {
      {0, 736},                                                             // segment header
      {in_file(image.shmcb()), 256},                                        // shmcb fields
      {in_file(image.root()), 512},                                         // root record
      {in_file(image.server_record()), 2480},                               // server record (pid at 2472)
      {in_file(image.control_block()) + kvf::control::kTraceOn,
       kvf::control::kUsedSize - kvf::control::kTraceOn},                   // control block fields
      {in_file(image.ring()), kvf::ring::kHeaderSize},                      // ring header
      {in_file(image.slot(0)), 16 * kvf::record::kSize},                    // records
      {in_file(strings), 1024},                                             // strings
  };
  return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Fixture fixture = make_fixture();
  fuzz::quiet_views();
  fuzz::keep_faults_fatal();

  std::string dump = fixture.dump;
  for (std::size_t i = 0; i + 4 <= size;) {
    const Area& area = fixture.areas[data[i] % fixture.areas.size()];
    std::size_t offset = (data[i + 1] | data[i + 2] << 8) % area.size;
    std::size_t length = data[i + 3];
    i += 4;
    if (length > size - i) length = size - i;
    if (length > area.size - offset) length = area.size - offset;
    std::memcpy(dump.data() + area.at + offset, data + i, length);
    i += length;
  }

  fuzz::load_and_view(reinterpret_cast<const std::uint8_t*>(dump.data()), dump.size(), {0, 1, 2, 3});
  return 0;
}
