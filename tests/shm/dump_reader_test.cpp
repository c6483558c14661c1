// The dump reader in-process: placement at the recorded addresses, the
// failure messages, and release leaving no segment behind.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>

#include "layouts/field.h"
#include "layouts/segment_layout.h"
#include "layouts/shmcb_layout.h"
#include "platform/file_copy.h"
#include "platform/sys.h"
#include "platform/threads.h"
#include "shm/dump_reader.h"
#include "shm/image.h"
#include "support/process.h"

namespace {

using namespace kvf;

constexpr std::uint64_t kBase = 0x310000000000;
constexpr std::uint64_t kOverhead = segment::kSize + shmcb::kSize;
constexpr std::uint64_t kRoot = kBase + kOverhead;

// A minimal dump: `segments` segments of `size` bytes back to back, the
// shmcb right after the first header, the root record right after it.
std::string raw_dump(int segments, std::uint64_t size, std::uint64_t base = kBase) {
  std::string file;
  for (int s = 0; s < segments; ++s) {
    std::string seg(size, '\0');
    auto* p = reinterpret_cast<unsigned char*>(seg.data());
    store<std::uint64_t>(p, segment::kBase, base + s * size);
    store<std::uint64_t>(p, segment::kSegmentSize, size);
    store<std::uint64_t>(p, segment::kOverhead, kOverhead);
    if (s == 0) {
      unsigned char* cb = p + segment::kSize;
      store<std::int16_t>(cb, shmcb::kSegmentCount, static_cast<std::int16_t>(segments));
      store<std::int32_t>(cb, shmcb::kMinPieceSize, 4096);
      store<std::uint64_t>(cb, shmcb::kRootHead, base + kOverhead);
      store<std::uint64_t>(p + kOverhead, root::kShmcb, base + segment::kSize);
    }
    // A recognisable pattern in the last bytes of every segment.
    for (int i = 1; i <= 16; ++i) p[size - i] = static_cast<unsigned char>(0xA0 + s + i);
    file += seg;
  }
  return file;
}

// `bytes` with a `T` stored at `at`.
template <typename T>
std::string with(std::string bytes, std::size_t at, T value) {
  store<T>(bytes.data(), at, value);
  return bytes;
}

struct Loaded {
  int status;
  std::string err;
  std::string out;  // the file layer's report lines, line numbers as "N"
};

Loaded load_file(const std::string& path) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  int status = rinfile(path.c_str(), 0);
  std::string err = testing::internal::GetCapturedStderr();
  std::string out = std::regex_replace(testing::internal::GetCapturedStdout(), std::regex(" at sys:[0-9]+\n"),
                                       " at sys:N\n");
  return {status, err, out};
}

// A message with its %s filled with the path.
std::string with_path(std::string message, const std::string& path) {
  if (auto at = message.find("%s"); at != std::string::npos) message.replace(at, 2, path);
  return message;
}

