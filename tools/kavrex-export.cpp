// kavrex-export.cpp -- kavrex-export: the trace records of a dump file or of
// the running server (attached read-only) as JSON Lines, once or following
// the ring. Status 0 when done, 1 on failure, 2 for bad usage.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "control/control_block.h"
#include "shm/dump_reader.h"
#include "shm/live_attach.h"
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
  if (file) {
    kvf::install_dump_interrupts();
    // "stdin" is the dump reader's name for standard input; a file of that
    // name is read as a file.
    std::string path = std::strcmp(file, "stdin") == 0 ? "./stdin" : file;
    if (kvf::rinfile(path.c_str(), 0) != 0) {
      std::fprintf(stderr, "kavrex-export: Can't read shared memory file %s\n", file);
      return false;
    }
    return true;
  }
  const char* server = std::getenv("VELMORANSERVER");
  if (!server || !*server) {
    std::fputs("kavrex-export: no server: set VELMORANSERVER or name a dump file\n", stderr);
    return false;
  }
  int code = kvf::live_attach(0, false);
  if (code == 0) return true;
  if (code == 13)
    std::fputs("kavrex-export: incorrect permissions\n", stderr);
  else if (code == kvf::kAttachNotFound)
    std::fprintf(stderr, "kavrex-export: server %s not found\n", server);
  else
    std::fprintf(stderr, "kavrex-export: couldn't attach to shmem, code = %d\n", code);
  return false;
}

void release(const char* file) {
  if (file)
    kvf::release_dump();
  else
    kvf::live_detach();
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
  const unsigned char* block = kvf::control_block();
  if (!block || kvf::alloc_failed(block) != 0) {
    std::fputs("Unavailable: server memory allocation error\n", stderr);
    release(file);
    return 1;
  }
  static kavrex_export::Export state;  // the walk sink's buffers
  if (tail) kavrex_export::walk_tail(state);
  int status = kavrex_export::walk_once(state);
  kavrex_export::flush_output();
  release(file);
  return status;
}
