// files.h -- quiet file calls through the table of sys.h, the whole-file
// helpers built on them, and the one way a file is replaced: a temporary
// file beside it, synced, renamed over it.
//
// Unlike the file layer of sys.h these report nothing: each returns what the
// system returns (-1 with errno) or, where it says so, 0 or an errno value,
// and leaves the words to its caller. Every call but close is repeated while
// it fails with EINTR.
#pragma once

#include <csignal>
#include <cstddef>
#include <string>
#include <type_traits>
#include <vector>

#include <sys/types.h>

struct stat;

namespace kvf::sys {

// One call each. open adds O_CLOEXEC.
int open(const char* path, int flags, mode_t mode = 0);
ssize_t read(int fd, void* buffer, std::size_t count);
ssize_t pread(int fd, void* buffer, std::size_t count, off_t offset);
off_t seek(int fd, off_t offset, int whence);
int truncate(int fd, off_t length);
int sync(int fd);
int close(int fd);  // not repeated: Linux has released the descriptor either way
int status(int fd, struct stat& out);
int status(const char* path, struct stat& out);
int link_status(const char* path, struct stat& out);  // the link itself, not what it names
int access(const char* path, int mode);
int rename(const char* from, const char* to);
int unlink(const char* path);
int make_dir(const char* path, mode_t mode);
int remove_dir(const char* path);
int change_mode(const char* path, mode_t mode);
int change_owner(const char* path, uid_t owner, gid_t group);
// When `fd` is a pipe of less than `bytes`, asks the system to make it that
// large (it may refuse: a user's pipes have a limit); a pipe is never made
// smaller. The pipe's size after the call, or -1 when `fd` is no pipe.
int grow_pipe(int fd, int bytes);

// Reads until `count` bytes are in: the count read, fewer when the file
// ends first or a read fails (errno then says why).
ssize_t read_full(int fd, void* buffer, std::size_t count);
// Writes all `count` bytes: 0, or the errno value (EIO when a write takes
// nothing). When `stop` is given and set, the next write is not made and
// the result is EINTR, so that a signal handler can cut a long write short.
int write_all(int fd, const void* buffer, std::size_t count, const volatile std::sig_atomic_t* stop = nullptr);

// The whole content of a file: 0 or the errno value.
int read_file(const char* path, std::string& out);
// The names in a directory other than "." and "..", in the order the system
// gives them: 0 or the errno value.
int list_dir(const char* path, std::vector<std::string>& names);
// Removes a file, or a directory with everything below it (a symbolic link
// is removed, never followed): 0 (also when nothing is there) or the errno
// value of the first removal that failed.
int remove_tree(const char* path);

// Replacing a file as one step: readers see the old content or the new,
// never a mix, and a failure leaves the old content and no temporary file.
enum class ReplaceStep { create, write, sync, close, rename };

struct Replacement {
  // The temporary file, in the target's directory. A name ending in
  // "XXXXXX" is made unique (mode 0600), and how.temp then holds the name
  // made; any other is created or emptied (mode 0666 less the umask).
  std::string temp;
  int mode = -1;                // when >= 0, the new file gets this mode
  bool sync_directory = false;  // also sync the directory after the rename
  ReplaceStep failed = ReplaceStep::create;  // the step that failed, on failure
};

// Writes the new content with `fill` (0, or an errno value that ends the
// replacement), syncs it and renames it over `path`. 0, or the errno value
// of the step named in `how.failed`.
using Fill = int (*)(int fd, void* context);
int replace_file(const char* path, Replacement& how, Fill fill, void* context);
// The new content given as bytes.
int replace_file(const char* path, Replacement& how, const void* bytes, std::size_t size);
// The new content written by a callable `fill(fd)`.
template <typename F>
  requires std::is_invocable_r_v<int, F&, int>
int replace_file(const char* path, Replacement& how, F&& fill) {
  using Callable = std::remove_reference_t<F>;
  return replace_file(
      path, how, [](int fd, void* context) { return (*static_cast<Callable*>(context))(fd); },
      const_cast<void*>(static_cast<const void*>(&fill)));
}

}  // namespace kvf::sys