TEST(DumpReader, PlacesEverySegmentAtItsAddressAndReleasesIt) {
  test::TempDir dir;
  constexpr std::uint64_t kSize = 1 << 20;
  std::string dump = raw_dump(2, kSize);
  test::write_file(dir.file("dump"), dump);
  for (int round = 0; round < 2; ++round) {  // the same addresses again after release
    Loaded r = load_file(dir.file("dump"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(root_pointer(), kRoot);
    EXPECT_TRUE(image_contains(kBase, 2 * kSize));
    EXPECT_FALSE(image_contains(kBase, 2 * kSize + 1));
    EXPECT_EQ(std::memcmp(address(kBase), dump.data(), dump.size()), 0);
    EXPECT_EQ(attachment_count(), 2);
    release_dump();
    EXPECT_FALSE(image_contains(kBase, 1));
    EXPECT_TRUE(test::shm_segments_created_by(getpid()).empty());
  }
  // A body cut short loads with zeros in place of what is missing.
  test::write_file(dir.file("dump"), raw_dump(1, kSize).substr(0, kSize - 100000));
  ASSERT_EQ(load_file(dir.file("dump")).status, 0);
  for (std::size_t i = 1; i <= 16; ++i) EXPECT_EQ(address(kBase)[kSize - i], 0) << i;
  release_dump();
}

TEST(DumpReader, FailureMessages) {
  test::TempDir dir;
  struct Case {
    const char* name;
    std::string bytes;
    std::string message;  // %s is the path
    std::string out = "";
  };
  constexpr std::uint64_t kMiB = 1 << 20;
  Case cases[] = {
      {"short", std::string(735, 'x'), "Error reading '%s' errno=0\n"},
      // The layer reports the system's reason and gives EBADF.
      {"low_overhead", with<std::uint64_t>(raw_dump(1, kMiB), segment::kOverhead, 1000),
       "Error lseeking '%s' errno=9\n", "lseek(): w32ec=22 at sys:N\n"},
      {"short_shmcb", raw_dump(1, kMiB).substr(0, 200000), "Error reading '%s' errno=0\n"},
      {"no_segments", with<std::int16_t>(raw_dump(1, kMiB), segment::kSize + shmcb::kSegmentCount, -3),
       "Error reading '%s': segment count -3 in the control block\n"},
      {"zero_size", with<std::uint64_t>(raw_dump(2, kMiB), kMiB + segment::kSegmentSize, 0),
       "Error reading '%s': segment 2 has size 0\n"},
      {"null_base", raw_dump(1, kMiB, 0), "rinfile: shmget/shmat error (cnt 1048576) errno=22\n"},
      {"missing_segment", raw_dump(2, kMiB).substr(0, kMiB + 100), "Error reading '%s' errno=0\n"},
      {"root_elsewhere", with<std::uint64_t>(raw_dump(1, kMiB), segment::kSize + shmcb::kRootHead, kBase + kMiB),
       "Error reading '%s': root record at 0x310000100000 is outside the loaded segments\n"},
      // The root record's shmcb pointer, then the shmcb's block pointer, aimed
      // past the loaded segment.
      {"shmcb_elsewhere", with<std::uint64_t>(raw_dump(1, kMiB), kOverhead + root::kShmcb, kBase + kMiB),
       "Error reading '%s': shared-memory control block at 0x310000100000 is outside the loaded segments\n"},
      {"block_elsewhere",
       with<std::uint64_t>(raw_dump(1, kMiB), segment::kSize + shmcb::kTraceBlock, kBase + kMiB - 100),
       "Error reading '%s': trace control block at 0x3100000fff9c is outside the loaded segments\n"},
  };
  for (const auto& c : cases) {
    std::string path = dir.file(c.name);
    test::write_file(path, c.bytes);
    Loaded r = load_file(path);
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_EQ(r.err, with_path(c.message, path)) << c.name;
    EXPECT_EQ(r.out, c.out) << c.name;
    EXPECT_FALSE(image_contains(kBase, 1)) << c.name;
    EXPECT_TRUE(test::shm_segments_created_by(getpid()).empty()) << c.name;
  }
  Loaded missing = load_file(dir.file("absent"));
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "Unable to open input file '" + dir.file("absent") + "'\n");
  EXPECT_EQ(missing.out, "");
}

// Calls of the file layer and allocations made to fail: the Nth of a kind
// fails with `error`. Unless `mapped`, the file cannot be mapped, so that
// every body is read with read().
struct Injected {
  int open = 0, read = 0, seek = 0, alloc = 0;
  int error = 0;
  bool mapped = false;
};
Injected g_inject;
int g_reads, g_seeks, g_allocs;

// Whether this call of a kind (counted in `calls`) is the one to fail.
bool fails(int& calls, int at) { return ++calls == at; }

ssize_t failing_read(int fd, void* buffer, std::size_t count) {
  return fails(g_reads, g_inject.read) ? (errno = g_inject.error, -1) : ::read(fd, buffer, count);
}
off_t failing_seek(int fd, off_t offset, int whence) {
  return fails(g_seeks, g_inject.seek) ? (errno = g_inject.error, -1) : ::lseek(fd, offset, whence);
}
void* failing_malloc(std::size_t size) {
  return fails(g_allocs, g_inject.alloc) ? (errno = ENOMEM, nullptr) : std::malloc(size);
}
int failing_open(const char*, int, mode_t) {
  errno = g_inject.error;
  return -1;
}
void* refused_mmap(void*, std::size_t, int, int, int, off_t) {
  errno = ENODEV;
  return MAP_FAILED;
}

TEST(DumpReader, FailuresOfTheFileLayerAndOfAllocation) {
  test::TempDir dir;
  constexpr std::uint64_t kSize = 1 << 20;  // 64 body reads of 16 KiB each
  test::write_file(dir.file("dump"), raw_dump(2, kSize));
  struct Case {
    const char* name;
    Injected inject;
    std::string out;      // report lines of the layer
    std::string message;  // %s is the path
  };
  const std::string io_report = "read(): w32ec=5 at sys:N\n";
  const std::string seek_report = "lseek(): w32ec=5 at sys:N\n";
  const Case cases[] = {
      {"open refused", {.open = 1, .error = EACCES}, "open(): w32ec=13 at sys:N\n",
       "Unable to open input file '%s'\n"},
      {"first header", {.read = 1, .error = EIO}, io_report, "Error reading '%s' errno=5\n"},
      // A bad descriptor is the one read failure the layer does not report.
      {"first header, bad descriptor", {.read = 1, .error = EBADF}, "", "Error reading '%s' errno=9\n"},
      {"control block", {.read = 2, .error = EIO}, io_report, "Error reading '%s' errno=5\n"},
      {"seek to the control block", {.seek = 1, .error = EIO}, seek_report, "Error lseeking '%s' errno=9\n"},
      {"id table", {.alloc = 1}, "", "Error in rinfile malloc errno=12\n"},
      {"placement table", {.alloc = 2}, "", "Error in rinfile malloc errno=12\n"},
      {"header of segment 1", {.read = 3, .error = EIO}, io_report, "Error reading '%s' errno=5\n"},
      {"body of segment 1", {.read = 4, .error = EIO}, io_report, "Error reading '%s' errno=5\n"},
      {"header of segment 2", {.read = 68, .error = EIO}, io_report, "Error reading '%s' errno=5\n"},
      // Bodies copied from a mapping of the file take no read; the file
      // position moves past each with a seek.
      {"header of segment 2, bodies mapped", {.read = 4, .error = EIO, .mapped = true}, io_report,
       "Error reading '%s' errno=5\n"},
      {"seek past body 1", {.seek = 4, .error = EIO, .mapped = true}, seek_report,
       "lseek error (addr 0000310000000000) errno=9\n"},
      {"seek back over header 2, bodies mapped", {.seek = 5, .error = EIO, .mapped = true}, seek_report,
       "lseek error (addr 0000310000100000) errno=9\n"},
      // The seek back to the start is not checked: the reads go on after
      // the control block, where this dump has zeros for a header.
      {"seek back to the start", {.seek = 2, .error = EIO}, seek_report,
       "Error reading '%s': segment 1 has size 0\n"},
      {"seek back over header 1", {.seek = 3, .error = EIO}, seek_report,
       "lseek error (addr 0000310000000000) errno=9\n"},
      {"seek back over header 2", {.seek = 4, .error = EIO}, seek_report,
       "lseek error (addr 0000310000100000) errno=9\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_inject = c.inject;
    g_reads = g_seeks = g_allocs = 0;
    if (c.inject.open) sys::calls().open = failing_open;
    sys::calls().read = failing_read;
    sys::calls().lseek = failing_seek;
    sys::calls().malloc = failing_malloc;
    if (!c.inject.mapped) sys::calls().mmap = refused_mmap;
    Loaded r = load_file(dir.file("dump"));
    sys::reset_calls();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, with_path(c.message, dir.file("dump")));
    EXPECT_EQ(r.out, c.out);
    EXPECT_FALSE(image_contains(kBase, 1));
    EXPECT_TRUE(test::shm_segments_created_by(getpid()).empty());
  }
}

}  // namespace

