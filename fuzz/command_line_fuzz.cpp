// Fuzz target: the command line against a fixture dump. The input is an
// argument vector (arguments separated by NUL bytes, "kavrex" in front);
// the fixture is loaded fresh for each input and the command the front end
// would choose is run the way it runs it, minus the exits: control commands
// write into the loaded copy, views and info print to /dev/null. The upper
// 28 bits of every level cell must survive whatever the command writes.
// The same arguments go to the companions' option parser too (as
// kavrex-sim's command line), for its messages about bad options.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "control/commands.h"
#include "control/control_block.h"
#include "fuzz/fuzz_support.h"
#include "kavrex/command_table.h"
#include "kavrex/front_end.h"
#include "layouts/control_block_layout.h"
#include "layouts/field.h"
#include "shm/dump_reader.h"
#include "sim/image_builder.h"
#include "sim/options.h"
#include "viewer/reader.h"
#include "viewer/view.h"

namespace {

constexpr std::size_t kMaxArguments = 12;

// Every cell's upper bits differ, so that a write into the wrong cell or
// over the whole word shows.
std::uint32_t upper_bits(int component, int feature) {
  return (0x9E3779B9u * static_cast<std::uint32_t>(component * 64 + feature + 1)) & ~kvf::control::kLevelMask;
}

std::string fixture() {
  kvf::sim::ImageBuilder image({.ring_records = 16});
  for (int c = 0; c < kvf::control::kComponentRows; ++c)
    for (int f = 0; f < kvf::control::kFeatureColumns; ++f) image.set_cell(c, f, upper_bits(c, f) | ((c + f) & 3));
  for (int i = 0; i < 20; ++i) {
    auto r = image.record("fixture.c", i, "%d of %s\\n");
    r.args.i32(i).ptr(image.string("twenty"));
    r.component = static_cast<std::uint32_t>(i % 20);
    image.append_record(r);
  }
  std::string path = fuzz::scratch_dir() + "/fixture.dump";
  image.write_dump(path);
  return path;
}

void run(int argc, char** argv, unsigned char* block, std::FILE* sink) {
  kvf::CommandLine line = kvf::read_command_line(argc, argv);
  const kvf::CommandWord* command = nullptr;
  for (const auto& w : kvf::kCommandWords) {
    const char* text = w.action == kvf::Action::view ? line.display_word : argv[1];
    if (kvf::is_word(w, text)) {
      command = &w;
      break;
    }
  }
  if (!command) return;
  switch (command->action) {
    case kvf::Action::on: kvf::set_trace_on(block, true); break;
    case kvf::Action::empty: kvf::empty_ring(block); break;
    case kvf::Action::off:
      if (argc == 2) kvf::set_trace_on(block, false);
      else kvf::set_level(block, 0, argc, argv);
      break;
    case kvf::Action::level: kvf::set_level(block, command->level, argc, argv); break;
    case kvf::Action::view:
      kvf::reader_state() = kvf::ReaderState{};
      kvf::kvf_view(command->dorvel, command->full, false);  // never the endless tail
      break;
    case kvf::Action::info: kvf::show_info(block, sink); break;
    case kvf::Action::session: kvf::set_session(block, argc, argv); break;
    case kvf::Action::size:
      if (argc >= 3) {
        std::int32_t size = kvf::read_decimal(argv[2]);
        if (size >= kvf::kMinRingSize) kvf::set_requested_size(block, size);
      }
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string dump = fixture();
  static std::FILE* sink = std::fopen("/dev/null", "w");
  fuzz::quiet_views();
  fuzz::keep_faults_fatal();

  std::vector<std::string> args{"kavrex"};
  std::string current;
  for (std::size_t i = 0; i < size && args.size() < kMaxArguments; ++i) {
    if (data[i] == 0) {
      args.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  if (args.size() < kMaxArguments && (!current.empty() || args.size() == 1)) args.push_back(current);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int argc = static_cast<int>(args.size());

  // getopt_long reorders what it is given: a copy of its own.
  std::vector<std::string> sim_args = args;
  std::vector<char*> sim_argv;
  for (auto& a : sim_args) sim_argv.push_back(a.data());
  sim_argv.push_back(nullptr);
  kvf::sim::parse_options(argc, sim_argv.data());

  if (kvf::rinfile(dump.c_str(), 0) != 0) __builtin_trap();
  unsigned char* block = kvf::control_block();
  if (!block) __builtin_trap();
  run(argc, argv.data(), block, sink);
  for (int c = 0; c < kvf::control::kComponentRows; ++c)
    for (int f = 0; f < kvf::control::kFeatureColumns; ++f)
      if ((kvf::load_shared<std::uint32_t>(block, kvf::control::cell_offset(c, f)) & ~kvf::control::kLevelMask) !=
          upper_bits(c, f))
        __builtin_trap();
  kvf::release_dump();
  return 0;
}
