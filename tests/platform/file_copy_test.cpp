// The copy from a file into memory: every byte in place and none beyond,
// whatever the offset, length and threads; a file that cannot be mapped;
// and a bus error that is not the file's going to whoever handled bus
// errors before.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "platform/file_copy.h"
#include "platform/sys.h"
#include "support/process.h"

namespace {

namespace sys = kvf::sys;

constexpr std::size_t kMiB = std::size_t{1} << 20;

std::string random_bytes(std::size_t n) {
  std::mt19937 random(7);
  std::string bytes(n, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

// Page-aligned memory of `n` bytes, every byte 0xEE.
struct Target {
  explicit Target(std::size_t n) : size(n) {
    bytes = static_cast<unsigned char*>(mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    std::memset(bytes, 0xEE, n);
  }
  ~Target() { munmap(bytes, size); }
  std::size_t size;
  unsigned char* bytes;
};

TEST(FileCopy, EveryByteInPlaceAndNoneBeyond) {
  test::TempDir dir;
  const std::string file = random_bytes(12 * kMiB);
  test::write_file(dir.file("file"), file);
  int fd = open(dir.file("file").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  struct Case {
    off_t offset;
    std::size_t length;
    int workers;
  };
  const Case cases[] = {
      {0, 1, 1},
      {4095, 3, 2},                  // across a page boundary of the file
      {100, 5 * kMiB + 17, 3},       // more threads, a short last chunk
      {4096, 4 * kMiB, 2},           // whole chunks
      {3 * kMiB + 1, 9 * kMiB - 1, 8},  // to the end of the file
      {0, 0, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "offset " << c.offset << " length " << c.length << " workers " << c.workers);
    Target target(c.length + 4096);
    sys::FileCopy copy;
    copy.copied = 99;
    ASSERT_EQ(sys::copy_from_file(fd, c.offset, target.bytes, c.length, c.workers, copy), 0);
    EXPECT_EQ(copy.copied, c.length);
    EXPECT_EQ(copy.written, c.length);
    EXPECT_EQ(std::memcmp(target.bytes, file.data() + c.offset, c.length), 0);
    EXPECT_EQ(target.bytes[c.length], 0xEE);
  }
  close(fd);
}

void* refused_mmap(void*, std::size_t, int, int, int, off_t) {
  errno = ENODEV;
  return MAP_FAILED;
}

TEST(FileCopy, AFileThatCannotBeMappedIsLeftToTheCaller) {
  test::TempDir dir;
  test::write_file(dir.file("file"), random_bytes(kMiB));
  int fd = open(dir.file("file").c_str(), O_RDONLY);
  struct sigaction before {};
  sigaction(SIGBUS, nullptr, &before);
  sys::calls().mmap = refused_mmap;
  Target target(kMiB);
  sys::FileCopy copy;
  errno = 0;
  int r = sys::copy_from_file(fd, 0, target.bytes, kMiB, 2, copy);
  int e = errno;
  sys::reset_calls();
  close(fd);
  EXPECT_EQ(r, -1);
  EXPECT_EQ(e, ENODEV);
  EXPECT_EQ(target.bytes[0], 0xEE);
  struct sigaction now {};
  sigaction(SIGBUS, nullptr, &now);
  EXPECT_EQ(now.sa_handler, before.sa_handler);
}

extern "C" void earlier_handler(int) {
  const char text[] = "earlier handler\n";
  (void)!write(2, text, sizeof text - 1);
  _exit(3);
}

// A copy into memory that itself raises SIGBUS when written: a shared
// mapping of an empty file.
void copy_into_a_bus_error(const std::string& dir) {
  test::write_file(dir + "/source", random_bytes(kMiB));
  test::write_file(dir + "/empty", "");
  int source = open((dir + "/source").c_str(), O_RDONLY);
  int empty = open((dir + "/empty").c_str(), O_RDWR);
  std::filesystem::remove_all(dir);
  void* target = mmap(nullptr, kMiB, PROT_READ | PROT_WRITE, MAP_SHARED, empty, 0);
  sys::FileCopy copy;
  sys::copy_from_file(source, 0, target, kMiB, 1, copy);
  std::fprintf(stderr, "copied %zu\n", copy.copied);
  _exit(0);
}

TEST(FileCopy, ABusErrorOutsideTheFileGoesToTheEarlierAction) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  test::TempDir dir;
  // Not swallowed as a page the file could not give.
  EXPECT_EXIT(
      {
        signal(SIGBUS, SIG_DFL);
        copy_into_a_bus_error(dir.path());
      },
      testing::KilledBySignal(SIGBUS), "");
  EXPECT_EXIT(
      {
        signal(SIGBUS, earlier_handler);
        copy_into_a_bus_error(dir.path());
      },
      testing::ExitedWithCode(3), "earlier handler");
}

}  // namespace