// A file that shrinks while its bodies are being copied from a mapping of
// it: cut as the mapping is made, or as the Nth chunk of the copy is about
// to be written (the other copying threads may be ahead of it then).
struct Shrink {
  int at_chunk = 0;  // 0: as the file is mapped
  off_t to = 0;
  int failed_read = 0;  // this read fails with EIO (0: none)
  // Before cutting, wait until another thread has taken this chunk, so
  // that it has copied the one before, behind the cut (when the copy runs
  // on more than one thread).
  int after_chunk = 0;
};
Shrink g_shrink;
std::string g_shrink_path;
std::atomic<int> g_chunks;

void shrink_now() { ASSERT_EQ(::truncate(g_shrink_path.c_str(), g_shrink.to), 0); }
void* shrinking_mmap(void* address, std::size_t length, int protection, int flags, int fd, off_t offset) {
  void* map = ::mmap(address, length, protection, flags, fd, offset);
  if (g_shrink.at_chunk == 0) shrink_now();
  return map;
}
int shrinking_madvise(void* address, std::size_t length, int advice) {
  if (advice == MADV_POPULATE_WRITE && ++g_chunks == g_shrink.at_chunk) {
    if (g_shrink.after_chunk && sys::thread_count() > 1) {
      EXPECT_TRUE(test::eventually([] { return g_chunks >= g_shrink.after_chunk; }, std::chrono::seconds(20)));
    }
    shrink_now();
  }
  return ::madvise(address, length, advice);
}
// Put back the system's action: a bus error that reaches this handler
// comes again and ends the test, rather than going round for ever.
extern "C" void earlier_bus_handler(int) { signal(SIGBUS, SIG_DFL); }

