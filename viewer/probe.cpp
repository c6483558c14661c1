// probe.cpp -- the server's process id from the image and the liveness test.
#include "viewer/probe.h"

#include "layouts/field.h"
#include "layouts/shmcb_layout.h"
#include "shm/image.h"
#include "startup/signals.h"

namespace kvf {

std::int32_t server_pid() {
  std::uint64_t root = root_pointer();
  if (root == 0 || !image_contains(root, root::kServerRecord + 8)) return 0;
  std::uint64_t server = load<std::uint64_t>(address(root), root::kServerRecord);
  if (server == 0 || !image_contains(server, server_record::kUsedSize)) return 0;
  return static_cast<std::int32_t>(load<std::uint32_t>(address(server), server_record::kPid));
}

// The signal layer's liveness test: posting signal 0 fails only when the
// process is gone (a process we may not signal still exists).
bool process_alive(std::int32_t pid) {
  if (pid <= 0) return false;
  return post_signal(pid, 0) == 0;
}

}  // namespace kvf
