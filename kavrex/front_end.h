// front_end.h -- the tool's entry: start-up checks, command line, image,
// one command, release.
#pragma once

namespace kvf {

// What the command line selects besides the command word itself.
struct CommandLine {
  const char* display_word = "";  // a display word, or "" when none
  bool tail = false;               // "-t" before a display word
  const char* dump_file = nullptr; // the dump to load, or nullptr for live
};

// Reads the display word, the tail flag and the dump file from argv.
CommandLine read_command_line(int argc, char** argv);

// Writes the usage text to standard error and ends with status 1.
[[noreturn]] void usage();

// The whole run; returns 0 when a command ran to its end.
int kavrex_main(int argc, char** argv);

}  // namespace kvf
