// export_dump.cpp -- the standard-input copy and the header check of a dump
// before kavrex-export loads it (shm/dump_layout.h reads the headers at
// file offsets, without loading anything).
#include "tools/export_dump.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "platform/files.h"
#include "shm/dump_layout.h"

namespace kavrex_export {

std::string copy_standard_input(const char* name) {
  // A file without a name in the temporary directory: nothing is left
  // behind however the program ends.
  const char* dir = std::getenv("TMPDIR");
  if (!dir || !*dir) dir = "/tmp";
  int fd = kvf::sys::open(dir, O_TMPFILE | O_RDWR, 0600);
  if (fd < 0) {
    std::fprintf(stderr, "kavrex-export: %s: cannot make a copy in %s: %s\n", name, dir, std::strerror(errno));
    return "";
  }
  static char buffer[64 * 1024];
  for (;;) {
    ssize_t got = kvf::sys::read(STDIN_FILENO, buffer, sizeof buffer);
    if (got < 0) {
      std::fprintf(stderr, "kavrex-export: %s: cannot read standard input: %s\n", name, std::strerror(errno));
      kvf::sys::close(fd);
      return "";
    }
    if (got == 0) break;
    if (int error = kvf::sys::write_all(fd, buffer, static_cast<std::size_t>(got))) {
      std::fprintf(stderr, "kavrex-export: %s: cannot copy standard input to %s: %s\n", name, dir,
                   std::strerror(error));
      kvf::sys::close(fd);
      return "";
    }
  }
  // Left open for the rest of the program: the path names this descriptor.
  return "/proc/self/fd/" + std::to_string(fd);
}

bool dump_refused(const char* path, const char* name, bool allow_truncated) {
  kvf::DumpFileBytes file;
  if (!file.open(path)) return false;
  kvf::DumpLayout layout = kvf::read_dump_layout(file);
  if (layout.shape == kvf::DumpShape::not_a_dump) {
    std::fprintf(stderr, "kavrex-export: %s: not a dump file\n", name);
    return true;
  }
  if (layout.shape == kvf::DumpShape::truncated && !allow_truncated) {
    std::fprintf(stderr, "kavrex-export: %s: truncated dump (%llu of %llu bytes)\n", name,
                 static_cast<unsigned long long>(layout.file_size), static_cast<unsigned long long>(layout.expected));
    return true;
  }
  return false;
}

}  // namespace kavrex_export
