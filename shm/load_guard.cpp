// load_guard.cpp -- the dump reader marks each segment for removal right
// after attaching it, so that the end of the process removes it, however the
// process ends. Between shmget and that mark there is a window: a SIGKILL
// there leaves a segment with no attachment and no mark, for ever. This
// helper closes the window. It is forked before the first segment of the
// first load (so it holds no mapping of the dump), holds the read end of a
// pipe whose write end only this process has, and when the pipe ends (this
// process is gone) it removes every segment created by this process that
// has no attachment. After the fork it uses only system calls, since the
// tool's process may have had other threads (tests, the fuzzer).
#include "shm/load_guard.h"

#include <cerrno>
#include <csignal>
#include <initializer_list>

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

namespace kvf {
namespace {

[[noreturn]] void guard(int in, pid_t maker) {
  // Hold no descriptor of whoever started the tool (they may wait for the
  // end of its output), and outlive a terminal's signals to the tool's
  // process group: the clean-up must still run after them.
  int null = open("/dev/null", O_RDWR);
  for (int fd = 0; fd < 3; ++fd) dup2(null, fd);
  for (int fd = 3; fd < 1024; ++fd)
    if (fd != in) close(fd);
  for (int sig : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) signal(sig, SIG_IGN);

  char byte;
  for (;;) {
    ssize_t r = read(in, &byte, 1);
    if (r == 0 || (r < 0 && errno != EINTR)) break;
  }
  // Every segment of the system, by index, up to the highest in use.
  shm_info info{};
  int highest = shmctl(0, SHM_INFO, reinterpret_cast<shmid_ds*>(&info));
  for (int index = 0; index <= highest; ++index) {
    shmid_ds ds{};
    int id = shmctl(index, SHM_STAT, &ds);
    if (id >= 0 && ds.shm_cpid == maker && ds.shm_nattch == 0) shmctl(id, IPC_RMID, nullptr);
  }
  _exit(0);
}

bool g_started = false;

}  // namespace

bool start_load_guard() {
  if (g_started) return true;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  pid_t maker = getpid();
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  if (pid == 0) {
    close(fds[1]);
    guard(fds[0], maker);
  }
  // Our end stays open, unused, until this process ends.
  close(fds[0]);
  g_started = true;
  return true;
}

}  // namespace kvf
