// Live attach and detach against images in real segments made by this test
// process: every layout, every failure code, and that nothing stays mapped.
#include "shm/live_attach.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <grp.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "layouts/control_block_layout.h"
#include "layouts/field.h"
#include "layouts/segment_layout.h"
#include "layouts/shmcb_layout.h"
#include "platform/sys.h"
#include "shm/image.h"
#include "sim/shared_image.h"
#include "support/process.h"

namespace {

using kvf::sim::Layout;
using kvf::sim::SharedImage;

int attachments_of(int id) {
  shmid_ds ds{};
  if (shmctl(id, IPC_STAT, &ds) != 0) return -1;
  return static_cast<int>(ds.shm_nattch);
}

// Every segment of `image` is attached exactly `n` times.
void expect_attached(const SharedImage& image, int n) {
  for (int id : image.ids()) EXPECT_EQ(attachments_of(id), n) << "segment " << id;
}

std::string maps_line(std::uint64_t address) {
  std::ifstream in("/proc/self/maps");
  std::string line;
  while (std::getline(in, line)) {
    std::uint64_t lo = std::stoull(line.substr(0, line.find('-')), nullptr, 16);
    if (lo == address) return line;
  }
  return {};
}

std::vector<std::string> g_messages;
void collect(const char* text) { g_messages.emplace_back(text); }

class LiveAttach : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir((dir_.path() + "/etc").c_str(), 0755), 0);
    setenv("VELMORANDIR", dir_.path().c_str(), 1);
    setenv("VELMORANSERVER", "alpha", 1);
    g_messages.clear();
    kvf::set_system_message_sink(collect);
  }
  void TearDown() override {
    kvf::live_detach();
    kvf::sys::reset_calls();
    kvf::set_system_message_sink(nullptr);
    unsetenv("VELMORANDIR");
    unsetenv("VELMORANSERVER");
    EXPECT_EQ(kvf::attachment_count(), 0);
    EXPECT_EQ(kvf::root_pointer(), 0u);
  }
  std::string info_path() const { return dir_.path() + "/etc/.infos.alpha"; }
  // Publishes `image` in the information file and drops our own mapping,
  // as if another process had made it.
  void publish(SharedImage& image) {
    ASSERT_TRUE(image.write_info_file(info_path()));
    image.unmap();
  }

  test::TempDir dir_;
};

TEST_F(LiveAttach, OneSegmentAttachesAtTheServerAddressAndDetaches) {
  SharedImage image({.ring_records = 8});
  const std::uint64_t root = image.image().root();
  const std::uint64_t block = image.image().control_block();
  publish(image);

  ASSERT_EQ(kvf::live_attach(0, true), 0);
  EXPECT_TRUE(kvf::live_attached());
  EXPECT_EQ(kvf::root_pointer(), root);
  EXPECT_EQ(kvf::mt_shm_get_usercbp(), root);
  EXPECT_EQ(kvf::attachment_count(), 1);
  EXPECT_EQ(kvf::attached_segment_count(), 1);
  EXPECT_TRUE(kvf::image_contains(block, kvf::control::kUsedSize));
  EXPECT_EQ(kvf::load<std::int32_t>(kvf::address(block), kvf::control::kRingSize), 8);
  expect_attached(image, 1);
  EXPECT_NE(maps_line(image.base()).find("rw-s"), std::string::npos);

  // A second attach maps nothing new.
  EXPECT_EQ(kvf::live_attach(0, true), 0);
  expect_attached(image, 1);
  EXPECT_EQ(kvf::attachment_count(), 1);

  kvf::live_detach();
  EXPECT_FALSE(kvf::live_attached());
  expect_attached(image, 0);
  EXPECT_FALSE(kvf::image_contains(block, 1));
  EXPECT_EQ(maps_line(image.base()), "");
  // Read-only access maps without write.
  ASSERT_EQ(kvf::live_attach(0, false), 0);
  EXPECT_NE(maps_line(image.base()).find("r--s"), std::string::npos) << maps_line(image.base());
}

