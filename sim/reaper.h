// reaper.h -- a helper process that removes segments (and a file) when the
// process that made them dies without doing it itself (SIGKILL, a crash, a
// test that aborts). It waits on a pipe: 'x' means "clean end, nothing to
// do", the end of the pipe without it means the maker is gone.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kvf::sim {

// A file as it was when we wrote it: removed later only while the same
// file is there (a newer server of the same name renames its own over it).
struct FileIdentity {
  std::string path;
  dev_t dev = 0;
  ino_t ino = 0;
};
bool identify_file(const std::string& path, FileIdentity& out);
// Removes the file when it is still the one identified. False only when it
// should have been removed and could not be.
bool remove_file_if_same(const FileIdentity& file);

class Reaper {
 public:
  Reaper() = default;
  Reaper(const Reaper&) = delete;
  Reaper& operator=(const Reaper&) = delete;
  ~Reaper() { dismiss(); }

  // Forks the helper; it holds no mapping of ours. Returns false with errno.
  bool start();
  // Segment `id` is removed should we die (when this process created it).
  bool watch_segment(int id);
  // So is this file, while it is still the same file.
  bool also_remove(const FileIdentity& file);
  // A clean end: the helper leaves without touching anything.
  void dismiss();

 private:
  pid_t pid_ = -1;
  int pipe_ = -1;  // our end
};

}  // namespace kvf::sim
