// kavrex-export.cpp -- kavrex-export: the trace records of a dump file or of
// the running server (attached read-only) as JSON Lines, once or following
// the ring. Status 0 when done, 1 on failure, 2 for bad usage.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "control/program_edge.h"
#include "tools/kavrex-export.h"

namespace {

constexpr const char* kUsage =
    "usage: kavrex-export [-t] [FILE]\n"
    "       writes the trace records of the dump FILE, or of the server named by\n"
    "       $VELMORANSERVER, as JSON Lines; -t follows the ring as it is written\n";

int usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

// Obtains the image; false after a message.
bool obtain_image(const char* file) {
  // "stdin" is the dump reader's name for standard input; a file of that
  // name is read as a file.
  std::string path = file && std::strcmp(file, "stdin") == 0 ? "./stdin" : file ? file : "";
  if (!file) {
    const char* server = std::getenv("VELMORANSERVER");
    if (!server || !*server) {
      std::fputs("kavrex-export: no server: set VELMORANSERVER or name a dump file\n", stderr);
      return false;
    }
  }
  return kvf::obtain_image({.program = "kavrex-export",
                            .dump_file = file ? path.c_str() : nullptr,
                            .dump_name = file,
                            .read_write = false}) == kvf::Obtained::ok;
}

}  // namespace

int main(int argc, char** argv) {
  bool tail = false;
  const char* file = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "-t") == 0 && !tail && !file)
      tail = true;
    else if (argv[i][0] != '-' && !file)
      file = argv[i];
    else
      return usage();
  }
  if (!obtain_image(file)) return 1;
  if (!kvf::usable_block_or_report()) {
    kvf::release_image(file);
    return 1;
  }
  static kavrex_export::Export state;  // the walk sink's buffers
  if (tail) kavrex_export::walk_tail(state);
  int status = kavrex_export::walk_once(state);
  kavrex_export::flush_output();
  kvf::release_image(file);
  return status;
}
