// make_seeds.cpp -- writes the starting inputs of the fuzz targets, made with
// the same image builder the tests use:  make_seeds DIR
// creates DIR/<target>/<seed> for every target that takes built inputs.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "sim/image_builder.h"

namespace {

namespace fs = std::filesystem;
using kvf::sim::ImageBuilder;
using kvf::sim::ImageOptions;

void save(const fs::path& dir, const std::string& name, const std::string& bytes) {
  fs::create_directories(dir);
  std::ofstream(dir / name, std::ios::binary) << bytes;
}

// Dumps: a few records of different formats, a wrapped ring, no ring, two
// segments.
void dump_seeds(const fs::path& dir) {
  {
    ImageBuilder image({.ring_records = 8, .string_area = 4096});
    auto r = image.record("heap.c", 12, "%d items in %s at %p\n");
    r.args.i32(3).ptr(image.string("pool")).ptr(0x1234);
    image.append_record(r);
    auto d = image.record("dump.c", 7, "%r|%lld|%f\n");
    d.args.block(image.bytes("abcdefghijklmnop", 16), 16).i64(-5).f64(2.5);
    image.append_record(d);
    image.set_cell(2, 2, 0xF0000003);
    image.set_trace_on(1);
    save(dir, "records", image.dump());
  }
  {
    ImageBuilder image({.ring_records = 4, .string_area = 4096});
    for (int i = 0; i < 10; ++i) image.append_record(image.record("wrap.c", i, "%x\n"));
    save(dir, "wrapped", image.dump());
  }
  {
    ImageBuilder image({.ring_records = 0, .string_area = 1024});
    image.set_session_filter(1, 77);
    image.set_requested_size(50);
    save(dir, "no_ring", image.dump());
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds DIR\n");
    return 2;
  }
  fs::path dir = argv[1];
  dump_seeds(dir / "dump_file_fuzz");
  return 0;
}
