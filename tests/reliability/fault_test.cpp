// The tool interrupted, killed or refused: signals during a dump load, a
// view and tail walks; SIGKILL at random moments of a load; the server
// killed under a tail walk; a dump placed over the tool's own memory. After
// each, no segment of the tool's may be left.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include "layouts/shmcb_layout.h"
#include "sim/image_builder.h"
#include "support/installation.h"

namespace {

using namespace std::chrono_literals;
using test::Installation;

std::vector<int> left_by(pid_t pid) { return test::shm_segments_created_by(pid); }

// A dump of `records` records whose server is this test process, so that a
// tail walk over it waits for as long as the test wants.
std::string record_dump(const Installation& inst, const std::string& name, int records) {
  kvf::sim::ImageBuilder image({.ring_records = records + 1, .pid = static_cast<std::uint32_t>(getpid())});
  for (int i = 0; i < records; ++i) {
    auto r = image.record("fault.c", i, "record %d of a dump that takes a while to print\\n");
    r.args.i32(i);
    image.append_record(r);
  }
  image.write_dump(inst.file(name));
  return inst.file(name);
}

// A dump of many segments, so that a load takes a while.
std::string many_segments(const Installation& inst, int count) {
  kvf::sim::ImageOptions options{.ring_records = 8};
  options.segments.push_back({});
  for (int i = 1; i < count; ++i) options.segments.push_back({.size = 256 * 1024});
  kvf::sim::ImageBuilder image(options);
  image.write_dump(inst.file("segments.dump"));
  return inst.file("segments.dump");
}

// Reads from `fd` until `n` bytes have come (or the end).
std::size_t read_some(int fd, std::size_t n) {
  char buf[4096];
  std::size_t got = 0;
  for (ssize_t r; got < n && (r = read(fd, buf, std::min(sizeof buf, n - got))) > 0;) got += static_cast<std::size_t>(r);
  return got;
}

// Whether `pid` has created a segment yet (the load has begun).
bool has_segments(pid_t pid) { return !left_by(pid).empty(); }

// The segments of `pid` still there once its load guard, which acts only
// after the tool has ended, has had time to remove what the tool could not
// (a signal between creating a segment and entering it in the table). A
// guard that never acts shows after the cap.
std::vector<int> left_after_guard(pid_t pid) {
  test::eventually([&] { return !has_segments(pid); }, 30s);
  return left_by(pid);
}

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Ends with `status` and leaves no segment.
void expect_end(test::Child& tool, int status) {
  EXPECT_EQ(tool.wait(60s), status) << tool.err();
  EXPECT_EQ(left_after_guard(tool.pid()), std::vector<int>{});
}

TEST(Fault, SignalsDuringALoadAViewOrATailEndTheToolCleanly) {
  Installation inst;
  auto sim = inst.start_sim({"--records", "500", "--on", "--level", "3", "--rate", "2000"});
  std::string big = record_dump(inst, "big.dump", 3000);
  std::string small = record_dump(inst, "small.dump", 5);
  std::string segments = many_segments(inst, 300);
  std::string fifo = inst.file("view-output");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int mid_load = 0;
  for (int sig : kSignals) {
    SCOPED_TRACE(strsignal(sig));
    // During the load: stopped as soon as its first segment exists.
    {
      test::Child tool({test::program("kavrex"), "info", segments}, inst.options());
      while (!has_segments(tool.pid()) && tool.running()) std::this_thread::yield();
      tool.signal(SIGSTOP);
      std::size_t made = left_by(tool.pid()).size();
      if (made > 0 && made < 300) ++mid_load;
      tool.signal(sig);
      tool.signal(SIGCONT);
      expect_end(tool, 1);
    }
    // During a view: the tool waits on a full pipe in the middle of the ring
    // (the shell opens the pipe, then becomes the tool).
    {
      test::Child tool({"/bin/sh", "-c", "exec \"$@\" >'" + fifo + "'", "sh", test::program("kavrex"), "fview", big},
                       inst.options());
      int out = open(fifo.c_str(), O_RDONLY);
      EXPECT_EQ(read_some(out, 2000), 2000u);
      EXPECT_FALSE(left_by(tool.pid()).empty());
      tool.signal(sig);
      expect_end(tool, 1);
      close(out);
    }
    // During a tail walk over a dump whose server (this process) lives on.
    {
      test::Child tool({test::program("kavrex"), "-t", "view", small}, inst.options());
      ASSERT_TRUE(tool.wait_for_output("record 4 of a dump")) << tool.err();
      tool.signal(sig);
      expect_end(tool, 1);
    }
    // During a tail walk of the live server: with no dump loaded, the
    // interrupt handler ends with the default action (after its bell), and
    // so do the others; the server runs on.
    {
      test::Child tool({test::program("kavrex"), "-t", "view"}, inst.options());
      ASSERT_TRUE(tool.wait_for_output("rsam/")) << tool.err();
      tool.signal(sig);
      expect_end(tool, 128 + sig);
      EXPECT_TRUE(sim->running());
    }
  }
  std::printf("[ figures  ] 16 signalled runs, %d of 4 load signals landed mid-load\n", mid_load);
}

TEST(Fault, SigkillAtRandomMomentsOfALoadLeavesNoSegment) {
  Installation inst;
  std::string path = many_segments(inst, 40);
  // How long a whole run takes here, start-up included.
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(inst.kavrex({"info", path}).status, 0);
  auto whole = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);

