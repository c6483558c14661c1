// export_dump.cpp -- the standard-input copy and the header check of a dump
// before kavrex-export loads it (shm/dump_layout.h reads the headers at
// file offsets, without loading anything).
#include "tools/export_dump.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/mman.h>
#include <unistd.h>

#include "shm/dump_layout.h"

namespace kavrex_export {
namespace {

bool write_all(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    ssize_t done = ::write(fd, p, n);
    if (done < 0 && errno == EINTR) continue;
    if (done < 0) return false;
    p += done;
    n -= static_cast<std::size_t>(done);
  }
  return true;
}

}  // namespace

std::string copy_standard_input(const char* name) {
  int fd = memfd_create("kavrex-export-stdin", MFD_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "kavrex-export: %s: cannot make room for a copy: %s\n", name, std::strerror(errno));
    return "";
  }
  static char buffer[64 * 1024];
  for (;;) {
    ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      std::fprintf(stderr, "kavrex-export: %s: cannot read standard input: %s\n", name, std::strerror(errno));
      ::close(fd);
      return "";
    }
    if (got == 0) break;
    if (!write_all(fd, buffer, static_cast<std::size_t>(got))) {
      std::fprintf(stderr, "kavrex-export: %s: cannot copy standard input: %s\n", name, std::strerror(errno));
      ::close(fd);
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
