// exit_program.h -- the one way the tool's own code ends the process.
#pragma once

namespace kvf {

// Flushes every output stream and ends the process with `status`. Never
// returns; does not detach from shared memory (the system does that).
[[noreturn]] void exit_program(int status);

}  // namespace kvf
