// front_end.cpp -- main's sequence: start-up checks, the command line, the
// image (dump file or live attach), the usability check, one command from
// the command table, release.
#include "kavrex/front_end.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "control/commands.h"
#include "control/control_block.h"
#include "control/program_edge.h"
#include "kavrex/command_table.h"
#include "shm/server_info.h"
#include "startup/catalogue.h"
#include "startup/catalogue_format.h"
#include "startup/console.h"
#include "startup/exit_program.h"
#include "startup/security.h"
#include "startup/settings.h"
#include "startup/version.h"
#include "viewer/view.h"
#include "viewer/walk.h"

namespace kvf {
namespace {

constexpr const char* kUsage =
    "usage: kavrex {on|off|empty}\n"
    "usage: kavrex [-t] {view|fview|info} [shfile]\n"
    "             where shfile is a dumpfile of shared mem\n"
    "             use -t to tail output as it is generated\n"
    "       kavrex [-t] {rview|frview} [shfile]\n"
    "             view in dorvel compatible format\n"
    "       kavrex size rrr\n"
    "             where rrr is the desired # of records\n"
    "       kavrex session [ggg.lll]\n"
    "             where ggg is cosrvr part, lll is id \n"
    "             missing ggg.lll deactivates filter\n"
    "       kavrex level [-c comp list] [-f feat list]\n"
    "             where level is off, lite, med, or heavy\n"
    "       kavrex -V\n"
    "             print version number and exit\n";

constexpr const char* kSecurityFailure =
    "ERROR: Could not initialize the security subsystem. Please ensure that this account has the "
    "necessary privileges and ensure VELMORANSERVER value exists in the registry and environment.\n";

constexpr int kNotAdministratorMessage = 71575;

const CommandWord* display_word_entry(const char* text) {
  for (const auto& w : kCommandWords)
    if (w.display && is_word(w, text)) return &w;
  return nullptr;
}

// The first table entry that matches: views by the display word, every
// other word by the first argument.
const CommandWord* find_command(const char* first, const char* display_word) {
  for (const auto& w : kCommandWords) {
    const char* text = w.action == Action::view ? display_word : first;
    if (is_word(w, text)) return &w;
  }
  return nullptr;
}

void report_command_result(const CommandResult& r) {
  switch (r.status) {
    case CommandStatus::ok:
      return;
    case CommandStatus::usage:
      usage();
    case CommandStatus::unknown_component:
      std::fprintf(stderr, "kavrex: unknown component: %s\n", r.name);
      exit_program(1);
    case CommandStatus::unknown_feature:
      std::fprintf(stderr, "kavrex: unknown feature: %s\n", r.name);
      exit_program(1);
  }
}

// Obtains the image: the dump file when one was named, else the live
// server. Only an account that may administer the server gets this far, so
// the segments are attached read-write. A dump that cannot be read ends
// the run with status 1, a failed attach with status 0.
void obtain_image(const CommandLine& line) {
  switch (kvf::obtain_image({.program = "kavrex", .dump_file = line.dump_file, .read_write = true})) {
    case Obtained::ok:
      return;
    case Obtained::dump_unreadable:
      exit_program(1);
    case Obtained::attach_failed:
      exit_program(0);
  }
}

// A catalogue message, fixed up and used as a format with no arguments, on
// standard output, whatever its length. With no argument to give, only
// "%%" is a conversion that can be filled (it prints "%"); every other
// conversion in the text (%d, %s, the %p that the fix-up makes of %lx)
// prints as written rather than reading an argument that is not there.
void print_catalogue_message(int number) {
  std::string text = msgtext(number);  // the fix-up rewrites its own copy
  std::int32_t error = 0;
  const char* format = rldmsg_fmtspeckvf(text.data(), &error);
  std::string out = format_catalogue_text(format, CatalogueArgument{});
  std::fwrite(out.data(), 1, out.size(), stdout);
}

}  // namespace

CommandLine read_command_line(int argc, char** argv) {
  CommandLine line;
  if (argc > 1 && display_word_entry(argv[1])) line.display_word = argv[1];
  if (argc > 2 && std::strcmp(argv[1], "-t") == 0 && display_word_entry(argv[2])) {
    line.display_word = argv[2];
    line.tail = true;
  }
  if (*line.display_word) {
    if (!line.tail && argc == 3) line.dump_file = argv[2];
    if (line.tail && argc == 4) line.dump_file = argv[3];
  }
  return line;
}

void usage() {
  std::fflush(stdout);
  std::fputs(kUsage, stderr);
  exit_program(1);
}

int kavrex_main(int argc, char** argv) {
  set_walk_exit(exit_program);
  // The server and installation named for the attach come through the
  // settings service, as every other setting does.
  set_setting_lookup(ggetenv);
  if (security_init() != 0) {
    std::fputs(kSecurityFailure, stdout);
    exit_program(1);
  }
  if (is_dbsa(0) == 0) {
    print_catalogue_message(kNotAdministratorMessage);
    exit_program(1);
  }
  install_console_handler();
  if (argc < 2) usage();
  version_report(argc, argv[1], kProductBanner, "kavrex");

  CommandLine line = read_command_line(argc, argv);
  obtain_image(line);
  unsigned char* block = usable_block_or_report();
  if (!block) exit_program(1);

  const CommandWord* command = find_command(argv[1], line.display_word);
  if (!command) usage();
  switch (command->action) {
    case Action::on:
      set_trace_on(block, true);
      break;
    case Action::empty:
      empty_ring(block);
      break;
    case Action::off:
      if (argc == 2) {
        set_trace_on(block, false);
        break;
      }
      report_command_result(set_level(block, 0, argc, argv));
      break;
    case Action::level:
      report_command_result(set_level(block, command->level, argc, argv));
      break;
    case Action::view:
      if (kvf_view(command->dorvel, command->full, line.tail, line.dump_file != nullptr) != 0) exit_program(1);
      break;
    case Action::info:
      show_info(block, stdout);
      break;
    case Action::session:
      report_command_result(set_session(block, argc, argv));
      break;
    case Action::size: {
      if (argc < 3) usage();
      std::int32_t size = read_decimal(argv[2]);
      if (size < kMinRingSize) usage();
      set_requested_size(block, size);
      break;
    }
  }

  release_image(line.dump_file);
  return 0;
}

}  // namespace kvf
