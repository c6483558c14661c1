// The dump reader in-process: placement at the recorded addresses, the
// failure messages, and release leaving no segment behind.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <string>

#include "shm/dump_reader.h"
#include "layouts/field.h"
#include "shm/image.h"
#include "layouts/segment_layout.h"
#include "layouts/shmcb_layout.h"
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

struct Loaded {
  int status;
  std::string err;
};

Loaded load_file(const std::string& path) {
  testing::internal::CaptureStderr();
  int status = rinfile(path.c_str(), 0);
  return {status, testing::internal::GetCapturedStderr()};
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
  };
  std::string low_overhead = raw_dump(1, 1 << 20);
  store<std::uint64_t>(low_overhead.data(), segment::kOverhead, 1000);
  std::string no_segments = raw_dump(1, 1 << 20);
  store<std::int16_t>(no_segments.data() + segment::kSize, shmcb::kSegmentCount, -3);
  std::string zero_size = raw_dump(2, 1 << 20);
  store<std::uint64_t>(zero_size.data() + (1 << 20), segment::kSegmentSize, 0);
  std::string null_base = raw_dump(1, 1 << 20, 0);
  std::string root_elsewhere = raw_dump(1, 1 << 20);
  store<std::uint64_t>(root_elsewhere.data() + segment::kSize, shmcb::kRootHead, kBase + (1 << 20));
  std::string missing_segment = raw_dump(2, 1 << 20).substr(0, (1 << 20) + 100);
  // The root record's shmcb pointer, then the shmcb's block pointer, aimed
  // past the loaded segment.
  std::string shmcb_elsewhere = raw_dump(1, 1 << 20);
  store<std::uint64_t>(shmcb_elsewhere.data(), kOverhead + root::kShmcb, kBase + (1 << 20));
  std::string block_elsewhere = raw_dump(1, 1 << 20);
  store<std::uint64_t>(block_elsewhere.data(), segment::kSize + shmcb::kTraceBlock, kBase + (1 << 20) - 100);

  Case cases[] = {
      {"short", std::string(735, 'x'), "Error reading '%s' errno=0\n"},
      {"low_overhead", low_overhead, "Error lseeking '%s' errno=22\n"},
      {"short_shmcb", raw_dump(1, 1 << 20).substr(0, 200000), "Error reading '%s' errno=0\n"},
      {"no_segments", no_segments, "Error reading '%s': segment count -3 in the control block\n"},
      {"zero_size", zero_size, "Error reading '%s': segment 2 has size 0\n"},
      {"null_base", null_base, "rinfile: shmget/shmat error (cnt 1048576) errno=22\n"},
      {"missing_segment", missing_segment, "Error reading '%s' errno=0\n"},
      {"root_elsewhere", root_elsewhere,
       "Error reading '%s': root record at 0x310000100000 is outside the loaded segments\n"},
      {"shmcb_elsewhere", shmcb_elsewhere,
       "Error reading '%s': shared-memory control block at 0x310000100000 is outside the loaded segments\n"},
      {"block_elsewhere", block_elsewhere,
       "Error reading '%s': trace control block at 0x3100000fff9c is outside the loaded segments\n"},
  };
  for (const auto& c : cases) {
    std::string path = dir.file(c.name);
    test::write_file(path, c.bytes);
    Loaded r = load_file(path);
    std::string expected = c.message;
    if (auto at = expected.find("%s"); at != std::string::npos) expected.replace(at, 2, path);
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_EQ(r.err, expected) << c.name;
    EXPECT_FALSE(image_contains(kBase, 1)) << c.name;
    EXPECT_TRUE(test::shm_segments_created_by(getpid()).empty()) << c.name;
  }
  Loaded missing = load_file(dir.file("absent"));
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "Unable to open input file '" + dir.file("absent") + "'\n");
}

}  // namespace
