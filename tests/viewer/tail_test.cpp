// tail_test.cpp -- the tail walk in a child process while this test plays
// the server: new, incomplete, replaced, shrunk and dropped rings, no repeats
// on a quiet ring, and status 0 once the server process is gone.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "kavrex/control_block_layout.h"
#include "shm/field.h"
#include "test_image.h"
#include "viewer/output.h"
#include "viewer/reader.h"
#include "viewer/view.h"

namespace {

using viewer_test::Record;
using viewer_test::TestImage;

constexpr char kHeader[] = "File       Line session \n";

std::string line(int i) {
  std::string f = "f" + std::to_string(i), n = std::to_string(i);
  return f + std::string(10 - f.size(), ' ') + " " + n + std::string(4 - n.size(), ' ') + " 0       \n";
}

std::string gone(pid_t pid) { return "The server process " + std::to_string(pid) + " is gone!\n"; }

// A process that stands for the server: alive until killed, then reaped at
// once so that no zombie keeps its id.
class Server {
 public:
  Server() {
    pid_ = fork();
    if (pid_ == 0) {
      for (;;) pause();
    }
  }
  ~Server() { stop(); }
  void stop() {
    if (pid_ <= 0 || stopped_) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    stopped_ = true;
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_;
  bool stopped_ = false;
};

class Tail : public ::testing::Test {
 protected:
  void SetUp() override {
    kvf::reader_state() = kvf::ReaderState{};
    out_ = memfd_create("tail-output", 0);
    ASSERT_GE(out_, 0);
  }
  void TearDown() override {
    if (viewer_ > 0 && !reaped_) {
      kill(viewer_, SIGKILL);
      waitpid(viewer_, nullptr, 0);
    }
    close(out_);
  }

  void start() {
    viewer_ = fork();
    if (viewer_ == 0) {
      kvf::out::set_fd(out_);
      kvf::set_view_exit([](int status) { _exit(status); });
      kvf::kvf_view(false, false, true);
      _exit(99);  // a tail walk never returns
    }
  }
  std::string output() const {
    std::string s;
    char buf[4096];
    for (off_t at = 0;;) {
      ssize_t n = pread(out_, buf, sizeof buf, at);
      if (n <= 0) return s;
      s.append(buf, static_cast<std::size_t>(n));
      at += n;
    }
  }
  // Waits until the output is exactly `want`.
  ::testing::AssertionResult shows(const std::string& want) {
    for (int i = 0; i < 1000; ++i) {
      if (output() == want) return ::testing::AssertionSuccess();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return ::testing::AssertionFailure() << "output is\n" << output() << "\nnot\n" << want;
  }
  int status() {
    int raw = 0;
    for (int i = 0; i < 1000; ++i) {
      if (waitpid(viewer_, &raw, WNOHANG) == viewer_) {
        reaped_ = true;
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

  TestImage image;
  int out_ = -1;
  pid_t viewer_ = -1;
  bool reaped_ = false;
};

TEST_F(Tail, DumpOfAServerThatIsGone) {
  Server server;
  server.stop();
  image.set_server_pid(static_cast<std::uint32_t>(server.pid()));
  image.make_ring(100);
  image.set_indexes(3, 0);
  for (int i = 0; i < 3; ++i) image.fill(i);
  start();
  EXPECT_EQ(status(), 0);
  EXPECT_EQ(output(), kHeader + line(0) + line(1) + line(2) + gone(server.pid()));
}

TEST_F(Tail, FollowsTheServerUntilItIsGone) {
  Server server;
  image.set_server_pid(static_cast<std::uint32_t>(server.pid()));
  image.make_ring(10);
  image.set_indexes(2, 0);
  for (int i = 0; i < 2; ++i) image.fill(i);
  start();
  std::string want = kHeader + line(0) + line(1);
  ASSERT_TRUE(shows(want));

  // A new record, then one whose slot is announced before it is complete.
  image.fill(2);
  image.set_indexes(3, 0);
  ASSERT_TRUE(shows(want += line(2)));
  image.write(3, Record{});
  image.set_indexes(4, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(output(), want);
  image.fill(3);
  ASSERT_TRUE(shows(want += line(3)));

  // The server replaces its ring: the walk starts on the new one, no header.
  image.make_ring(50);
  for (int i = 0; i < 50; ++i) image.fill(i);
  image.set_indexes(2, 0);
  ASSERT_TRUE(shows(want += line(0) + line(1)));

  // It drops its ring: the walk waits for one and starts on the next.
  image.set_ring(0, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  image.make_ring(10);
  image.fill(0, 9);
  image.set_indexes(1, 0);
  ASSERT_TRUE(shows(want += line(0)));

  server.stop();
  EXPECT_EQ(status(), 0);
  EXPECT_EQ(output(), want + gone(server.pid()));
}

TEST_F(Tail, ShrunkRingRestartsAtTheStartRule) {
  Server server;
  image.set_server_pid(static_cast<std::uint32_t>(server.pid()));
  image.make_ring(50);
  for (int i = 0; i < 50; ++i) image.fill(i);
  image.set_indexes(25, 0);  // calm: more than a window before the end
  start();
  std::string want = kHeader;
  for (int i = 0; i < 25; ++i) want += line(i);
  ASSERT_TRUE(shows(want));
  // Same ring, now 10 slots and wrapped: the walk in hand (at 25) is past
  // the end, so it starts again 5 past tail (window 5) and stops at head.
  kvf::store<std::int32_t>(image.control_block(), kvf::control::kRingSize, 10);
  image.set_indexes(5, 6);
  ASSERT_TRUE(shows(want += line(1) + line(2) + line(3) + line(4)));
  server.stop();
  EXPECT_EQ(status(), 0);
}

TEST_F(Tail, QuietRingIsNotRepeatedAfterAMaximumSkip) {
  Server server;
  image.set_server_pid(static_cast<std::uint32_t>(server.pid()));
  image.make_ring(20);
  image.set_indexes(5, 0);
  for (int i = 0; i < 20; ++i) image.fill(i);
  start();
  std::string want = kHeader + line(0) + "possible buffer overrun, max skip ahead reached\n";
  ASSERT_TRUE(shows(want));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(output(), want);
  // Once the ring moves, the walk goes on at the skip target (slot 0 again);
  // every step is still too close to tail, so each lands 20 past tail, and
  // slot 1 is then not repeated either.
  image.set_indexes(6, 1);
  const std::string max = "possible buffer overrun, max skip ahead reached\n";
  ASSERT_TRUE(shows(want += line(0) + max + line(1) + max));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(output(), want);
  server.stop();
  EXPECT_EQ(status(), 0);
}

TEST_F(Tail, ServerIdZeroNamesNoProcess) {
  image.make_ring(10);
  start();
  EXPECT_EQ(status(), 0);
  EXPECT_EQ(output(), kHeader + gone(0));
}

}  // namespace
