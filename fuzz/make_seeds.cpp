// make_seeds.cpp -- writes the starting inputs of the fuzz targets, made with
// the same image builder the tests use:  make_seeds DIR
// creates DIR/<target>/<seed> for every target that takes built inputs.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sim/image_builder.h"
#include "tools/vem_writer.h"

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
  {
    // Several segments, the second split into pieces.
    ImageBuilder image({.segments = {{}, {.size = 3 * 65536, .piece_size = 65536}}, .ring_records = 6});
    auto r = image.record("multi.c", 1, "%s and %s\n");
    r.args.ptr(image.string("first")).ptr(image.string("second"));
    image.append_record(r);
    save(dir, "segments", image.dump());
  }
}

// Expansion: 80 argument bytes, then the image whose start is the format.
// Strings and dump blocks point into that image (expand_fuzz.cpp maps it).
constexpr std::uint64_t kExpandImage = 0x300000000c00ull;

void expand_seed(const fs::path& dir, const std::string& name, const std::string& format,
                 const kvf::sim::ArgPacker& args, const std::string& strings = {}) {
  std::string body = format;
  body.push_back('\0');
  body += strings;
  std::string bytes(reinterpret_cast<const char*>(args.bytes().data()), args.bytes().size());
  save(dir, name, bytes + body);
}

void expand_seeds(const fs::path& dir) {
  using kvf::sim::ArgPacker;
  // Strings follow the format: "pool" 32 bytes in.
  std::string format = "%d items in %s at %p\\n";
  std::string pad(32 - format.size() - 1, '\0');
  expand_seed(dir, "items", format, ArgPacker().i32(3).ptr(kExpandImage + 32).ptr(0x1234), pad + "pool");
  expand_seed(dir, "dump", "%r|%lld|%f %e %g %G %E", ArgPacker().block(kExpandImage, 20).i64(-5).f64(2.5).f64(1e300).f64(-0.0).f64(1e-300).f64(3));
  expand_seed(dir, "longs", "%llu %llx %ll %l %ld %lu %5d %-10s %hd %c %o %X %i %%\\q\\", ArgPacker().u64(~0ull).u64(~0ull).i64(-1).i64(7).i64(7).i64(1).i32(65).i32(8).i32(255).i32(-2));
  expand_seed(dir, "outside", "%s %r %s", ArgPacker().ptr(kExpandImage + 1020).block(kExpandImage + 1000, 100).ptr(0x7fff00001000));
  expand_seed(dir, "beyond_args", "%d%d%d%d%d%d%d%d%d%d%d%d%d%d%d%d%d%d%d%d%d%llx%s", ArgPacker().i32(1));
  // A dorvel record (component 18 comes from the first argument byte).
  ArgPacker dorvel;
  dorvel.ptr(kExpandImage + 40).ptr(kExpandImage + 48).i32(96).i32(0x100).u64(1).u64(2).u64(3).u64(4).u64(5);
  std::string d(reinterpret_cast<const char*>(dorvel.bytes().data()), 80);
  d[0] = 18;
  std::string body = "dorvel %d";
  body.resize(40, '\0');
  body += std::string("first\0\0\0", 8) + "second";
  save(dir, "dorvel", d + body + std::string(1, '\0'));
}

void catalogue_seeds(const fs::path& dir) {
  std::vector<kvf::vem::Message> messages{{5, "five\n"},
                                          {6, "\n"},
                                          {150, "a %lx and %-lx to fix\n"},
                                          {32765, "Cannot open file '%s'\n"},
                                          {32766, "Unknown error message number '%d'\n"}};
  for (bool wide : {false, true}) {
    std::string bytes, error;
    kvf::vem::build_catalogue(messages, wide, bytes, error);
    save(dir, wide ? "wide" : "narrow", bytes);
  }
  std::vector<kvf::vem::Message> many;
  for (int n = 1; n < 199; n += 3) many.push_back({n, "text " + std::to_string(n) + "\n"});
  std::string bytes, error;
  kvf::vem::build_catalogue(many, false, bytes, error);
  save(dir, "many", bytes);
}

void settings_seeds(const fs::path& dir) {
  save(dir, "plain", "# settings\nDBLANG de_de/0333\nDBPATH /x\nTERM vt100\n");
  save(dir, "locale", "DBNLS 1\nLANG de_DE.8859-1\nLC_CTYPE en_US.utf8\nCLIENT_LOCALE de_DE.8859-15\n");
  save(dir, "client", "CLIENT_LOCALE en_US.UTF-8\nDB_LOCALE de_DE.8859-1\nDBLANG ../../etc\n");
  save(dir, "long", "DBLANG " + std::string(600, 'd') + "\nCLIENT_LOCALE " + std::string(300, 'c') + ".8859-1\n");
}

void registry_seeds(const fs::path& dir) {
  using namespace std::string_literals;
  save(dir, "string", "Domain\0REG_SZ\ngroup\0"s);
  save(dir, "number", "UIDSeed\0REG_DWORD\n\x01\x02\x03\x04"s);
  save(dir, "odd_name", ".a/b%25\0REG_BINARY\n\xff\0\n"s);
  save(dir, "no_type", "x\0REG_SZ"s);
}

void command_line_seeds(const fs::path& dir) {
  using namespace std::string_literals;
  for (auto [name, args] : std::vector<std::pair<std::string, std::string>>{
           {"lite", "lite\0-c\0KVF_BFR_MGR\0-f\0KVF_MEM\0KVF_CALL"s},
           {"heavy_all", "HEAVY"s},
           {"off_list", "off\0-f\0KVF_ARGS\0-c\0KVF_EAR"s},
           {"session", "session\0""0070"s},
           {"session_off", "SESSION"s},
           {"size", "size\0 -80x"s},
           {"tail", "-t\0fview\0file"s},
           {"views", "frview"s},
           {"info", "info"s},
           {"empty", "empty"s},
           {"on", "on"s}})
    save(dir, name, args);
}

// Patches to the sound dump of dump_patch_fuzz.cpp: area, offset (2 bytes),
// length, bytes. Areas: 0 segment header, 1 shmcb, 2 root record, 3 server
// record, 4 control block fields, 5 ring header, 6 records, 7 strings.
std::string patch(int area, int offset, const std::string& bytes) {
  std::string p{static_cast<char>(area), static_cast<char>(offset & 0xFF), static_cast<char>(offset >> 8),
                static_cast<char>(bytes.size())};
  return p + bytes;
}

void dump_patch_seeds(const fs::path& dir) {
  using namespace std::string_literals;
  save(dir, "as_built", "");
  save(dir, "indexes", patch(5, 0, "\x03\0\0\0\x0c\0\0\0"s));
  save(dir, "ring_size", patch(4, 24768 - 24696, "\x40\0\0\0"s));
  save(dir, "record_file", patch(6, 160, "\0\0\0\0\0\x10\0\0"s) + patch(6, 72, "\x01\0\0\0"s));
  save(dir, "string_end", patch(7, 4, "XXXX"));
  save(dir, "segments", patch(1, 32, "\x02\0"s) + patch(0, 608, "\0\0\0\0\0\0\x01\0"s));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds DIR\n");
    return 2;
  }
  fs::path dir = argv[1];
  dump_seeds(dir / "dump_file_fuzz");
  dump_patch_seeds(dir / "dump_patch_fuzz");
  expand_seeds(dir / "expand_fuzz");
  catalogue_seeds(dir / "catalogue_fuzz");
  settings_seeds(dir / "settings_fuzz");
  registry_seeds(dir / "registry_fuzz");
  command_line_seeds(dir / "command_line_fuzz");
  return 0;
}
