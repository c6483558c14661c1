// fuzz_support.h -- small helpers shared by the fuzz targets: inputs as files,
// a scratch directory per process, a fault that stays a finding, a dump
// loaded and walked, and the catalogue file let go.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>

#include "control/commands.h"
#include "control/control_block.h"
#include "shm/dump_reader.h"
#include "startup/catalogue_state.h"
#include "viewer/fault.h"
#include "viewer/output.h"
#include "viewer/reader.h"
#include "viewer/view.h"

namespace fuzz {

// Writes `size` bytes to a new file in memory; returns the descriptor (or
// -1). Its name for open(2) is path_of(fd).
inline int memory_file(const std::uint8_t* data, std::size_t size) {
  int fd = memfd_create("fuzz", MFD_CLOEXEC);
  if (fd < 0) return -1;
  for (std::size_t done = 0; done < size;) {
    ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return fd;
}

inline std::string path_of(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Writes `size` bytes to `path`, replacing it.
inline void write_file(const std::string& path, const void* data, std::size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  if (size) std::fwrite(data, 1, size, f);
  std::fclose(f);
}

// A directory of this process's own below /tmp, made once and removed
// at exit.
inline const std::string& scratch_dir() {
  static std::string dir = [] {
    char name[] = "/tmp/kavrex-fuzz-XXXXXX";
    if (!mkdtemp(name)) std::abort();
    static std::string copy = name;
    std::atexit([] { std::system(("rm -rf '" + copy + "'").c_str()); });
    return std::string(name);
  }();
  return dir;
}

// The views write with write(2) to their own descriptor, and the file
// layer its report lines (a dump that cannot be sought, say) to standard
// output; the targets send both to /dev/null.
inline void quiet_views() {
  static bool done = false;
  if (done) return;
  done = true;
  std::FILE* null = std::fopen("/dev/null", "w");
  kvf::out::set_fd(fileno(null));
  if (!std::freopen("/dev/null", "w", stdout)) std::abort();
}

// The walks install their fault handlers once and keep them, so that a
// fault while a record is read is reported as skipped records. Here every
// read must be checked before it is made: the handlers are installed now
// and the sanitizer's own put back, so that a fault in a walk stays a
// finding with its input saved.
inline void keep_faults_fatal() {
  static bool done = false;
  if (done) return;
  done = true;
  struct sigaction segv {}, bus {};
  sigaction(SIGSEGV, nullptr, &segv);
  sigaction(SIGBUS, nullptr, &bus);
  kvf::install_fault_handlers();
  sigaction(SIGSEGV, &segv, nullptr);
  sigaction(SIGBUS, &bus, nullptr);
}

// Loads `size` bytes as a dump file, shows its settings as info does and,
// when its control block is usable, walks the ring once in each of
// `layouts` (bit 0: the dorvel view, bit 1: the wide one); then releases it.
inline void load_and_view(const std::uint8_t* data, std::size_t size, std::initializer_list<int> layouts) {
  static std::FILE* sink = std::fopen("/dev/null", "w");
  int fd = memory_file(data, size);
  if (fd < 0) return;
  if (kvf::rinfile(path_of(fd).c_str(), 0) == 0) {
    if (unsigned char* block = kvf::control_block(); block && kvf::alloc_failed(block) == 0) {
      kvf::show_info(block, sink);
      for (int layout : layouts) {
        // The reader's state lives for a whole run; each walk starts afresh.
        kvf::reader_state() = kvf::ReaderState{};
        kvf::kvf_view(layout & 1, layout & 2, false);
      }
    }
    kvf::release_dump();
  }
  close(fd);
}

// The catalogue state goes with the thread that looked messages up; its
// file must not stay open with it.
inline void close_catalogue_file() {
  if (kvf::CatalogueState* s = kvf::catalogue_state(); s && s->fd >= 0) {
    close(s->fd);
    s->fd = -1;
  }
}

}  // namespace fuzz
