// dump_file.h -- a dump file read whole into ordinary memory, with server
// addresses translated to places in that copy by the segment table. This is
// the benchmark baseline's way of reading an image; the tool itself maps the
// segments at the server's addresses instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace bench {

// An address that lies in no segment of the dump, or a string that runs off
// the end of its segment.
struct BadAddress : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class DumpFile {
 public:
  // Reads `path`; throws std::runtime_error when it cannot be read or is
  // not a dump (shm/dump_layout.cpp says which files are).
  explicit DumpFile(const std::string& path);

  // Our pointer to `length` bytes at server address `address`.
  const unsigned char* at(std::uint64_t address, std::size_t length) const;
  // The NUL-terminated string at `address` (not null).
  const char* string(std::uint64_t address) const;

  std::uint64_t root() const { return root_; }  // the shmcb's rhead

 private:
  struct Segment {
    std::uint64_t base, size, offset;
  };
  std::vector<unsigned char> bytes_;
  std::vector<Segment> segments_;
  std::uint64_t root_ = 0;
};

}  // namespace bench
