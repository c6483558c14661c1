// dump_reader.h -- rebuilding the server's shared memory from a dump file,
// each segment placed at the server's own address.
#pragma once

#include <cstdint>

namespace kvf {

// Loads the dump file `path` into new private segments at the addresses its
// segment headers give, and sets the root pointer. Returns 0 when loaded and
// 1 after printing why not (to standard error). The name "stdin" goes to the
// standard-input loader and ends the process with its status.
int rinfile(const char* path, std::uint32_t key);

// Removes every segment the load created and frees the id table.
void release_dump();

// Installs the handlers that release the loaded segments and end with
// status 1 on interrupt, hang-up, quit (each unless already ignored) and
// terminate.
void install_dump_interrupts();

// Segments created so far (for tests).
int dump_segment_count();

}  // namespace kvf
