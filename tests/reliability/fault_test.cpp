// The tool interrupted, killed or refused: signals during a dump load, a
// view and tail walks, and the same signals ignored from the start; SIGKILL
// at random moments of a load and at each step of placing a segment; a
// segment of an earlier process with the tool's pid, which the load guard
// must leave alone; a dump placed over the tool's own memory; signals while
// a segment body is being copied. After each, no segment of the tool's may
// be left.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <csignal>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "layouts/shmcb_layout.h"
#include "platform/sys.h"
#include "shm/dump_reader.h"
#include "sim/image_builder.h"
#include "support/installation.h"

namespace {

using namespace std::chrono_literals;
using test::Installation;
using test::RunResult;

std::vector<int> left_by(pid_t pid) { return test::shm_segments_created_by(pid); }

// A dump of `records` records "record N of a dump ..." whose server is
// `pid` (by default this test process, so that a tail walk over it waits
// for as long as the test wants).
std::string record_dump(const Installation& inst, const std::string& name, int records,
                        std::uint32_t pid = static_cast<std::uint32_t>(getpid())) {
  kvf::sim::ImageBuilder image({.ring_records = records + 1, .pid = pid});
  for (int i = 0; i < records; ++i) {
    auto r = image.record("fault.c", i, "record %d of a dump that takes a while to print\\n");
    r.args.i32(i);
    image.append_record(r);
  }
  image.write_dump(inst.file(name));
  return inst.file(name);
}

// A dump of `count` segments of `size` bytes after a first of `first` bytes
// (0: just enough), so that a load takes a while.
std::string segments_dump(const Installation& inst, int count, std::uint64_t size, std::uint64_t first = 0) {
  kvf::sim::ImageOptions options{.ring_records = 8};
  options.segments.push_back({.size = first});
  for (int i = 0; i < count; ++i) options.segments.push_back({.size = size});
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
  std::string segments = segments_dump(inst, 299, 256 * 1024);
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

// The field `name` of /proc/`pid`/status ("" once the process is gone).
std::string status_field(pid_t pid, const std::string& name) {
  std::istringstream status(test::read_file("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);)
    if (line.rfind(name + ":", 0) == 0) return line.substr(name.size() + 1);
  return "";
}

// Whether `sig` is ignored by process `pid`, from its SigIgn mask.
bool ignores(pid_t pid, int sig) {
  std::string mask = status_field(pid, "SigIgn");
  return !mask.empty() && (std::stoull(mask, nullptr, 16) >> (sig - 1)) & 1;
}

TEST(Fault, InterruptsIgnoredAtStartStayIgnored) {
  Installation inst;
  std::string big = record_dump(inst, "big.dump", 3000);
  std::string small = record_dump(inst, "small.dump", 5);
  std::string fifo = inst.file("view-output");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // A script that ignores the three before it starts the tool (the tool
  // keeps the pid of the shell).
  auto ignoring = [](const std::string& redirect, std::vector<std::string> args) {
    std::vector<std::string> argv = {"/bin/sh", "-c", "trap '' INT HUP QUIT; exec \"$@\"" + redirect, "sh",
                                     test::program("kavrex")};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  };
  // A view held on a full pipe gets all three and still writes every line.
  RunResult whole = inst.kavrex({"fview", big});
  ASSERT_EQ(whole.status, 0) << whole.err;
  {
    test::Child tool(ignoring(" >'" + fifo + "'", {"fview", big}), inst.options());
    int out = open(fifo.c_str(), O_RDONLY);
    std::string seen;
    char buf[4096];
    for (ssize_t n; seen.size() < 2000 && (n = read(out, buf, sizeof buf)) > 0;) seen.append(buf, n);
    for (int sig : {SIGINT, SIGHUP, SIGQUIT}) tool.signal(sig);
    for (ssize_t n; (n = read(out, buf, sizeof buf)) > 0;) seen.append(buf, n);
    close(out);
    expect_end(tool, 0);
    EXPECT_TRUE(seen == whole.out) << seen.size() << " of " << whole.out.size() << " bytes";
  }
  // A tail walk over a dump: the three stay ignored, and SIGTERM still
  // releases the dump and ends it with status 1.
  {
    test::Child tool(ignoring("", {"-t", "view", small}), inst.options());
    ASSERT_TRUE(tool.wait_for_output("record 4 of a dump")) << tool.err();
    for (int sig : {SIGINT, SIGHUP, SIGQUIT}) {
      EXPECT_TRUE(ignores(tool.pid(), sig)) << strsignal(sig);
      tool.signal(sig);
    }
    EXPECT_FALSE(ignores(tool.pid(), SIGTERM));
    tool.signal(SIGTERM);
    expect_end(tool, 1);
  }
}

TEST(Fault, SigkillAtRandomMomentsOfALoadLeavesNoSegment) {
  Installation inst;
  std::string path = segments_dump(inst, 39, 256 * 1024);
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

// The reader in a child of this process, killed by `inject` at the second
// call of one step of placing a segment (the first segment is placed
// whole): each leaves the guard a different thing to clean up.
int g_calls_left = 0;
bool last_call() { return --g_calls_left == 0; }

TEST(Fault, SigkillAtEachStepOfPlacingASegmentLeavesNoSegment) {
  Installation inst;
  std::string path = segments_dump(inst, 2, 256 * 1024);
  struct Case {
    const char* name;
    void (*inject)();
  };
  const Case cases[] = {
      // Created; the guard has not heard its id.
      {"after shmget",
       [] {
         kvf::sys::calls().shmget = [](key_t key, std::size_t size, int flags) {
           int id = ::shmget(key, size, flags);
           if (last_call()) raise(SIGKILL);
           return id;
         };
       }},
      // The guard knows the id; nothing is attached.
      {"before shmat",
       [] {
         kvf::sys::calls().shmat = [](int id, const void* at, int flags) {
           if (last_call()) raise(SIGKILL);
           return ::shmat(id, at, flags);
         };
       }},
      // Attached, not yet marked for removal.
      {"before the removal mark",
       [] {
         kvf::sys::calls().shmctl = [](int id, int command, shmid_ds* ds) {
           if (last_call()) raise(SIGKILL);
           return ::shmctl(id, command, ds);
         };
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_calls_left = 2;
    pid_t child = fork();
    if (child == 0) {
      c.inject();
      testing::internal::CaptureStderr();
      kvf::rinfile(path.c_str(), 0);
      _exit(3);
    }
    int raw = 0;
    ASSERT_EQ(waitpid(child, &raw, 0), child);
    EXPECT_TRUE(WIFSIGNALED(raw) && WTERMSIG(raw) == SIGKILL) << raw;
    std::vector<int> left = left_after_guard(child);
    EXPECT_EQ(left, std::vector<int>{});
    for (int id : left) shmctl(id, IPC_RMID, nullptr);
  }
}

// Makes the next process of this pid namespace get `pid` (the namespace's
// own /proc must be mounted).
bool next_pid_is(pid_t pid) {
  int fd = open("/proc/sys/kernel/ns_last_pid", O_WRONLY);
  if (fd < 0) return false;
  std::string text = std::to_string(pid - 1);
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok;
}

// What became of a segment left behind by an earlier holder of the tool's
// pid, once the tool and its load guard had ended.
struct ReusedPid {
  std::string skipped;  // why the namespace could not be made
  int first = -1;       // the earlier holder's segment
  pid_t tool = 0;       // the pid the tool ran as
  int kept = 0;         // 1: that segment is still there
  int left = 0;         // segments of the tool's own still there
  int status = -1;      // the tool's status
};

constexpr pid_t kReusedPid = 4000;

// In a new pid namespace, a first process with pid kReusedPid creates a
// segment of `size` bytes (private, mode 0660, as the tool's are) that
// outlives it; then `tool` starts a process that gets the same pid and
// returns its status once it has ended. Every process of the namespace
// (the tool's load guard included) has ended before the segments are
// counted.
ReusedPid with_reused_pid(std::size_t size, const std::function<int(pid_t*)>& tool) {
  ReusedPid result;
  int report[2];
  if (pipe(report) != 0) return {.skipped = "pipe"};
  pid_t outer = fork();
  if (outer == 0) {
    close(report[0]);
    auto say = [&](const std::string& text) {
      ssize_t ignored = write(report[1], text.data(), text.size());
      (void)ignored;
      _exit(0);
    };
    if (unshare(CLONE_NEWPID | CLONE_NEWNS) != 0) say(std::string("skip unshare: ") + strerror(errno));
    pid_t init = fork();
    if (init == 0) {
      if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
        say(std::string("skip mount: ") + strerror(errno));
      if (!next_pid_is(kReusedPid)) say(std::string("skip ns_last_pid: ") + strerror(errno));
      int made[2];
      if (pipe(made) != 0) say("skip pipe");
      pid_t holder = fork();
      if (holder == 0) {
        int id = getpid() == kReusedPid ? shmget(IPC_PRIVATE, size, 0660 | IPC_CREAT | IPC_EXCL) : -1;
        ssize_t ignored = write(made[1], &id, sizeof id);
        (void)ignored;
        _exit(0);
      }
      int first = -1;
      if (read(made[0], &first, sizeof first) != sizeof first || first < 0) say("skip no first segment");
      waitpid(holder, nullptr, 0);
      pid_t tool_pid = 0;
      int status = next_pid_is(kReusedPid) ? tool(&tool_pid) : -1;
      // The tool's guard is this process's child now; wait for it, and for
      // anything else left.
      while (wait(nullptr) > 0 || errno == EINTR) {
      }
      shmid_ds ds{};
      int kept = shmctl(first, IPC_STAT, &ds) == 0 && ds.shm_cpid == kReusedPid;
      int left = static_cast<int>(test::shm_segments_created_by(kReusedPid).size()) - kept;
      say(std::to_string(first) + " " + std::to_string(tool_pid) + " " + std::to_string(kept) + " " +
          std::to_string(left) + " " + std::to_string(status));
    }
    int raw = 0;
    waitpid(init, &raw, 0);
    _exit(0);
  }
  close(report[1]);
  std::string text;
  char buf[256];
  for (ssize_t n; (n = read(report[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(n));
  close(report[0]);
  waitpid(outer, nullptr, 0);
  if (text.rfind("skip ", 0) == 0) return {.skipped = text.substr(5)};
  std::istringstream fields(text);
  if (!(fields >> result.first >> result.tool >> result.kept >> result.left >> result.status))
    return {.skipped = "no report from the namespace: '" + text + "'"};
  return result;
}

TEST(Fault, ASegmentOfAnEarlierProcessWithTheToolsPidIsLeftAlone) {
  if (geteuid() != 0) GTEST_SKIP() << "a chosen pid needs a pid namespace, which needs root";
  Installation inst;
  const std::string dump = record_dump(inst, "dump", 5, 1);  // the namespace's first process lives on
  // The same size as the tool's first segment (record_dump's ring has a
  // slot more than its records), so that only where it came from tells the
  // two apart.
  const std::size_t size = kvf::sim::ImageBuilder::plan({.ring_records = 6, .pid = 1})[0].size;
  struct Case {
    const char* name;
    std::function<int(pid_t*)> tool;
    int status;
  };
  const Case cases[] = {
      {"a run that ends",
       [&](pid_t* pid) {
         test::Child tool({test::program("kavrex"), "info", dump}, inst.options());
         *pid = tool.pid();
         return tool.wait(30s);
       },
       0},
      {"a tail walk killed",
       [&](pid_t* pid) {
         test::Child tool({test::program("kavrex"), "-t", "view", dump}, inst.options());
         *pid = tool.pid();
         if (!tool.wait_for_output("record 4 of a dump")) return -2;
         tool.signal(SIGKILL);
         return tool.wait(30s);
       },
       128 + SIGKILL},
      // Between the creation of a segment and the moment the guard learns
      // its id: the guard has to look for it.
      {"killed right after creating a segment",
       [&](pid_t* pid) {
         *pid = fork();
         if (*pid == 0) {
           kvf::sys::calls().shmget = [](key_t key, std::size_t bytes, int flags) {
             int id = ::shmget(key, bytes, flags);
             if (id >= 0) raise(SIGKILL);
             return id;
           };
           testing::internal::CaptureStderr();
           kvf::rinfile(dump.c_str(), 0);
           _exit(3);
         }
         int raw = 0;
         waitpid(*pid, &raw, 0);
         return WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : WEXITSTATUS(raw);
       },
       128 + SIGKILL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ReusedPid r = with_reused_pid(size, c.tool);
    if (!r.skipped.empty()) GTEST_SKIP() << r.skipped;
    EXPECT_EQ(r.tool, kReusedPid);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.kept, 1) << "the earlier process's segment was removed";
    EXPECT_EQ(r.left, 0);
    shmctl(r.first, IPC_RMID, nullptr);
  }
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

// The number of threads of process `pid` (0 once it is gone).
int threads_of(pid_t pid) {
  std::string threads = status_field(pid, "Threads");
  return threads.empty() ? 0 : std::stoi(threads);
}

// Stops the tool while it copies a segment body: once it runs more than one
// thread (the copy's), or, on a machine with one processor, once its first
// segment exists. True when that moment came before the tool ended.
bool stop_mid_copy(test::Child& tool, bool threaded) {
  for (;;) {
    if (!tool.running()) return false;
    if (threaded ? threads_of(tool.pid()) > 1 : has_segments(tool.pid())) break;
    std::this_thread::yield();
  }
  tool.signal(SIGSTOP);
  return true;
}

// A file cut short under the copy is the dump reader's own test, which cuts
// it at each stage of the copy in process.
TEST(Fault, ASignalDuringTheCopyOfASegmentEndsTheLoadCleanly) {
  Installation inst;
  // Two segments of 48 MiB: long enough a copy to be caught in the middle.
  const std::string original = segments_dump(inst, 1, 48 << 20, 48 << 20);
  const bool threaded = std::thread::hardware_concurrency() > 1;
  int mid_copy = 0;
  for (int sig : kSignals) {
    SCOPED_TRACE(strsignal(sig));
    test::Child tool({test::program("kavrex"), "info", original}, inst.options());
    if (stop_mid_copy(tool, threaded)) ++mid_copy;
    tool.signal(sig);
    tool.signal(SIGCONT);
    expect_end(tool, 1);
  }
  std::printf("[ figures  ] %d of 4 runs stopped mid-copy (%s)\n", mid_copy,
              threaded ? "copy threads seen" : "first segment seen");
}

}  // namespace
