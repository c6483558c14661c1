// program_edge.cpp -- obtaining and releasing the image for the programs, and
// the words they use when that fails.
#include "control/program_edge.h"

#include <cstdio>
#include <cstdlib>

#include "control/control_block.h"
#include "shm/dump_reader.h"
#include "shm/live_attach.h"

namespace kvf {

Obtained obtain_image(const ImageRequest& request) {
  if (request.dump_file) {
    install_dump_interrupts();
    if (rinfile(request.dump_file, 0) == 0) return Obtained::ok;
    std::fprintf(stderr, "%s: Can't read shared memory file %s\n", request.program,
                 request.dump_name ? request.dump_name : request.dump_file);
    return Obtained::dump_unreadable;
  }
  int code = live_attach(0, request.read_write);
  if (code == 0) return Obtained::ok;
  const char* server = std::getenv("VELMORANSERVER");
  if (code == 13)
    std::fprintf(stderr, "%s: incorrect permissions\n", request.program);
  else if (code == kAttachNotFound)
    std::fprintf(stderr, "%s: server %s not found\n", request.program, server ? server : "(null)");
  else
    std::fprintf(stderr, "%s: couldn't attach to shmem, code = %d\n", request.program, code);
  return Obtained::attach_failed;
}

unsigned char* usable_block_or_report() {
  unsigned char* block = control_block();
  if (block && alloc_failed(block) == 0) return block;
  std::fputs("Unavailable: server memory allocation error\n", stderr);
  return nullptr;
}

void release_image(const char* dump_file) {
  if (dump_file)
    release_dump();
  else
    live_detach();
}

}  // namespace kvf
