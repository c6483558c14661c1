// probe.h -- whether the server process still exists, for the tail walk.
#pragma once

#include <cstdint>

namespace kvf {

// The server's process id: the u32 at byte 2472 of the record that the
// root record's first word points to; 0 when that record is not in the
// image.
std::int32_t server_pid();

// Signal 0 to the process: gone only when no such process exists (ESRCH);
// a process we may not signal (EPERM) is alive. An id of 0 or below names
// no single process, so it counts as gone.
bool process_alive(std::int32_t pid);

}  // namespace kvf
