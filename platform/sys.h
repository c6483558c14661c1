// sys.h -- the segment and file layer: System V shared memory and descriptor
// file access through one table of system calls.
//
// Every call goes through `calls()`, so that a test can replace an entry and
// make, say, the third shmat fail with EINVAL. The wrappers below repeat a
// call that fails with EINTR (shmget, shmat, shmctl, open, read) and return
// what the system returns: -1 (or (void*)-1 for shmat) with errno set.
#pragma once

#include <cstddef>
#include <cstdint>

#include <sys/types.h>

struct shmid_ds;

namespace kvf::sys {

struct Calls {
  int (*shmget)(key_t key, std::size_t size, int flags);
  void* (*shmat)(int id, const void* address, int flags);
  int (*shmdt)(const void* address);
  int (*shmctl)(int id, int command, struct shmid_ds* buf);
  int (*open)(const char* path, int flags, mode_t mode);
  ssize_t (*read)(int fd, void* buffer, std::size_t count);
  off_t (*lseek)(int fd, off_t offset, int whence);
  int (*close)(int fd);
  void* (*malloc)(std::size_t size);
};

// The table in use; tests may change entries and must call reset_calls()
// when done.
Calls& calls();
void reset_calls();

// Segments. shm_attach returns the mapped address or nullptr; it never asks
// for SHM_REMAP, so an address already in use fails with EINVAL.
int shm_get(key_t key, std::size_t size, int flags);
void* shm_attach(int id, std::uint64_t address, int flags);
int shm_detach(std::uint64_t address);
int shm_remove(int id);  // IPC_RMID

// Files. A failed open (other than ENOENT), read (other than EBADF), lseek or
// close is reported on standard output as "%s: w32ec=%d at %s:%d\n" with the
// call, errno, this layer's source name and the line.
int file_open(const char* path, int flags, mode_t mode = 0);
ssize_t file_read(int fd, void* buffer, std::size_t count);
// A failed seek sets errno to EBADF after reporting the system's reason.
off_t file_seek(int fd, off_t offset, int whence);
int file_close(int fd);

// Memory for tables that the caller frees with std::free; nullptr with
// errno set when there is none.
void* allocate(std::size_t size);

// One line "%s: w32ec=%d at %s:%d\n" on standard output.
void report(const char* what, int error, const char* source, int line);

}  // namespace kvf::sys