TEST_F(LiveAttach, SegmentsPiecesAndContinuationAllMappedAndAllDetached) {
  SharedImage image({.segments = 4, .pieces = 3, .continuation = true, .ring_records = 4});
  // 3 + 1 pieces in the first span, 3 in each of three further segments.
  ASSERT_EQ(image.ids().size(), 4u + 9u);
  auto segs = image.image().segments();
  ASSERT_EQ(segs.size(), 5u);
  const std::uint64_t root = image.image().root();
  publish(image);

  ASSERT_EQ(kvf::live_attach(0, true), 0);
  expect_attached(image, 1);
  // The continuation is covered by the first span: no entry of its own.
  EXPECT_EQ(kvf::attached_segment_count(), 4);
  EXPECT_EQ(kvf::attachment_count(), 4);
  EXPECT_EQ(kvf::root_pointer(), root);
  for (const auto& s : segs) {
    EXPECT_TRUE(kvf::image_contains(s.base, s.size)) << std::hex << s.base;
    EXPECT_EQ(kvf::load<std::uint64_t>(kvf::address(s.base), kvf::segment::kBase), s.base);
  }
  kvf::live_detach();
  expect_attached(image, 0);
}

TEST_F(LiveAttach, InformationFileWithTheWrongBaseFollowsTheSegmentHeader) {
  SharedImage image({});
  ASSERT_NO_FATAL_FAILURE(publish(image));
  // The file claims another free address (and then none at all); the
  // segment header tells the truth.
  for (std::uint64_t claimed : {std::uint64_t{image.base() + 0x10000000000ull}, std::uint64_t{0}}) {
    test::write_file(info_path(), kvf::sim::server_info_record(image.key(), claimed));
    ASSERT_EQ(kvf::live_attach(0, true), 0);
    EXPECT_TRUE(kvf::image_contains(image.base(), kvf::segment::kSize));
    EXPECT_EQ(maps_line(claimed), "");
    kvf::live_detach();
    expect_attached(image, 0);
  }
}

TEST_F(LiveAttach, ServerNotIdentifiedGives123) {
  EXPECT_EQ(kvf::live_attach(0, true), kvf::kAttachNotFound);  // no information file
  // A key with no segment behind it (a server that is gone). Which record
  // names the server is the server-information tests' concern.
  SharedImage image({});
  image.unmap();
  test::write_file(info_path(), kvf::sim::server_info_record(image.key() + 4000, image.base()));
  EXPECT_EQ(kvf::live_attach(0, true), kvf::kAttachNotFound);
  expect_attached(image, 0);
  EXPECT_TRUE(g_messages.empty());
}

// Images the attach takes or refuses, each with its code; a refused one
// stays attached nowhere.
TEST_F(LiveAttach, ImagesAndTheirCodes) {
  struct Case {
    const char* name;
    Layout layout;
    void (*spoil)(SharedImage&);
    int code;
    int minimum = 0;   // the caller's lowest root value
    int segments = 0;  // attached when taken
  };
  const Case cases[] = {
      {"segment mark", {.pieces = 2},
       [](SharedImage& i) { kvf::store<std::uint16_t>(i.image().local(i.base(), 2), 0, 0x1234); },
       kvf::kAttachNotFound},
      {"shmcb mark", {.pieces = 2},
       [](SharedImage& i) { kvf::store<std::uint16_t>(i.image().local(i.image().shmcb(), 2), 0, 0x1234); },
       kvf::kAttachNotFound},
      {"root value below the minimum", {.segments = 2, .attach_value = -1}, nullptr, kvf::kAttachBadRoot},
      {"root value at the minimum", {.attach_value = -1}, nullptr, 0, -1, 1},
      {"no root record", {},
       [](SharedImage& i) {
         kvf::store<std::uint64_t>(i.image().local(i.image().shmcb(), kvf::shmcb::kSize), kvf::shmcb::kRootHead, 0);
       },
       kvf::kAttachBadRoot},
      {"1024 segments", {.segments = 1024, .further_size = 4096}, nullptr, 0, 0, 1024},
      {"1025 segments", {.segments = 1025, .further_size = 4096}, nullptr, ENOMEM},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SharedImage image(c.layout);
    if (c.spoil) c.spoil(image);
    publish(image);
    EXPECT_EQ(kvf::live_attach(c.minimum, true), c.code);
    EXPECT_EQ(kvf::attached_segment_count(), c.segments);
    if (c.code == 0) kvf::live_detach();  // a refused image must have left nothing to detach
    expect_attached(image, 0);
    EXPECT_EQ(kvf::attachment_count(), 0);
    EXPECT_FALSE(kvf::live_attached());
    EXPECT_EQ(kvf::root_pointer(), 0u);
  }
}

