// dump_view_test.cpp -- the four views over dump files built by the image
// builder and loaded by the dump reader at the server's own addresses, and a
// tail walk on a dump whose server process is gone.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <ctime>

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "shm/dump_reader.h"
#include "shm/image.h"
#include "sim/image_builder.h"
#include "support/process.h"
#include "test_image.h"
#include "viewer/output.h"
#include "viewer/reader.h"
#include "viewer/view.h"

namespace {

using kvf::sim::ImageBuilder;
using kvf::sim::ImageOptions;
using kvf::sim::Record;

class DumpView : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    kvf::reader_state() = kvf::ReaderState{};
  }
  void TearDown() override {
    kvf::release_dump();
    kvf::image_clear();
  }
  void load(const ImageBuilder& image) {
    image.write_dump(dir.file("dump"));
    ::testing::internal::CaptureStderr();
    int status = kvf::rinfile(dir.file("dump").c_str(), 0);
    ASSERT_EQ(status, 0) << ::testing::internal::GetCapturedStderr();
    ::testing::internal::GetCapturedStderr();
  }
  std::string view(bool dorvel, bool full) {
    viewer_test::Capture capture;
    EXPECT_EQ(kvf::kvf_view(dorvel, full, false), 0);
    return capture.text();
  }

  test::TempDir dir;
};

TEST_F(DumpView, FourViews) {
  ImageBuilder image({.ring_records = 40});  // calm: head stays a window from the end
  Record a = image.record("bufmgr", 1234, "page %d");
  a.component = 2;
  a.feature = 15;  // KVF_INFO, not KVF_ARGS
  a.session = 77;
  a.trans = (1ull << 32) + 255;
  a.args.i32(5);
  image.append_record(a);
  Record b = image.record("x.c", 1);
  b.component = 119;  // no name
  image.append_record(b);
  Record c = image.record("dv.c", 9, "dorvel %s");
  c.component = 18;
  c.feature = 4;
  c.args.ptr(image.string("first")).ptr(image.string("second")).i32(-12).i32(0xabc);
  c.args.u64(1).u64(0xdeadbeef).u64(0).u64(UINT64_MAX).u64(0x1234567890ull);
  image.append_record(c);
  Record d = image.record("never.c", 3);
  d.file = 0;  // not complete: the walk ends here
  image.append_record(d);
  load(image);

  const std::string narrow = "File       Line session \n";
  const std::string wide =
      "Component  Feature    File       Line  Pid   Time     Stamp        csvr thrd trans    "
      "rstcb    session MESSAGE\n";
  const std::string values =
      "0000000000000001 00000000DEADBEEF 0000000000000000 FFFFFFFFFFFFFFFF 0000001234567890\n";
  const std::string na = "bufmgr     1234 77      page 5\n";
  const std::string nb = "x.c        1    11      \n";
  const std::string wa =
      "KVF_BFR_MGR KVF_INFO   bufmgr     1234  4242  11/14/2023 1            1    7    ff       "
      "beef0000 77      page 5\n";
  const std::string wb =
      "           KVF_MEM    x.c        1     4242  11/14/2023 2            1    7    dead0000 "
      "beef0000 11      \n";
  EXPECT_EQ(view(false, false), narrow + na + nb + "dv.c       9    11      dorvel first\n");
  EXPECT_EQ(view(true, false), narrow + na + nb + "second     -12  11         first " + values);
  EXPECT_EQ(view(false, true),
            wide + wa + wb +
                "KVF_DORVEL KVF_MSG    dv.c       9     4242  11/14/2023 3            1    7    "
                "dead0000 beef0000 11      dorvel first\n");
  EXPECT_EQ(view(true, true),
            wide + wa + wb +
                "first      KVF_MSG    second     -12  4242  11/14/2023 abc   1    7    dead0000 "
                "beef0000 11      " + values);
}

TEST_F(DumpView, WrappedRing) {
  ImageBuilder image({.ring_records = 100});
  for (std::uint32_t i = 0; i < 100; ++i) {
    Record r = image.record("w.c", static_cast<std::int32_t>(i));
    r.stamp = 500 + i;
    image.write_record(i, r);
  }
  image.set_indexes(39, 40);
  load(image);
  std::string want = "File       Line session \n";
  auto line = [](int i) {
    std::string n = std::to_string(i);
    return "w.c        " + n + std::string(4 - n.size(), ' ') + " 11      \n";
  };
  for (int i = 60; i < 100; ++i) want += line(i);
  for (int i = 0; i < 39; ++i) want += line(i);
  EXPECT_EQ(view(false, false), want);
}

TEST_F(DumpView, TailOfADumpWhoseServerIsGone) {
  pid_t server = fork();
  if (server == 0) _exit(0);
  waitpid(server, nullptr, 0);
  ImageBuilder image({.ring_records = 8, .pid = static_cast<std::uint32_t>(server)});
  Record r = image.record("t.c", 5, "%s\\n");
  r.args.ptr(image.string("last"));
  image.append_record(r);
  load(image);

  int out = memfd_create("dump-tail", 0);
  ASSERT_GE(out, 0);
  pid_t viewer = fork();
  if (viewer == 0) {
    kvf::out::set_fd(out);
    kvf::set_view_exit([](int status) { _exit(status); });
    kvf::kvf_view(false, false, true);
    _exit(99);
  }
  int raw = 0;
  ASSERT_EQ(waitpid(viewer, &raw, 0), viewer);
  ASSERT_TRUE(WIFEXITED(raw));
  EXPECT_EQ(WEXITSTATUS(raw), 0);
  char buf[512];
  ssize_t n = pread(out, buf, sizeof buf, 0);
  close(out);
  EXPECT_EQ(std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0),
            "File       Line session \nt.c        5    11      last\n\n"
            "The server process " + std::to_string(server) + " is gone!\n");
}

}  // namespace
