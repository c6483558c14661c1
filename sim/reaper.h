// reaper.h -- a helper process that removes the server's segments and
// information file when the server dies without doing it itself (SIGKILL,
// a crash). It waits on a pipe: a byte means "clean end, nothing to do",
// the end of the pipe without one means the server is gone.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kvf::sim {

// Removes the file at `path` when it still holds exactly `content` (a newer
// server of the same name may have written its own since). False when it
// should have been removed and could not be.
bool remove_file_if_ours(const std::string& path, const std::string& content);

class Reaper {
 public:
  // Forks the helper. Call it while the process has one thread. `mapped` are
  // our attachments, which the helper drops at once; `ids` the segments it
  // removes (only those this process created) when we die.
  bool start(const std::vector<int>& ids, const std::vector<std::uint64_t>& mapped, const std::string& info_path,
             const std::string& info_content);
  // A clean end: the helper leaves without touching anything.
  void dismiss();
  ~Reaper() { dismiss(); }

 private:
  pid_t pid_ = -1;
  int pipe_ = -1;  // our end
};

}  // namespace kvf::sim
