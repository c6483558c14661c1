// reaper.cpp -- the clean-up helper. It is forked before its maker maps
// anything; after the fork it uses only system calls and static memory (the
// maker may have had other threads), and it takes none of the signals its
// maker blocks.
#include "sim/reaper.h"

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>

#include <fcntl.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kvf::sim {
namespace {

// Messages to the helper: 's' and a segment id; 'f' and a FileMessage;
// 'x' for a clean end.
struct FileMessage {
  dev_t dev;
  ino_t ino;
  std::uint32_t length;
  char path[PATH_MAX];
};

bool read_full(int fd, void* buffer, std::size_t n) {
  char* p = static_cast<char*>(buffer);
  while (n > 0) {
    ssize_t r = read(fd, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

bool write_full(int fd, const void* buffer, std::size_t n) {
  const char* p = static_cast<const char*>(buffer);
  while (n > 0) {
    ssize_t r = write(fd, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

constexpr int kMaxFiles = 8;
constexpr int kMaxSegments = 8192;

[[noreturn]] void helper(int in, pid_t maker) {
  // Hold no pipe of whoever started the maker: they may wait for its end.
  int null = open("/dev/null", O_RDWR);
  for (int fd = 0; fd < 3; ++fd) dup2(null, fd);
  if (null > 2) close(null);

  static int ids[kMaxSegments];
  static FileMessage files[kMaxFiles];
  int nids = 0, nfiles = 0;
  for (;;) {
    char tag = 0;
    if (!read_full(in, &tag, 1)) break;  // the maker is gone
    if (tag == 'x') _exit(0);
    if (tag == 's') {
      int id;
      if (!read_full(in, &id, sizeof id)) break;
      if (nids < kMaxSegments) ids[nids++] = id;
      continue;
    }
    FileMessage m;
    if (tag != 'f' || !read_full(in, &m, offsetof(FileMessage, path)) || m.length >= PATH_MAX ||
        !read_full(in, m.path, m.length))
      break;
    m.path[m.length] = '\0';
    if (nfiles < kMaxFiles) files[nfiles++] = m;
  }
  for (int i = 0; i < nids; ++i) {
    shmid_ds ds{};
    if (shmctl(ids[i], IPC_STAT, &ds) == 0 && ds.shm_cpid == maker) shmctl(ids[i], IPC_RMID, nullptr);
  }
  for (int i = 0; i < nfiles; ++i) {
    struct stat st;
    if (lstat(files[i].path, &st) == 0 && st.st_dev == files[i].dev && st.st_ino == files[i].ino)
      unlink(files[i].path);
  }
  _exit(0);
}

}  // namespace

bool identify_file(const std::string& path, FileIdentity& out) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return false;
  out = {path, st.st_dev, st.st_ino};
  return true;
}

bool remove_file_if_same(const FileIdentity& file) {
  struct stat st;
  if (lstat(file.path.c_str(), &st) != 0 || st.st_dev != file.dev || st.st_ino != file.ino) return true;
  return unlink(file.path.c_str()) == 0;
}

bool Reaper::start() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  const pid_t maker = getpid();
  pid_t pid = fork();
  if (pid < 0) {
    int e = errno;
    close(fds[0]);
    close(fds[1]);
    errno = e;
    return false;
  }
  if (pid == 0) {
    close(fds[1]);
    helper(fds[0], maker);
  }
  close(fds[0]);
  pid_ = pid;
  pipe_ = fds[1];
  return true;
}

bool Reaper::watch_segment(int id) {
  if (pid_ < 0) return false;
  char m[1 + sizeof id] = {'s'};
  std::memcpy(m + 1, &id, sizeof id);
  return write_full(pipe_, m, sizeof m);
}

bool Reaper::also_remove(const FileIdentity& file) {
  if (pid_ < 0 || file.path.size() >= PATH_MAX) return false;
  static FileMessage m;  // large; one sender at a time
  std::memset(&m, 0, offsetof(FileMessage, path));
  m.dev = file.dev;
  m.ino = file.ino;
  m.length = static_cast<std::uint32_t>(file.path.size());
  std::memcpy(m.path, file.path.data(), file.path.size());
  char tag = 'f';
  return write_full(pipe_, &tag, 1) && write_full(pipe_, &m, offsetof(FileMessage, path) + m.length);
}

void Reaper::dismiss() {
  if (pid_ < 0) return;
  char c = 'x';
  write_full(pipe_, &c, 1);
  close(pipe_);
  while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  pipe_ = -1;
}

}  // namespace kvf::sim
