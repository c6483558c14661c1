// The views' output with the system's write made to fail through the call
// table: an interrupted or short write goes on, any other failure ends the
// program with status 1 and no word, as a closed standard output does.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

#include "platform/sys.h"
#include "viewer/output.h"
#include "viewer/test_image.h"

namespace {

namespace sys = kvf::sys;

int g_calls = 0;

TEST(Output, InterruptedAndShortWritesAreCarriedOn) {
  int fd = memfd_create("output", 0);
  ASSERT_GE(fd, 0);
  kvf::out::set_fd(fd);
  g_calls = 0;
  // Interrupted first, then at most 5 bytes a call.
  sys::calls().write = [](int to, const void* p, std::size_t n) -> ssize_t {
    if (++g_calls == 1) return errno = EINTR, -1;
    return ::write(to, p, n < 5 ? n : 5);
  };
  std::string text(70 * 1024, 'x');  // more than one piece of the buffer
  text += "end\n";
  kvf::out::write(text.data(), text.size());
  kvf::out::flush();
  sys::reset_calls();
  kvf::out::set_fd(1);
  EXPECT_EQ(viewer_test::read_all(fd), text);
  EXPECT_GT(g_calls, static_cast<int>(text.size() / 5));  // every piece went through the table
  close(fd);
}

TEST(Output, AFailedWriteEndsWithStatusOne) {
  struct Case {
    const char* name;
    ssize_t (*write)(int, const void*, std::size_t);
  };
  const Case cases[] = {
      {"reader gone", [](int, const void*, std::size_t) -> ssize_t { return errno = EPIPE, -1; }},
      {"device error", [](int, const void*, std::size_t) -> ssize_t { return errno = EIO, -1; }},
      {"nothing taken", [](int, const void*, std::size_t) -> ssize_t { return 0; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EXIT(
        {
          sys::calls().write = c.write;
          kvf::out::write("a line\n");
          kvf::out::flush();
          std::exit(0);
        },
        ::testing::ExitedWithCode(1), "^$");
  }
}

}  // namespace