TEST(DumpReader, AFileThatShrinksUnderTheCopyLoadsAsReadWouldHaveReadIt) {
  test::TempDir dir;
  // Two segments of four chunks each, so that several threads copy.
  constexpr std::uint64_t kSize = 8 << 20;
  constexpr off_t kMiB = 1 << 20;
  const std::string dump = raw_dump(2, kSize);
  struct Case {
    const char* name;
    Shrink shrink;
    int status;
    std::string message;  // %s is the path
    std::string out = "";
  };
  const Case cases[] = {
      {"into body 1 as it is mapped", {.to = 3 * kMiB + 100}, 1, "Error reading '%s' errno=0\n"},
      {"to the end of body 1", {.to = 8 * kMiB}, 1, "Error reading '%s' errno=0\n"},
      {"into body 1 at its third chunk", {.at_chunk = 3, .to = 5 * kMiB + 7}, 1, "Error reading '%s' errno=0\n"},
      {"into body 1 behind the copy", {.at_chunk = 4, .to = kMiB}, 1, "Error reading '%s' errno=0\n"},
      {"into body 2 at its second chunk", {.at_chunk = 6, .to = 8 * kMiB + 736 + 5 * kMiB / 2}, 0, ""},
      {"into body 2 as it is mapped", {.to = 11 * kMiB}, 0, ""},
      // A chunk past the cut that another thread copied before it becomes
      // zeros, as read() would never have read it.
      {"into body 2 behind a chunk copied ahead", {.at_chunk = 6, .to = 10 * kMiB, .after_chunk = 8}, 0, ""},
      // Reads go on where the mapping failed, and report what they meet.
      {"into body 1, the rest unreadable", {.to = 2 * kMiB + 1, .failed_read = 4}, 1, "Error reading '%s' errno=5\n",
       "read(): w32ec=5 at sys:N\n"},
  };
  struct sigaction earlier {};
  earlier.sa_handler = earlier_bus_handler;
  struct sigaction outside {};
  ASSERT_EQ(sigaction(SIGBUS, &earlier, &outside), 0);
  // The image as loaded: both segments' bytes, empty when not loaded.
  auto image_bytes = [&] {
    if (!image_contains(kBase, 2 * kSize)) return std::string();
    return std::string(reinterpret_cast<const char*>(address(kBase)), 2 * kSize);
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_shrink_path = dir.file("dump");
    test::write_file(g_shrink_path, dump);
    g_shrink = c.shrink;
    g_chunks = 0;
    g_inject = {.read = c.shrink.failed_read, .error = EIO};
    g_reads = 0;
    sys::calls().mmap = shrinking_mmap;
    sys::calls().madvise = shrinking_madvise;
    sys::calls().read = failing_read;
    Loaded shrunk = load_file(g_shrink_path);
    sys::reset_calls();
    std::string shrunk_image = image_bytes();
    release_dump();
    EXPECT_TRUE(test::shm_segments_created_by(getpid()).empty());
    struct stat st {};
    ASSERT_EQ(stat(g_shrink_path.c_str(), &st), 0);
    ASSERT_EQ(st.st_size, c.shrink.to) << "the file was not cut";
    struct sigaction now {};
    ASSERT_EQ(sigaction(SIGBUS, nullptr, &now), 0);
    EXPECT_EQ(now.sa_handler, earlier_bus_handler) << "the action in place before the load is back";

    EXPECT_EQ(shrunk.status, c.status);
    EXPECT_EQ(shrunk.err, with_path(c.message, g_shrink_path));
    EXPECT_EQ(shrunk.out, c.out);
    // The file of that length read with read() alone gives the same image.
    g_reads = 0;
    sys::calls().mmap = refused_mmap;
    sys::calls().read = failing_read;
    Loaded read = load_file(g_shrink_path);
    sys::reset_calls();
    EXPECT_EQ(read.status, shrunk.status);
    EXPECT_EQ(read.err, shrunk.err);
    EXPECT_TRUE(image_bytes() == shrunk_image) << "the images differ";
    if (c.status == 0) {
      // The segments lie back to back as in the file: its bytes, then zeros.
      std::string expected = dump.substr(0, static_cast<std::size_t>(c.shrink.to));
      expected.resize(dump.size(), '\0');
      EXPECT_TRUE(shrunk_image == expected) << "the image is not the shrunk file's bytes and zeros";
    }
    release_dump();
  }
  sigaction(SIGBUS, &outside, nullptr);
}

