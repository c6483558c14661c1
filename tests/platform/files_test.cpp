// The platform's file helpers with the system made to fail through the call
// table: the file replacement at each of its steps, the write loop, and the
// tree removal.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/files.h"
#include "platform/sys.h"
#include "support/process.h"

namespace {

namespace fs = std::filesystem;
namespace sys = kvf::sys;

struct ResetCalls {
  ~ResetCalls() { sys::reset_calls(); }
};

int g_error = 0;

TEST(ReplaceFile, AFailureAtAnyStepKeepsTheOldContentAndNoTemporaryFile) {
  ResetCalls reset;
  test::TempDir dir;
  const std::string target = dir.file("value");
  // A temporary name ending in XXXXXX is made by mkstemp, any other by open.
  const char* const kUnique = ".value.XXXXXX";
  const char* const kFixed = "value.tmp";
  struct Case {
    const char* name;
    void (*inject)();
    int error;
    sys::ReplaceStep step;
    const char* only = nullptr;  // the one temporary name the case is for
  };
  const Case cases[] = {
      {"mkstemp", [] { sys::calls().mkstemp = [](char*) { return errno = g_error, -1; }; }, EACCES,
       sys::ReplaceStep::create, kUnique},
      {"open", [] { sys::calls().open = [](const char*, int, mode_t) { return errno = g_error, -1; }; }, EROFS,
       sys::ReplaceStep::create, kFixed},
      {"write", [] { sys::calls().write = [](int, const void*, std::size_t) -> ssize_t { return errno = g_error, -1; }; },
       ENOSPC, sys::ReplaceStep::write},
      {"fsync", [] { sys::calls().fsync = [](int) { return errno = g_error, -1; }; }, EIO, sys::ReplaceStep::sync},
      // Linux releases the descriptor even when close fails.
      {"close", [] { sys::calls().close = [](int fd) { return ::close(fd), errno = g_error, -1; }; }, EIO,
       sys::ReplaceStep::close},
      {"rename", [] { sys::calls().rename = [](const char*, const char*) { return errno = g_error, -1; }; }, EXDEV,
       sys::ReplaceStep::rename},
  };
  for (const char* temp : {kUnique, kFixed}) {
    for (const Case& c : cases) {
      if (c.only && c.only != temp) continue;
      SCOPED_TRACE(std::string(temp) + ", " + c.name);
      test::write_file(target, "old");
      g_error = c.error;
      c.inject();
      sys::Replacement how{.temp = dir.file(temp)};
      int code = sys::replace_file(target.c_str(), how, "new", 3);
      sys::reset_calls();
      EXPECT_EQ(code, c.error);
      EXPECT_EQ(how.failed, c.step);
      EXPECT_EQ(test::read_file(target), "old");
      EXPECT_EQ(test::names_in(dir.path()), std::vector<std::string>{"value"});
    }
  }
}

TEST(ReplaceFile, NewContentGetsTheModeAskedForWhateverTheUmask) {
  test::TempDir dir;
  const std::string target = dir.file("value");
  mode_t old_mask = ::umask(077);
  sys::Replacement how{.temp = dir.file(".value.XXXXXX"), .mode = 0644};
  int code = sys::replace_file(target.c_str(), how, "new", 3);
  ::umask(old_mask);
  ASSERT_EQ(code, 0);
  EXPECT_EQ(test::read_file(target), "new");
  struct stat st {};
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_EQ(test::names_in(dir.path()), std::vector<std::string>{"value"});
}

// The write loop against a system that writes in odd ways: each entry of
// `script` is what one write call does (>0: takes that many bytes at most,
// 0: takes nothing, <0: fails with that errno).
// An interrupted write sets `g_stop_flag` when there is one, as a signal
// handler asking the writer to stop does.
std::vector<int> g_script;
std::size_t g_step = 0;
std::string g_written;
volatile std::sig_atomic_t* g_stop_flag = nullptr;
ssize_t scripted_write(int, const void* p, std::size_t n) {
  int what = g_step < g_script.size() ? g_script[g_step] : 1 << 20;
  ++g_step;
  if (what == -EINTR && g_stop_flag) *g_stop_flag = 1;
  if (what < 0) {
    errno = -what;
    return -1;
  }
  std::size_t take = std::min<std::size_t>(n, static_cast<std::size_t>(what));
  g_written.append(static_cast<const char*>(p), take);
  return static_cast<ssize_t>(take);
}

TEST(WriteAll, RepeatsInterruptedAndShortWritesAndStopsOnFailure) {
  ResetCalls reset;
  enum Stop { none, before, on_interrupt };  // when a stop request is made, if at all
  struct Case {
    const char* name;
    std::vector<int> script;
    int result;
    std::string written;
    Stop stop = none;
  };
  const Case cases[] = {
      {"in one", {}, 0, "abcdef"},
      {"interrupted twice", {-EINTR, -EINTR}, 0, "abcdef"},
      {"a byte at a time", {1, 1, 1, 1, 1, 1}, 0, "abcdef"},
      {"short, interrupted, the rest", {2, -EINTR, 9}, 0, "abcdef"},
      {"failure after a part", {4, -EPIPE}, EPIPE, "abcd"},
      {"nothing taken", {3, 0}, EIO, "abc"},
      // A stop request is seen before the next write.
      {"stop before the first", {}, EINTR, "", before},
      {"stop while interrupted", {2, -EINTR}, EINTR, "ab", on_interrupt},
  };
  sys::calls().write = scripted_write;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_script = c.script;
    g_step = 0;
    g_written.clear();
    volatile std::sig_atomic_t stop = c.stop == before;
    g_stop_flag = c.stop == on_interrupt ? &stop : nullptr;
    EXPECT_EQ(sys::write_all(1, "abcdef", 6, c.stop == none ? nullptr : &stop), c.result);
    g_stop_flag = nullptr;
    EXPECT_EQ(g_written, c.written);
  }
}

