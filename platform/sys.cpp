// sys.cpp -- the system-call table and its EINTR-repeating wrappers.
#include "platform/sys.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <sys/shm.h>
#include <unistd.h>

namespace kvf::sys {
namespace {

int real_open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }

constexpr Calls kSystem = {::shmget, ::shmat, ::shmdt, ::shmctl, real_open, ::read, ::lseek, ::close, std::malloc};

Calls g_calls = kSystem;
constexpr const char* kSource = "sys";

}  // namespace

Calls& calls() { return g_calls; }
void reset_calls() { g_calls = kSystem; }

void report(const char* what, int error, const char* source, int line) {
  std::printf("%s: w32ec=%d at %s:%d\n", what, error, source, line);
}

int shm_get(key_t key, std::size_t size, int flags) {
  int id;
  do id = g_calls.shmget(key, size, flags);
  while (id < 0 && errno == EINTR);
  return id;
}

void* shm_attach(int id, std::uint64_t address, int flags) {
  const void* want = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address));
  void* at;
  do at = g_calls.shmat(id, want, flags & ~SHM_REMAP);
  while (at == reinterpret_cast<void*>(-1) && errno == EINTR);
  return at == reinterpret_cast<void*>(-1) ? nullptr : at;
}

int shm_detach(std::uint64_t address) {
  return g_calls.shmdt(reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address)));
}

int shm_remove(int id) {
  int r;
  do r = g_calls.shmctl(id, IPC_RMID, nullptr);
  while (r < 0 && errno == EINTR);
  return r;
}

int file_open(const char* path, int flags, mode_t mode) {
  int fd;
  do fd = g_calls.open(path, flags | O_CLOEXEC, mode);
  while (fd < 0 && errno == EINTR);
  if (fd < 0 && errno != ENOENT) {
    int e = errno;
    report("open()", e, kSource, __LINE__);
    errno = e;
  }
  return fd;
}

ssize_t file_read(int fd, void* buffer, std::size_t count) {
  ssize_t n;
  do n = g_calls.read(fd, buffer, count);
  while (n < 0 && errno == EINTR);
  if (n < 0 && errno != EBADF) {
    int e = errno;
    report("read()", e, kSource, __LINE__);
    errno = e;
  }
  return n;
}

off_t file_seek(int fd, off_t offset, int whence) {
  off_t r = g_calls.lseek(fd, offset, whence);
  if (r < 0) {
    // Reported with the system's reason; the caller sees EBADF, the one code
    // a failed seek gives in this layer whatever the cause.
    report("lseek()", errno, kSource, __LINE__);
    errno = EBADF;
  }
  return r;
}

int file_close(int fd) {
  // Not repeated on EINTR: Linux has released the descriptor either way.
  int r = g_calls.close(fd);
  if (r < 0) {
    int e = errno;
    report("close()", e, kSource, __LINE__);
    errno = e;
  }
  return r;
}

void* allocate(std::size_t size) { return g_calls.malloc(size); }

}  // namespace kvf::sys
