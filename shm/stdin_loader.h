// stdin_loader.h -- the dump loader for the file name "stdin".
#pragma once

#include <cstdint>

namespace kvf {

// Checks the segment key (counted from 0xFACADE00; only user keys up to 255
// are accepted) and returns the exit status. With the key the tool passes
// the check always fails, so standard input is never read.
int load_dump_from_stdin(std::uint32_t key);

}  // namespace kvf
