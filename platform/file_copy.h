// file_copy.h -- filling memory from a file at the speed of a memory copy:
// the file is mapped read-only and copied in user space, in chunks shared
// out to several threads, each chunk's target pages made present just
// before it is written.
//
// On a machine where the kernel's read() into freshly created shared memory
// costs more than faulting the target in ahead and copying from the page
// cache, this is the faster way to load a large file into memory. A file
// that shrinks while it is being copied makes the mapping fault (SIGBUS);
// that fault is caught, and the copy stops there and says so, so that the
// caller can go on with read() from that point and see what read() sees (the
// end of the file, or the error that made the page unreadable).
#pragma once

#include <cstddef>

#include <sys/types.h>

namespace kvf::sys {

struct FileCopy {
  // Bytes [0, copied) of the target hold the file's bytes.
  std::size_t copied = 0;
  // When the copy stopped early, chunks past `copied` that other threads
  // had taken may have been written up to here; the caller decides what
  // such bytes become (the file no longer has them).
  std::size_t written = 0;
};

// Copies `length` bytes of the file open on `fd`, from `offset`, to
// `target`, on up to `workers` threads (this one included; at least one).
// 0 with `out` filled in, `out.copied` below `length` when a page of the
// file could not be read through the mapping; -1 with errno when the file
// cannot be mapped (nothing is written then: read it instead).
//
// While it runs, a SIGBUS handler of its own is in place; a bus error that
// is not a page of this file goes to the action that was in place before,
// which is put back when the copy ends.
int copy_from_file(int fd, off_t offset, void* target, std::size_t length, int workers, FileCopy& out);

}  // namespace kvf::sys