TEST_F(LiveAttach, AddressInUseGives22AndIsNotOverwritten) {
  SharedImage image({});
  publish(image);
  void* taken = mmap(reinterpret_cast<void*>(image.base()), 4096, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  ASSERT_EQ(taken, reinterpret_cast<void*>(image.base()));
  static_cast<char*>(taken)[0] = 'x';
  EXPECT_EQ(kvf::live_attach(0, true), EINVAL);
  EXPECT_EQ(static_cast<char*>(taken)[0], 'x');
  munmap(taken, 4096);
  expect_attached(image, 0);
}

// Fault injection through the system-call table.
int g_calls = 0;
int g_fail_at = 0;
int g_fail_errno = 0;
// Call number g_fail_at fails with g_fail_errno; with EINTR, every call
// before it fails too and the later ones succeed.
void* failing_shmat(int id, const void* address, int flags) {
  ++g_calls;
  if (g_fail_errno == EINTR ? g_calls < g_fail_at : g_calls == g_fail_at) {
    errno = g_fail_errno;
    return reinterpret_cast<void*>(-1);
  }
  return shmat(id, address, flags);
}

// Interrupted calls are repeated; a piece that fails undoes the attach and
// reports.
TEST_F(LiveAttach, InterruptedCallsAreRepeatedAFailedPieceUndoesTheAttach) {
  SharedImage image({.segments = 3, .pieces = 2});
  publish(image);
  // shmat calls: first span 1-2, second segment 3-4, third segment 5-6.
  struct Case {
    int at;
    int error;
  };
  for (Case c : {Case{4, EINTR} /* the first three fail */, {2, ENOMEM}, {4, ENOMEM}, {5, ENOMEM}}) {
    SCOPED_TRACE(::testing::Message() << "failing call " << c.at << ", errno " << c.error);
    g_messages.clear();
    g_calls = 0, g_fail_at = c.at, g_fail_errno = c.error;
    kvf::sys::calls().shmat = failing_shmat;
    if (c.error == EINTR) {
      EXPECT_EQ(kvf::live_attach(0, true), 0);
      expect_attached(image, 1);
      EXPECT_TRUE(g_messages.empty());
      kvf::live_detach();
      continue;
    }
    EXPECT_EQ(kvf::live_attach(0, true), ENOMEM);
    expect_attached(image, 0);
    EXPECT_EQ(kvf::attachment_count(), 0);
    EXPECT_EQ(g_messages, (std::vector<std::string>{
                              "shmat: [12]: operating system error",
                              "Client could not attach server shared memory segment, use VLM_XFER_SHMBASE."}));
  }
}

TEST_F(LiveAttach, FailedDetachIsReported) {
  SharedImage image({.segments = 2});
  publish(image);
  ASSERT_EQ(kvf::live_attach(0, true), 0);
  kvf::sys::calls().shmdt = [](const void*) {
    errno = EINVAL;
    return -1;
  };
  EXPECT_EQ(kvf::detach_all(), -1);
  ASSERT_EQ(g_messages.size(), 2u);
  EXPECT_EQ(g_messages[0], "shmdt: errno = 22");
  kvf::sys::reset_calls();
  // The mappings stay; drop them directly so that the image can go.
  for (const auto& s : image.image().segments()) shmdt(reinterpret_cast<void*>(s.base));
}

std::vector<std::string> g_assertions;
TEST_F(LiveAttach, UserBlockWhileDetachedIsAnAssertion) {
  g_assertions.clear();
  kvf::set_assertion_sink([](const char* condition, const char* function) {
    g_assertions.push_back(std::string(condition) + " " + function);
  });
  EXPECT_EQ(kvf::mt_shm_get_usercbp(), 0u);
  kvf::set_assertion_sink(nullptr);
  ASSERT_EQ(g_assertions.size(), 1u);
  EXPECT_EQ(g_assertions[0], "attached mt_shm_get_usercbp");
}

TEST_F(LiveAttach, AnotherAccountWithoutSegmentPermissionGets13) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch accounts";
  SharedImage image({});
  publish(image);
  ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(200);
    _exit(kvf::live_attach(0, true));
  }
  int raw = 0;
  waitpid(child, &raw, 0);
  ASSERT_TRUE(WIFEXITED(raw));
  EXPECT_EQ(WEXITSTATUS(raw), EACCES);
}

}  // namespace