TEST(RemoveTree, RemovesEverythingBelowAndFollowsNoLink) {
  test::TempDir dir;
  fs::create_directories(dir.file("tree/a/b"));
  fs::create_directories(dir.file("outside/kept"));
  test::write_file(dir.file("tree/a/b/file"), "x");
  test::write_file(dir.file("tree/.hidden"), "x");
  test::write_file(dir.file("outside/kept/file"), "x");
  fs::create_directory_symlink(dir.file("outside"), dir.file("tree/a/link"));
  EXPECT_EQ(sys::remove_tree(dir.file("tree").c_str()), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir.file("tree"))));
  EXPECT_EQ(test::read_file(dir.file("outside/kept/file")), "x");
  // Nothing there is nothing to do; a removal the system refuses is its error.
  EXPECT_EQ(sys::remove_tree(dir.file("tree").c_str()), 0);
  fs::create_directories(dir.file("tree/a"));
  ResetCalls reset;
  sys::calls().rmdir = [](const char*) { return errno = EBUSY, -1; };
  EXPECT_EQ(sys::remove_tree(dir.file("tree").c_str()), EBUSY);
}

}  // namespace

// A pipe grows to the size asked for, up to the system's limit, and never
// shrinks; anything else is no pipe.
TEST(GrowPipe, GrowsAPipeOnlyAndNeverShrinksIt) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::string limit;
  ASSERT_EQ(kvf::sys::read_file("/proc/sys/fs/pipe-max-size", limit), 0);
  const int most = std::min(1 << 20, std::stoi(limit));
  EXPECT_EQ(kvf::sys::grow_pipe(fds[1], most), most);
  EXPECT_EQ(::fcntl(fds[0], F_GETPIPE_SZ), most);  // one pipe, seen from either end
  EXPECT_EQ(kvf::sys::grow_pipe(fds[1], 4096), most);
  EXPECT_EQ(::fcntl(fds[0], F_GETPIPE_SZ), most);
  ::close(fds[0]);
  ::close(fds[1]);
  test::TempDir dir;
  int file = kvf::sys::open(dir.file("plain").c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(file, 0);
  EXPECT_EQ(kvf::sys::grow_pipe(file, most), -1);
  ::close(file);
}
