// load_guard.h -- a helper process that removes the dump reader's segments
// when the tool dies between creating a segment and marking it for removal.
#pragma once

#include <cstdint>

#include <sys/types.h>

namespace kvf {

// Starts the helper once per process (later calls do nothing) and waits
// until it is ready to watch. Once this process has ended, however it
// ended, the helper removes the segments that this process created through
// the calls below and had not yet marked for removal, and nothing else.
// Returns false when it could not be started (the load goes on without it).
bool start_load_guard();

// Told before each shmget of a segment: `size` bytes under `key`.
void guard_creating(key_t key, std::uint64_t size);
// Told the result of that shmget: an id, or -1 when nothing was created.
void guard_created(int id);
// Told once the segment is marked for removal: the system removes it at the
// last detach, so the helper forgets it.
void guard_marked(int id);

}  // namespace kvf
