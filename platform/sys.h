// sys.h -- the bottom of the program: every system call that the tool and
// its companions make on files, System V shared memory, signals, processes
// and time goes through one table.
//
// Every call goes through `calls()`, so that a test can replace an entry and
// make, say, the third shmat fail with EINVAL. The wrappers here and in
// files.h and process.h repeat a call that fails with EINTR (through
// `retry`, retry.h) and return what the system returns: -1 (or nullptr for
// shmat) with errno set. Only the file layer at the end of this header
// reports its failures; every other wrapper leaves that to its caller.
//
// Code that runs in a signal handler or in a child between fork and exit
// uses raw.h instead: plain system calls, not in the table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include <dirent.h>
#include <signal.h>
#include <sys/types.h>

#include "platform/retry.h"

struct itimerval;
struct shmid_ds;
struct sigaction;
struct stat;

namespace kvf::sys {

struct Calls {
  // System V shared memory.
  int (*shmget)(key_t key, std::size_t size, int flags);
  void* (*shmat)(int id, const void* address, int flags);
  int (*shmdt)(const void* address);
  int (*shmctl)(int id, int command, struct shmid_ds* buf);
  // Descriptors.
  int (*open)(const char* path, int flags, mode_t mode);
  ssize_t (*read)(int fd, void* buffer, std::size_t count);
  ssize_t (*write)(int fd, const void* buffer, std::size_t count);
  ssize_t (*pread)(int fd, void* buffer, std::size_t count, off_t offset);
  off_t (*lseek)(int fd, off_t offset, int whence);
  int (*ftruncate)(int fd, off_t length);
  int (*fsync)(int fd);
  int (*fstat)(int fd, struct stat* st);
  int (*fchmod)(int fd, mode_t mode);
  int (*close)(int fd);
  int (*mkstemp)(char* path_template);
  // Names in the file system.
  int (*stat)(const char* path, struct stat* st);
  int (*lstat)(const char* path, struct stat* st);
  int (*access)(const char* path, int mode);
  int (*rename)(const char* from, const char* to);
  int (*unlink)(const char* path);
  int (*mkdir)(const char* path, mode_t mode);
  int (*rmdir)(const char* path);
  int (*chmod)(const char* path, mode_t mode);
  int (*chown)(const char* path, uid_t owner, gid_t group);
  DIR* (*opendir)(const char* path);
  // Memory.
  void* (*malloc)(std::size_t size);
  void* (*mmap)(void* address, std::size_t length, int protection, int flags, int fd, off_t offset);
  int (*munmap)(void* address, std::size_t length);
  int (*madvise)(void* address, std::size_t length, int advice);
  // Signals, processes, time.
  int (*sigaction)(int sig, const struct sigaction* action, struct sigaction* old);
  int (*sigaltstack)(const stack_t* stack, stack_t* old);
  int (*setitimer)(int which, const struct itimerval* value, struct itimerval* old);
  int (*kill)(pid_t pid, int sig);
  int (*nanosleep)(const struct timespec* want, struct timespec* left);
  std::time_t (*time)(std::time_t* out);
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
int shm_status(int id, struct shmid_ds& out);  // IPC_STAT

// The file layer. A failed open (other than ENOENT), read (other than
// EBADF), lseek or close is reported on standard output as
// "%s: w32ec=%d at %s:%d\n" with the call, errno, this layer's source name
// and the line.
int file_open(const char* path, int flags, mode_t mode = 0);
ssize_t file_read(int fd, void* buffer, std::size_t count);
// A failed seek sets errno to EBADF after reporting the system's reason.
off_t file_seek(int fd, off_t offset, int whence);
int file_close(int fd);

// Memory for tables that the caller frees with std::free; nullptr with
// errno set when there is none.
void* allocate(std::size_t size);
// Asks for the pages of [address, address + length) to be made present and
// writable now (a hint: 0, or -1 with errno when the system declines).
int populate(void* address, std::size_t length);

// One line "%s: w32ec=%d at %s:%d\n" on standard output.
void report(const char* what, int error, const char* source, int line);

}  // namespace kvf::sys
