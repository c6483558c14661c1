// raw.h -- plain system calls for the two places where nothing else may run:
// signal handlers, and a child process between fork and its exit (the tool
// may have had other threads, whose locks the child inherits held).
//
// Each function is one async-signal-safe system call (repeated on EINTR
// where it blocks): no allocation, no stdio, and not the table of sys.h,
// whose entries a test may have replaced with code that is neither. Nothing
// here can be made to fail by a test; everything else uses sys.h.
#pragma once

#include <cerrno>
#include <csignal>
#include <cstddef>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/retry.h"

namespace kvf::sys::raw {

inline int open(const char* path, int flags) {
  return retry([&] { return ::open(path, flags | O_CLOEXEC); });
}
inline ssize_t write(int fd, const void* buffer, std::size_t count) {
  return retry([&] { return ::write(fd, buffer, count); });
}
inline int close(int fd) { return ::close(fd); }
inline int dup_to(int fd, int target) { return ::dup2(fd, target); }

// Segments: shmctl with IPC_RMID, IPC_STAT, SHM_STAT (by index in the
// system's table) and SHM_INFO.
inline int shm_remove(int id) {
  return retry([&] { return ::shmctl(id, IPC_RMID, nullptr); });
}
inline int shm_status(int id, shmid_ds& out) { return ::shmctl(id, IPC_STAT, &out); }
inline int shm_status_at(int index, shmid_ds& out) { return ::shmctl(index, SHM_STAT, &out); }
// The highest index in use in the system's segment table, or -1.
inline int shm_highest_index() {
  shm_info info{};
  return ::shmctl(0, SHM_INFO, reinterpret_cast<shmid_ds*>(&info));
}

// Anonymous private memory, or MAP_FAILED.
inline void* map_memory(std::size_t bytes) {
  return ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
}

// A connected pair of sequenced-packet sockets (close-on-exec).
inline int socket_pair(int fds[2]) { return ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds); }
// One packet; a closed peer gives an error (EPIPE), not SIGPIPE.
inline ssize_t send(int fd, const void* buffer, std::size_t count) {
  return retry([&] { return ::send(fd, buffer, count, MSG_NOSIGNAL); });
}
// One packet; 0 when the peer has closed.
inline ssize_t receive(int fd, void* buffer, std::size_t count) {
  return retry([&] { return ::recv(fd, buffer, count, 0); });
}

inline pid_t fork() { return ::fork(); }
inline pid_t process_id() { return ::getpid(); }
[[noreturn]] inline void exit_now(int status) { ::_exit(status); }

inline void ignore_signal(int sig) { ::signal(sig, SIG_IGN); }
// Puts back the system's action for `sig` and raises it: from a handler,
// the signal (blocked while the handler runs) then takes effect as soon as
// the handler returns.
inline void raise_with_default_action(int sig) {
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

}  // namespace kvf::sys::raw
