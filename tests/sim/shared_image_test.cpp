// Images in real segments: whatever way their maker ends, the segments and
// its information file go, and a newer server's file stays.
#include "sim/shared_image.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include <signal.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/process.h"

namespace {

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

bool segment_exists(int id) {
  shmid_ds ds{};
  return shmctl(id, IPC_STAT, &ds) == 0;
}

TEST(SharedImage, AKilledMakerLeavesNothingButANewerFile) {
  test::TempDir dir;
  const std::string ours = dir.file(".infos.a"), replaced = dir.file(".infos.b");
  int ids_pipe[2];
  ASSERT_EQ(pipe(ids_pipe), 0);
  pid_t maker = fork();
  ASSERT_GE(maker, 0);
  if (maker == 0) {
    kvf::sim::SharedImage image({.segments = 2, .pieces = 2, .continuation = true});
    bool ok = image.write_info_file(ours) && image.write_info_file(replaced);
    test::write_file(replaced + ".newer", "newer server");
    ok = ok && rename((replaced + ".newer").c_str(), replaced.c_str()) == 0;
    std::vector<int> ids = image.ids();
    if (!ok) ids.clear();
    write(ids_pipe[1], ids.data(), ids.size() * sizeof(int));
    kill(getpid(), SIGKILL);
  }
  close(ids_pipe[1]);
  std::vector<int> ids(64);
  ssize_t n = read(ids_pipe[0], ids.data(), ids.size() * sizeof(int));
  close(ids_pipe[0]);
  int raw = 0;
  waitpid(maker, &raw, 0);
  ASSERT_TRUE(WIFSIGNALED(raw));
  ids.resize(n > 0 ? static_cast<std::size_t>(n) / sizeof(int) : 0);
  ASSERT_EQ(ids.size(), 3u + 2u);  // first span 2 pieces + continuation, 2 pieces

  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  auto any_left = [&] {
    for (int id : ids)
      if (segment_exists(id)) return true;
    return exists(ours);
  };
  while (any_left() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  for (int id : ids) {
    EXPECT_FALSE(segment_exists(id)) << id;
    if (segment_exists(id)) shmctl(id, IPC_RMID, nullptr);
  }
  EXPECT_FALSE(exists(ours));
  EXPECT_EQ(test::read_file(replaced), "newer server");
}

}  // namespace
