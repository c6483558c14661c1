// reaper.cpp -- the clean-up helper of the stand-in server. It holds no
// mapping and takes no signal that the server blocks, so that only SIGKILL
// of the helper itself can keep it from its work.
#include "sim/reaper.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kvf::sim {

bool remove_file_if_ours(const std::string& path, const std::string& content) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return true;
  std::string now(content.size() + 1, '\0');
  std::size_t got = 0;
  for (;;) {
    ssize_t n = read(fd, now.data() + got, now.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
    if (got == now.size()) break;
  }
  close(fd);
  if (got != content.size() || now.compare(0, got, content) != 0) return true;
  return unlink(path.c_str()) == 0;
}

bool Reaper::start(const std::vector<int>& ids, const std::vector<std::uint64_t>& mapped, const std::string& info_path,
                   const std::string& info_content) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  const pid_t server = getpid();
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  if (pid == 0) {
    close(fds[1]);
    for (std::uint64_t a : mapped) shmdt(reinterpret_cast<void*>(static_cast<std::uintptr_t>(a)));
    // Keep no pipe of whoever started the server open: they may wait for
    // its end of file.
    int null = open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3; ++fd) dup2(null, fd);
    if (null > 2) close(null);
    char c = 0;
    ssize_t n;
    do n = read(fds[0], &c, 1);
    while (n < 0 && errno == EINTR);
    if (n == 1) _exit(0);  // dismissed
    for (int id : ids) {
      shmid_ds ds{};
      if (shmctl(id, IPC_STAT, &ds) == 0 && ds.shm_cpid == server) shmctl(id, IPC_RMID, nullptr);
    }
    remove_file_if_ours(info_path, info_content);
    _exit(0);
  }
  close(fds[0]);
  pid_ = pid;
  pipe_ = fds[1];
  return true;
}

void Reaper::dismiss() {
  if (pid_ < 0) return;
  char c = 'x';
  while (write(pipe_, &c, 1) < 0 && errno == EINTR) {
  }
  close(pipe_);
  while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  pipe_ = -1;
}

}  // namespace kvf::sim
