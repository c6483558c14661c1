// sys.cpp -- the system-call table, the segment wrappers and the reporting
// file layer.
#include "platform/sys.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace kvf::sys {
namespace {

int real_open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }

constexpr Calls kSystem = {
    .shmget = ::shmget,
    .shmat = ::shmat,
    .shmdt = ::shmdt,
    .shmctl = ::shmctl,
    .open = real_open,
    .read = ::read,
    .write = ::write,
    .pread = ::pread,
    .lseek = ::lseek,
    .ftruncate = ::ftruncate,
    .fsync = ::fsync,
    .fstat = ::fstat,
    .fchmod = ::fchmod,
    .close = ::close,
    .mkstemp = ::mkstemp,
    .stat = ::stat,
    .lstat = ::lstat,
    .access = ::access,
    .rename = ::rename,
    .unlink = ::unlink,
    .mkdir = ::mkdir,
    .rmdir = ::rmdir,
    .chmod = ::chmod,
    .chown = ::chown,
    .opendir = ::opendir,
    .malloc = std::malloc,
    .mmap = ::mmap,
    .munmap = ::munmap,
    .madvise = ::madvise,
    .sigaction = ::sigaction,
    .sigaltstack = ::sigaltstack,
    .setitimer = ::setitimer,
    .kill = ::kill,
    .nanosleep = ::nanosleep,
    .time = ::time,
};

Calls g_calls = kSystem;

// The report lines name this layer's source and a fixed line number for each
// call, the numbers these lines have always carried, so that they stay the
// same as this file changes.
constexpr const char* kSource = "sys";
constexpr int kOpenLine = 63;
constexpr int kReadLine = 75;
constexpr int kSeekLine = 86;
constexpr int kCloseLine = 97;

}  // namespace

Calls& calls() { return g_calls; }
void reset_calls() { g_calls = kSystem; }

void report(const char* what, int error, const char* source, int line) {
  std::printf("%s: w32ec=%d at %s:%d\n", what, error, source, line);
}

int shm_get(key_t key, std::size_t size, int flags) {
  return retry([&] { return g_calls.shmget(key, size, flags); });
}

void* shm_attach(int id, std::uint64_t address, int flags) {
  const void* want = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address));
  void* failed = reinterpret_cast<void*>(-1);
  void* at = retry([&] { return g_calls.shmat(id, want, flags & ~SHM_REMAP); }, failed);
  return at == failed ? nullptr : at;
}

int shm_detach(std::uint64_t address) {
  return g_calls.shmdt(reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address)));
}

int shm_remove(int id) {
  return retry([&] { return g_calls.shmctl(id, IPC_RMID, nullptr); });
}

int shm_status(int id, struct shmid_ds& out) {
  return retry([&] { return g_calls.shmctl(id, IPC_STAT, &out); });
}

int file_open(const char* path, int flags, mode_t mode) {
  int fd = retry([&] { return g_calls.open(path, flags | O_CLOEXEC, mode); });
  if (fd < 0 && errno != ENOENT) {
    int e = errno;
    report("open()", e, kSource, kOpenLine);
    errno = e;
  }
  return fd;
}

ssize_t file_read(int fd, void* buffer, std::size_t count) {
  ssize_t n = retry([&] { return g_calls.read(fd, buffer, count); });
  if (n < 0 && errno != EBADF) {
    int e = errno;
    report("read()", e, kSource, kReadLine);
    errno = e;
  }
  return n;
}

off_t file_seek(int fd, off_t offset, int whence) {
  off_t r = g_calls.lseek(fd, offset, whence);
  if (r < 0) {
    // Reported with the system's reason; the caller sees EBADF, the one code
    // a failed seek gives in this layer whatever the cause.
    report("lseek()", errno, kSource, kSeekLine);
    errno = EBADF;
  }
  return r;
}

int file_close(int fd) {
  // Not repeated on EINTR: Linux has released the descriptor either way.
  int r = g_calls.close(fd);
  if (r < 0) {
    int e = errno;
    report("close()", e, kSource, kCloseLine);
    errno = e;
  }
  return r;
}

void* allocate(std::size_t size) { return g_calls.malloc(size); }

int populate(void* address, std::size_t length) {
#ifdef MADV_POPULATE_WRITE
  return g_calls.madvise(address, length, MADV_POPULATE_WRITE);
#else
  (void)address;
  (void)length;
  errno = EINVAL;
  return -1;
#endif
}

}  // namespace kvf::sys
