// program_edge.h -- what kavrex, kavrex-export and kavrex-snap share at their
// edge: obtaining the image (a dump file or the live server) with the
// failure messages they print, the usable control block, and the release.
// The programs choose their exit statuses; the texts are here, once.
#pragma once

namespace kvf {

struct ImageRequest {
  const char* program = "kavrex";  // the name that opens each message
  const char* dump_file = nullptr;  // the dump to read; null for the live server
  const char* dump_name = nullptr;  // the dump as messages name it (dump_file when null)
  bool read_write = false;          // attach the live server read-write
};

enum class Obtained { ok, dump_unreadable, attach_failed };

// Reads the dump, with the dump interrupts installed first, or attaches to
// the server named by VELMORANSERVER. A failure is told on standard error:
// "PROGRAM: Can't read shared memory file NAME" after the reader's own
// message, or "PROGRAM: incorrect permissions", "PROGRAM: server NAME not
// found", "PROGRAM: couldn't attach to shmem, code = N".
Obtained obtain_image(const ImageRequest& request);

// The trace control block, when the image has one and the server could
// allocate it; else null after "Unavailable: server memory allocation
// error" on standard error.
unsigned char* usable_block_or_report();

// Releases what obtain_image obtained for `dump_file` (null: the live server).
void release_image(const char* dump_file);

}  // namespace kvf