  std::mt19937 random(11);
  std::uniform_int_distribution<long> moment(0, whole.count());
  // 200 kills, however long they take here; the cap only stops a hang.
  constexpr int kKills = 200;
  int kills = 0, with_segments = 0, finished = 0, guarded = 0;
  std::vector<int> left;
  auto cap = std::chrono::steady_clock::now() + 600s;
  while (kills < kKills) {
    ASSERT_LT(std::chrono::steady_clock::now(), cap) << "only " << kills << " kills in 600 s";
    test::Child tool({test::program("kavrex"), "info", path}, inst.options());
    std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
    if (has_segments(tool.pid())) ++with_segments;
    tool.signal(SIGKILL);
    int status = tool.wait();
    if (status == 0) ++finished;
    ++kills;
    // A segment killed between its creation and its removal mark is the
    // load guard's to remove, once it has seen the tool go.
    if (has_segments(tool.pid())) ++guarded;
    for (int id : left_after_guard(tool.pid())) {
      left.push_back(id);
      shmctl(id, IPC_RMID, nullptr);
    }
  }
  EXPECT_EQ(left, std::vector<int>{});
  std::printf("[ figures  ] %d kills within %lld us runs, %d while segments existed, %d runs ended first, "
              "%d left to the guard, %zu segments left\n",
              kills, static_cast<long long>(whole.count()), with_segments, finished, guarded, left.size());
}

TEST(Fault, TailEndsAfterTheServerIsKilled) {
  Installation inst;
  auto sim = inst.start_sim({"--records", "2000", "--on", "--level", "3", "--flat-out"});
  test::Child tail({test::program("kavrex"), "-t", "fview"}, inst.options());
  ASSERT_TRUE(tail.wait_for_output("rsam/", 60s)) << tail.err();
  std::vector<int> server_segments = left_by(sim->pid());
  sim->signal(SIGKILL);
  ASSERT_EQ(sim->wait(), 128 + SIGKILL);
  auto gone = std::chrono::steady_clock::now();
  // The tail polls every 10 ms; how soon it ends is a figure, not a check,
  // and the cap only stops a hang.
  int status = tail.wait(60s);
  auto took = std::chrono::steady_clock::now() - gone;
  // A killed server removes nothing: its segments go once the tool has
  // let go of them.
  for (int id : server_segments) shmctl(id, IPC_RMID, nullptr);
  EXPECT_EQ(status, 0) << tail.err();
  std::string out = tail.out();
  std::string message = "The server process " + std::to_string(sim->pid()) + " is gone!\n";
  ASSERT_GE(out.size(), message.size());
  EXPECT_EQ(out.substr(out.size() - message.size()), message);
  std::printf("[ figures  ] tail ended %lld ms after the server was reaped\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
}

TEST(Fault, ADumpOverTheToolsOwnMemoryIsRefused) {
  Installation inst;
  auto expect_refused = [&](const std::vector<std::string>& argv, const std::string& path) {
    test::Child tool(argv, inst.options());
    expect_end(tool, 1);
    EXPECT_EQ(tool.out(), "");
    std::string err = tool.err();
    EXPECT_EQ(err.rfind("rinfile: shmget/shmat error (cnt ", 0), 0u) << err;
    EXPECT_NE(err.find(") errno=22\nkavrex: Can't read shared memory file " + path + "\n"), std::string::npos) << err;
  };
  // The tool's program text and the top of its stack, where a run without
  // address randomisation puts them on x86-64.
  std::uint64_t size = kvf::sim::ImageBuilder::plan({.ring_records = 4})[0].size;
  std::uint64_t below_stack_top = (0x7ffffffff000ull - size - 0x1000) & ~std::uint64_t{0xFFF};
  for (std::uint64_t base : {std::uint64_t{0x555555554000}, below_stack_top}) {
    SCOPED_TRACE(base);
    kvf::sim::ImageBuilder image({.base = base, .ring_records = 4});
    std::string path = inst.file("own-" + std::to_string(base));
    image.write_dump(path);
    expect_refused({"/usr/bin/setarch", "x86_64", "-R", test::program("kavrex"), "fview", path}, path);
  }
  // A second segment placed over the first, which the tool has just made
  // its own.
  kvf::sim::ImageBuilder first({.ring_records = 4});
  kvf::sim::ImageBuilder second({.base = kvf::sim::kDefaultBase + 0x10000, .ring_records = 4});
  std::string two = first.dump() + second.dump();
  // The first segment's control block counts two segments.
  std::int16_t segments = 2;
  std::memcpy(two.data() + (first.shmcb() - kvf::sim::kDefaultBase) + kvf::shmcb::kSegmentCount, &segments,
              sizeof segments);
  test::write_file(inst.file("overlap"), two);
  expect_refused({test::program("kavrex"), "view", inst.file("overlap")}, inst.file("overlap"));
}

}  // namespace
