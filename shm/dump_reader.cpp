// dump_reader.cpp -- rinfile: reads a dump file (the server's segments back to
// back) into new segments placed at the server's addresses, and the release
// and interrupt handling that remove them again.
//
// Every segment is marked for removal as soon as it is attached, so that no
// segment outlives the process, however it ends; release then only detaches
// and frees the tables. The load guard (shm/load_guard.h) covers the moment
// between creating a segment and marking it.
//
// Segment bodies are copied from a mapping of the file on as many threads
// as sys::thread_count() gives (platform/file_copy.h, platform/threads.h) and read with read() from wherever the copy could
// not go on, so that a file that is short, or shrinks during the load, gives
// what read() alone would give.
//
// The file, the segments and the tables go through the call table of
// platform/sys.h, as the information file does: the layer reports its
// failures on standard output, the reader its own messages on standard
// error. The interrupt handler uses the plain calls of platform/raw.h.
#include "shm/dump_reader.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/stat.h>

#include "layouts/field.h"
#include "layouts/segment_layout.h"
#include "layouts/shmcb_layout.h"
#include "platform/file_copy.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/raw.h"
#include "platform/sys.h"
#include "platform/threads.h"
#include "shm/image.h"
#include "shm/load_guard.h"
#include "shm/stdin_loader.h"

namespace kvf {
namespace {

constexpr std::size_t kReadChunk = 16384;

// Reader state: one load per process. The interrupt handler reads the table
// and count, so an entry is stored before the count covers it.
int* volatile g_ids = nullptr;
volatile sig_atomic_t g_count = 0;
// Where each piece was placed, so that release can also detach it (the
// process may go on after a release: tests, the fuzzer).
void** g_placed = nullptr;
int g_placed_count = 0;
int g_capacity = 0;
std::uint32_t g_key = 0;

// Reads up to n bytes through the file layer, stopping early only at the
// end of the file.
ssize_t read_full(int fd, void* buf, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    ssize_t r = sys::file_read(fd, static_cast<char*>(buf) + done, n - done);
    if (r < 0) return -1;
    if (r == 0) break;
    done += static_cast<std::size_t>(r);
  }
  return static_cast<ssize_t>(done);
}

// Creates and places one segment of `size` bytes at `base`; 0 or -1 (errno).
int place_segment(std::uint64_t base, std::uint64_t size, std::int32_t min_piece) {
  std::uint64_t piece = 1;
  while (piece < size) {
    piece <<= 1;
    if (piece == 0) {
      piece = std::uint64_t{1} << 63;
      break;
    }
  }
  if (size == 0) return 0;
  // A base of 0 would let the system choose the address; the image must be
  // exactly where the server had it, so refuse it as an invalid address.
  if (base == 0) {
    errno = EINVAL;
    return -1;
  }
  std::uint64_t at = base;
  std::uint64_t left = size;
  while (left > 0) {
    std::uint64_t q = left < piece ? left : piece;
    // The guard hears of the segment before it exists and of its id as soon
    // as there is one, so that a kill at any moment leaves it nothing to
    // guess about but the instant between the two.
    guard_creating(static_cast<key_t>(g_key), q);
    int id = sys::shm_get(static_cast<key_t>(g_key), q, 0660 | IPC_CREAT | IPC_EXCL);
    guard_created(id);
    g_ids[g_count] = id;
    if (id < 0) {
      // Too large for the system: try halves, down to the minimum piece
      // size (and never below one byte, whatever the dump says).
      if (errno == EINVAL && piece / 2 > 0 &&
          static_cast<std::int64_t>(piece / 2) >= static_cast<std::int64_t>(min_piece)) {
        piece /= 2;
        continue;
      }
      return -1;
    }
    g_count = g_count + 1;
    void* placed = sys::shm_attach(id, at, 0);
    // Marked for removal at once: from here on the segment goes with the
    // last detach, which the end of the process makes, however it ends.
    int attach_error = errno;
    if (sys::shm_remove(id) == 0) guard_marked(id);
    if (!placed) {
      errno = attach_error;
      return -1;
    }
    g_placed[g_placed_count++] = placed;
    image_add_range(at, q);
    at += q;
    left -= q;
    if (g_count >= g_capacity) {
      errno = ENOMEM;
      return -1;
    }
  }
  return 0;
}

void remove_segments() {
  int* ids = g_ids;
  if (!ids) return;
  for (int i = 0; i < g_count; ++i) sys::raw::shm_remove(ids[i]);
}

extern "C" void on_dump_interrupt(int) {
  remove_segments();
  sys::raw::exit_now(1);
}

int fail(const char* format, const char* path, int code) {
  std::fprintf(stderr, format, path, code);
  return 1;
}

// A seek within a segment's part of the file failed.
int seek_failed(std::uint64_t base) {
  int e = errno;
  // The address as the tool prints every pointer: 16 uppercase hex digits,
  // no prefix.
  std::fprintf(stderr, "lseek error (addr %016llX) errno=%d\n", static_cast<unsigned long long>(base), e);
  return 1;
}

// Threads for copying a segment body: as many as render a dump's records
// (the copy hands them chunks, so a small body takes fewer).
int copy_workers() { return sys::thread_count(); }

}  // namespace

