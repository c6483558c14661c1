// files.cpp -- the quiet file calls, whole-file reads and listings, the tree
// removal, and the atomic file replacement; all through the table.
#include "platform/files.h"

#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/sys.h"

namespace kvf::sys {
namespace {

// The directory part of `path` ("." when it has none), for syncing the
// directory entry of a rename.
std::string directory_of(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Makes the directory entry durable; a failure changes nothing for the
// caller, whose rename is done either way.
void sync_directory(const std::string& dir) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return;
  sync(fd);
  close(fd);
}

}  // namespace

int open(const char* path, int flags, mode_t mode) {
  return retry([&] { return calls().open(path, flags | O_CLOEXEC, mode); });
}
ssize_t read(int fd, void* buffer, std::size_t count) {
  return retry([&] { return calls().read(fd, buffer, count); });
}
ssize_t pread(int fd, void* buffer, std::size_t count, off_t offset) {
  return retry([&] { return calls().pread(fd, buffer, count, offset); });
}
off_t seek(int fd, off_t offset, int whence) {
  return retry([&] { return calls().lseek(fd, offset, whence); });
}
int truncate(int fd, off_t length) {
  return retry([&] { return calls().ftruncate(fd, length); });
}
int sync(int fd) {
  return retry([&] { return calls().fsync(fd); });
}
int close(int fd) { return calls().close(fd); }
int status(int fd, struct stat& out) {
  return retry([&] { return calls().fstat(fd, &out); });
}
int status(const char* path, struct stat& out) {
  return retry([&] { return calls().stat(path, &out); });
}
int link_status(const char* path, struct stat& out) {
  return retry([&] { return calls().lstat(path, &out); });
}
int access(const char* path, int mode) {
  return retry([&] { return calls().access(path, mode); });
}
int rename(const char* from, const char* to) {
  return retry([&] { return calls().rename(from, to); });
}
int unlink(const char* path) {
  return retry([&] { return calls().unlink(path); });
}
int make_dir(const char* path, mode_t mode) {
  return retry([&] { return calls().mkdir(path, mode); });
}
int remove_dir(const char* path) {
  return retry([&] { return calls().rmdir(path); });
}
int change_mode(const char* path, mode_t mode) {
  return retry([&] { return calls().chmod(path, mode); });
}
int change_owner(const char* path, uid_t owner, gid_t group) {
  return retry([&] { return calls().chown(path, owner, group); });
}
int grow_pipe(int fd, int bytes) {
  int size = ::fcntl(fd, F_GETPIPE_SZ);
  if (size < 0 || size >= bytes) return size;
  int grown = ::fcntl(fd, F_SETPIPE_SZ, bytes);
  return grown < 0 ? size : grown;
}

ssize_t read_full(int fd, void* buffer, std::size_t count) {
  std::size_t got = 0;
  while (got < count) {
    ssize_t n = read(fd, static_cast<char*>(buffer) + got, count - got);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

int write_all(int fd, const void* buffer, std::size_t count, const volatile std::sig_atomic_t* stop) {
  const char* p = static_cast<const char*>(buffer);
  while (count > 0) {
    // Not `retry`: a stop request must be seen between an interrupted
    // write and the next one.
    if (stop && *stop) return EINTR;
    ssize_t done = calls().write(fd, p, count);
    if (done < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (done == 0) return EIO;
    p += done;
    count -= static_cast<std::size_t>(done);
  }
  return 0;
}

int read_file(const char* path, std::string& out) {
  int fd = open(path, O_RDONLY);
  if (fd < 0) return errno;
  out.clear();
  char buffer[4096];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0) {
      int e = errno;
      close(fd);
      return e;
    }
    if (n == 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  return 0;
}

int list_dir(const char* path, std::vector<std::string>& names) {
  DIR* dir = retry([&] { return calls().opendir(path); }, static_cast<DIR*>(nullptr));
  if (!dir) return errno;
  names.clear();
  // readdir reads what opendir opened; only the opening can be refused.
  while (const struct dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    names.emplace_back(entry->d_name);
  }
  ::closedir(dir);
  return 0;
}

int remove_tree(const char* path) {
  struct stat st;
  if (link_status(path, st) != 0) return errno == ENOENT ? 0 : errno;
  if (!S_ISDIR(st.st_mode)) return unlink(path) == 0 || errno == ENOENT ? 0 : errno;
  std::vector<std::string> names;
  if (int e = list_dir(path, names); e != 0) return e;
  for (const std::string& name : names)
    if (int e = remove_tree((std::string(path) + "/" + name).c_str()); e != 0) return e;
  return remove_dir(path) == 0 || errno == ENOENT ? 0 : errno;
}

int replace_file(const char* path, Replacement& how, Fill fill, void* context) {
  constexpr char kUnique[] = "XXXXXX";
  const std::string& temp_name = how.temp;
  bool unique = temp_name.size() >= 6 && temp_name.compare(temp_name.size() - 6, 6, kUnique) == 0;
  int fd;
  if (unique) {
    // mkstemp fills in the name, which the caller then finds in how.temp.
    std::string made = temp_name;
    fd = retry([&] { return calls().mkstemp(made.data()); });
    if (fd >= 0) how.temp = made;
  } else {
    fd = open(temp_name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  }
  if (fd < 0) {
    how.failed = ReplaceStep::create;
    return errno;
  }
  auto fail = [&](ReplaceStep step, int code) {
    close(fd);
    unlink(how.temp.c_str());
    how.failed = step;
    return code;
  };
  if (how.mode >= 0) retry([&] { return calls().fchmod(fd, static_cast<mode_t>(how.mode)); });
  if (int code = fill(fd, context); code != 0) return fail(ReplaceStep::write, code);
  // A full disk or an I/O error may only show when the data reaches it.
  if (sync(fd) != 0) return fail(ReplaceStep::sync, errno);
  if (close(fd) != 0) {
    int code = errno;
    unlink(how.temp.c_str());
    how.failed = ReplaceStep::close;
    return code;
  }
  if (rename(how.temp.c_str(), path) != 0) {
    int code = errno;
    unlink(how.temp.c_str());
    how.failed = ReplaceStep::rename;
    return code;
  }
  if (how.sync_directory) sync_directory(directory_of(path));
  return 0;
}

int replace_file(const char* path, Replacement& how, const void* bytes, std::size_t size) {
  return replace_file(path, how, [&](int fd) { return write_all(fd, bytes, size); });
}

}  // namespace kvf::sys
