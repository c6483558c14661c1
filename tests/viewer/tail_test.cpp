// tail_test.cpp -- the tail walk in a child process while this test plays
// the server: new, incomplete, replaced, shrunk and dropped rings, no repeats
// on a quiet ring, and status 0 once the server process is gone; and the
// events the tail walk reports to its sink.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "layouts/control_block_layout.h"
#include "layouts/field.h"
#include "support/process.h"
#include "test_image.h"
#include "viewer/output.h"
#include "viewer/reader.h"
#include "viewer/view.h"
#include "viewer/walk.h"

namespace {

using viewer_test::Events;
using viewer_test::kHeader;
using viewer_test::line;
using viewer_test::lines;
using viewer_test::Record;
using viewer_test::TestImage;
using namespace std::chrono_literals;

std::string gone(pid_t pid) { return "The server process " + std::to_string(pid) + " is gone!\n"; }

// A process that stands for the server: alive until stopped, then reaped at
// once so that no zombie keeps its id.
struct Server {
  pid_t pid = fork();
  bool stopped = false;
  Server() {
    if (pid == 0) for (;;) pause();
  }
  ~Server() { stop(); }
  void stop() {
    if (pid > 0 && !stopped) kill(pid, SIGKILL), waitpid(pid, nullptr, 0), stopped = true;
  }
};

class Tail : public ::testing::Test {
 protected:
  void SetUp() override {
    kvf::reader_state() = kvf::ReaderState{};
    out_ = memfd_create("tail-output", 0);
    ASSERT_GE(out_, 0);
    image.set_server_pid(static_cast<std::uint32_t>(server.pid));
  }
  void TearDown() override {
    if (viewer_ > 0 && !reaped_) {
      kill(viewer_, SIGKILL);
      waitpid(viewer_, nullptr, 0);
    }
    close(out_);
  }
  void ring(std::int32_t size, std::uint32_t head, std::uint32_t tail) { image.ring(size, head, tail); }
  // The view, or with `events` a walk whose sink writes its events out.
  void start(bool events = false) {
    viewer_ = fork();
    if (viewer_ == 0) {
      kvf::out::set_fd(out_);
      kvf::set_walk_exit([](int status) { _exit(status); });
      if (events) {
        Events sink(out_);
        kvf::walk_tail(sink.sink());
      }
      kvf::kvf_view(false, false, true);
      _exit(99);  // a tail walk never returns
    }
  }
  std::string output() const { return viewer_test::read_all(out_); }
  // Waits until the output is exactly `want`.
  ::testing::AssertionResult shows(const std::string& want) {
    if (test::eventually([&] { return output() == want; })) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "output is\n" << output() << "\nnot\n" << want;
  }
  // Stays `want` for a while.
  void stays(const std::string& want) {
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(output(), want);
  }
  int status() {
    int raw = 0;
    if (!test::eventually([&] { return waitpid(viewer_, &raw, WNOHANG) == viewer_; })) return -1;
    reaped_ = true;
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  }

  Server server;
  TestImage image;
  int out_ = -1;
  pid_t viewer_ = -1;
  bool reaped_ = false;
};

TEST_F(Tail, DumpOfAServerThatIsGone) {
  server.stop();
  ring(100, 3, 0);
  start();
  EXPECT_EQ(status(), 0);
  EXPECT_EQ(output(), kHeader + lines(0, 2) + gone(server.pid));
}

// A head outside the ring (a damaged dump) is never reached: the walk waits
// for one it can reach, printing nothing, until the server is gone.
TEST_F(Tail, HeadOutsideTheRingWaitsForTheServersEnd) {
  ring(10, 12, 3);
  start();
  stays(kHeader);
  server.stop();
  EXPECT_EQ(status(), 0);
  EXPECT_EQ(output(), kHeader + gone(server.pid));
}

TEST_F(Tail, ServerIdZeroNamesNoProcess) {
  image.set_server_pid(0);
  image.make_ring(10);
  start();
  EXPECT_EQ(status(), 0);
  EXPECT_EQ(output(), kHeader + gone(0));
}

TEST_F(Tail, FollowsTheServerUntilItIsGone) {
  ring(10, 2, 0);
  start();
  std::string want = kHeader + line(0) + line(1);
  ASSERT_TRUE(shows(want));
  // A new record, then one whose slot is announced before it is complete.
  image.set_indexes(3, 0);
  ASSERT_TRUE(shows(want += line(2)));
  image.write(3, Record{});
  image.set_indexes(4, 0);
  stays(want);
  image.fill(3);
  ASSERT_TRUE(shows(want += line(3)));
  // The server replaces its ring: the walk starts on the new one, no header.
  ring(50, 2, 0);
  ASSERT_TRUE(shows(want += line(0) + line(1)));
  // It drops its ring: the walk waits for one and starts on the next.
  image.set_ring(0, 0);
  std::this_thread::sleep_for(50ms);
  image.make_ring(10);
  image.fill(0, 9);
  image.set_indexes(1, 0);
  ASSERT_TRUE(shows(want += line(0)));
  server.stop();
  EXPECT_EQ(status(), 0);
  EXPECT_EQ(output(), want + gone(server.pid));
}

TEST_F(Tail, ShrunkRingRestartsAtTheStartRule) {
  ring(50, 25, 0);  // calm: more than a window before the end
  start();
  std::string want = kHeader + lines(0, 24);
  ASSERT_TRUE(shows(want));
  // Same ring, now 10 slots and wrapped: the walk in hand (at 25) is past
  // the end, so it starts again 5 past tail (window 5) and stops at head.
  kvf::store<std::int32_t>(image.control_block(), kvf::control::kRingSize, 10);
  image.set_indexes(5, 6);
  ASSERT_TRUE(shows(want += lines(1, 4)));
  server.stop();
  EXPECT_EQ(status(), 0);
}

TEST_F(Tail, EventsOfARingReplacementAndTheServersEnd) {
  ring(10, 2, 0);
  start(true);
  using Seen = std::vector<std::string>;
  auto seen = [&](const Seen& want) {
    return test::eventually([&] { return viewer_test::events_in(output()) == want; });
  };
  Seen want{"record 0", "record 1"};
  ASSERT_TRUE(seen(want)) << output();
  unsigned char* replacement = image.ring(50, 2, 0);
  want.insert(want.end(), {"replaced 50 at " + std::to_string(TestImage::addr(replacement)), "record 0", "record 1"});
  ASSERT_TRUE(seen(want)) << output();
  server.stop();
  EXPECT_EQ(status(), 0);
  want.push_back("gone " + std::to_string(server.pid));
  EXPECT_EQ(viewer_test::events_in(output()), want);
}

TEST_F(Tail, QuietRingIsNotRepeatedAfterAMaximumSkip) {
  const std::string max = viewer_test::kMaxSkip;
  ring(20, 5, 0);
  start();
  std::string want = kHeader + line(0) + max;
  ASSERT_TRUE(shows(want));
  stays(want);
  // Once the ring moves, the walk goes on at the skip target (slot 0 again);
  // every step is still too close to tail, so each lands 20 past tail, and
  // slot 1 is then not repeated either.
  image.set_indexes(6, 1);
  ASSERT_TRUE(shows(want += line(0) + max + line(1) + max));
  stays(want);
  server.stop();
  EXPECT_EQ(status(), 0);
}

}  // namespace