int rinfile(const char* path, std::uint32_t key) {
  if (std::strcmp(path, "stdin") == 0) std::exit(load_dump_from_stdin(key));
  g_key = key;
  int fd = sys::file_open(path, O_RDONLY);
  if (fd < 0) {
    std::fprintf(stderr, "Unable to open input file '%s'\n", path);
    return 1;
  }
  struct stat st;
  off_t file_size = sys::status(fd, st) == 0 ? st.st_size : 0;
  unsigned char header[segment::kSize];
  // errno is printed after a short read too, which sets none: start from 0.
  errno = 0;
  if (read_full(fd, header, sizeof header) != static_cast<ssize_t>(sizeof header)) {
    int e = errno;
    sys::file_close(fd);
    return fail("Error reading '%s' errno=%d\n", path, e);
  }
  std::uint64_t overhead = load<std::uint64_t>(header, segment::kOverhead);
  off_t shmcb_at = static_cast<off_t>(overhead - shmcb::kSize);
  if (sys::file_seek(fd, shmcb_at, SEEK_SET) < 0) {
    int e = errno;
    sys::file_close(fd);
    return fail("Error lseeking '%s' errno=%d\n", path, e);
  }
  auto shmcb_copy = std::make_unique<unsigned char[]>(shmcb::kSize);
  errno = 0;
  if (read_full(fd, shmcb_copy.get(), shmcb::kSize) != static_cast<ssize_t>(shmcb::kSize)) {
    int e = errno;
    sys::file_close(fd);
    return fail("Error reading '%s' errno=%d\n", path, e);
  }
  g_count = 0;
  std::uint64_t root = load<std::uint64_t>(shmcb_copy.get(), shmcb::kRootHead);
  set_root_pointer(root);
  int segments = load<std::int16_t>(shmcb_copy.get(), shmcb::kSegmentCount);
  std::int32_t min_piece = load<std::int32_t>(shmcb_copy.get(), shmcb::kMinPieceSize);
  shmcb_copy.reset();
  // Back to the start; a failure is reported by the layer and not checked
  // here: the reads then go on from after the control block.
  off_t position = sys::file_seek(fd, 0, SEEK_SET);
  if (position < 0) position = shmcb_at + static_cast<off_t>(shmcb::kSize);
  // A count of zero or less would load nothing and leave the root pointer
  // pointing at unmapped memory: such a file is refused as unreadable.
  if (segments <= 0) {
    sys::file_close(fd);
    std::fprintf(stderr, "Error reading '%s': segment count %d in the control block\n", path, segments);
    set_root_pointer(0);
    return 1;
  }
  // A SIGKILL between a shmget and the removal mark would leave that
  // segment behind: the guard removes it once this process is gone.
  // (Without a guard the load still goes on.)
  start_load_guard();
  g_capacity = segments * 100;
  g_ids = static_cast<int*>(sys::allocate(static_cast<std::size_t>(g_capacity) * sizeof(int)));
  g_placed = g_ids ? static_cast<void**>(sys::allocate(static_cast<std::size_t>(g_capacity) * sizeof(void*)))
                   : nullptr;
  g_placed_count = 0;
  if (!g_ids || !g_placed) {
    int e = errno;
    std::free(g_placed);
    g_placed = nullptr;
    std::free(g_ids);
    g_ids = nullptr;
    sys::file_close(fd);
    std::fprintf(stderr, "Error in rinfile malloc errno=%d\n", e);
    return 1;
  }
  auto give_up = [&](int status) {
    release_dump();
    sys::file_close(fd);
    return status;
  };
  for (int s = 0; s < segments; ++s) {
    errno = 0;
    if (read_full(fd, header, sizeof header) != static_cast<ssize_t>(sizeof header))
      return give_up(fail("Error reading '%s' errno=%d\n", path, errno));
    position += static_cast<off_t>(sizeof header);
    std::uint64_t size = load<std::uint64_t>(header, segment::kSegmentSize);
    std::uint64_t base = load<std::uint64_t>(header, segment::kBase);
    // A size of 0 would consume nothing and make the next header read find
    // the same header again: refused as a damaged file.
    if (size == 0) {
      std::fprintf(stderr, "Error reading '%s': segment %d has size 0\n", path, s + 1);
      return give_up(1);
    }
    if (place_segment(base, size, min_piece) != 0) {
      std::fprintf(stderr, "rinfile: shmget/shmat error (cnt %ld) errno=%d\n",
                   static_cast<long>(static_cast<std::int32_t>(size)), errno);
      return give_up(1);
    }
    add_attachment();
    position = sys::file_seek(fd, -static_cast<off_t>(segment::kSize), SEEK_CUR);
    if (position < 0) return give_up(seek_failed(base));
    const off_t body_at = position;
    std::uint64_t filled = file_size > body_at ? static_cast<std::uint64_t>(file_size - body_at) : 0;
    if (filled > size) filled = size;
    unsigned char* target = const_cast<unsigned char*>(address(base));
    std::uint64_t left = size;
    // What the file had of the body when the load began is copied from a
    // mapping of it, chunk by chunk on several threads, which costs less
    // than read() into new shared memory; the reads below then go on from where
    // the copy ended: at the end of the body, at the end of the file, or at
    // a page that a file shrunk since could not give, where read() sees the
    // end of the file (or the error that made the page unreadable) just as
    // it would have without the copy. Only the pages that the file fills are
    // made present ahead, so a header that claims a huge segment costs
    // address space, not memory.
    std::uint64_t written = 0;  // how far the copy may have written
    if (filled > 0) {
      sys::FileCopy copy;
      if (sys::copy_from_file(fd, body_at, target, filled, copy_workers(), copy) == 0) {
        written = copy.written;
        if (copy.copied > 0) {
          position = sys::file_seek(fd, static_cast<off_t>(copy.copied), SEEK_CUR);
          if (position < 0) return give_up(seek_failed(base));
          target += copy.copied;
          left -= copy.copied;
        }
      } else {
        sys::populate(target, (filled + 4095) & ~std::uint64_t{4095});
      }
    }
    while (left > 0) {
      std::size_t ask = left < kReadChunk ? static_cast<std::size_t>(left) : kReadChunk;
      ssize_t got = sys::file_read(fd, target, ask);
      if (got < 0) return give_up(fail("Error reading '%s' errno=%d\n", path, errno));
      // A short read (end of file) is no failure: the rest stays zero.
      // Once a read finds the end, every further one would too; stop
      // asking rather than make one call per 16 KiB of a huge segment.
      if (got == 0) break;
      position += got;
      target += ask;
      left -= ask;
    }
    // Past the end of the file the memory reads as zero, also where
    // another thread of the copy had written a chunk before the file
    // shrank under it.
    std::uint64_t end = static_cast<std::uint64_t>(position - body_at);
    if (written > end) std::memset(const_cast<unsigned char*>(address(base)) + end, 0, written - end);
  }
  sys::file_close(fd);
  // The chain to the trace control block must lie in what was loaded; a
  // pointer elsewhere would be followed into memory that is not the image.
  // (A control block pointer of 0 is the server's own "no block", reported
  // by the front end.)
  Chain chain = follow_chain(root);
  if (chain.outside != ChainLink::none) {
    const char* outside = chain.outside == ChainLink::root_record ? "root record"
                          : chain.outside == ChainLink::shmcb     ? "shared-memory control block"
                                                                  : "trace control block";
    std::fprintf(stderr, "Error reading '%s': %s at 0x%llx is outside the loaded segments\n", path, outside,
                 static_cast<unsigned long long>(chain.at));
    release_dump();
    return 1;
  }
  return 0;
}

void release_dump() {
  remove_segments();
  for (int i = 0; i < g_placed_count; ++i) sys::shm_detach(reinterpret_cast<std::uintptr_t>(g_placed[i]));
  std::free(g_placed);
  g_placed = nullptr;
  g_placed_count = 0;
  int* ids = g_ids;
  g_ids = nullptr;
  g_count = 0;
  std::free(ids);
  image_clear();
}

void install_dump_interrupts() {
  // An interrupt that whoever started the tool ignores stays ignored.
  for (int sig : {SIGINT, SIGHUP, SIGQUIT}) {
    struct sigaction current {};
    if (sys::signal_action(sig, current) == 0 && current.sa_handler == SIG_IGN) continue;
    sys::set_signal_action(sig, on_dump_interrupt, SA_RESTART);
  }
  sys::set_signal_action(SIGTERM, on_dump_interrupt, SA_RESTART);
}

int dump_segment_count() { return g_count; }

}  // namespace kvf
