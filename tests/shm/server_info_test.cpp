// Server identification: the information-file path, the record scan and the
// file layer's handling of interrupted and failed calls.
#include "shm/server_info.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>

#include "platform/sys.h"
#include "sim/shared_image.h"
#include "support/process.h"

namespace {

using kvf::sim::info_record;
using kvf::sim::segment_info_record;
using kvf::sim::server_info_record;

class ServerInfo : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir((dir_.path() + "/etc").c_str(), 0755), 0);
    setenv("VELMORANDIR", dir_.path().c_str(), 1);
    setenv("VELMORANSERVER", "alpha", 1);
  }
  void TearDown() override {
    kvf::sys::reset_calls();
    kvf::set_setting_lookup(nullptr);
    unsetenv("VELMORANDIR");
    unsetenv("VELMORANSERVER");
  }
  void write_info(const std::string& records) { test::write_file(dir_.path() + "/etc/.infos.alpha", records); }

  test::TempDir dir_;
};

TEST_F(ServerInfo, PathJoinsDirectoryEtcSuffixAndServer) {
  std::string path;
  ASSERT_EQ(kvf::server_file_path(path, ".infos."), 0);
  EXPECT_EQ(path, dir_.path() + "/etc/.infos.alpha");
  ASSERT_EQ(kvf::server_file_path(path, ".x.", "beta"), 0);
  EXPECT_EQ(path, dir_.path() + "/etc/.x.beta");
  // A trailing separator is kept as it is.
  setenv("VELMORANDIR", "/opt/v/", 1);
  ASSERT_EQ(kvf::server_file_path(path, ".infos."), 0);
  EXPECT_EQ(path, "/opt/v//etc/.infos.alpha");
  // The default installation directory, and no server.
  unsetenv("VELMORANDIR");
  unsetenv("VELMORANSERVER");
  EXPECT_EQ(kvf::server_file_path(path, ".infos."), -1);
  ASSERT_EQ(kvf::server_file_path(path, ".infos.", "gamma"), 0);
  EXPECT_EQ(path, "/usr/velmoran/etc/.infos.gamma");
}

TEST_F(ServerInfo, UnsetDirectoryFromTheInstalledLookupFails) {
  kvf::set_setting_lookup([](const char* name) -> const char* {
    return std::string_view(name) == "VELMORANSERVER" ? "alpha" : nullptr;
  });
  std::string path;
  EXPECT_EQ(kvf::server_file_path(path, ".infos."), -1);
  std::uint64_t base = 0;
  EXPECT_EQ(kvf::find_server(base), -1);
  EXPECT_EQ(base, UINT64_MAX);
}

TEST_F(ServerInfo, FirstServerRecordWins) {
  struct Case {
    const char* name;
    std::optional<std::string> file;
    std::int32_t key;
    std::uint64_t base;
  };
  const Case cases[] = {
      {"no file", std::nullopt, -1, UINT64_MAX},
      {"segment records only", segment_info_record(0, 5, 0x1000, 4096) + segment_info_record(1, 6, 0x2000, 4096),
       -1, UINT64_MAX},
      {"empty", "", -1, UINT64_MAX},
      // The key is taken as it is, top bit and all.
      {"two servers", segment_info_record(0, 5, 0x1000, 4096) + info_record(1, 2, 77, 0x2000) +
                          server_info_record(-5, 0x200000000000ull) + server_info_record(9, 0x300000000000ull),
       -5, 0x200000000000ull},
      // Cut short after its key: still read, the base as zeros.
      {"cut record", segment_info_record(0, 5, 0x1000, 4096) + server_info_record(42, 0x200000000000ull).substr(0, 16),
       42, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.file) write_info(*c.file);
    std::uint64_t base = 7;
    EXPECT_EQ(kvf::find_server(base), c.key);
    EXPECT_EQ(base, c.base);
  }
}

int g_opens = 0;

// An interrupted open is repeated; a missing file is silent; any other
// failure ends the scan and is reported on standard output.
TEST_F(ServerInfo, InterruptedCallsAreRepeatedFailedOnesEndTheScanWithAReport) {
  write_info(server_info_record(3, 0x200000000000ull));
  struct Case {
    const char* name;
    void (*inject)();
    const char* report;
    std::int32_t key = -1;
  };
  const Case cases[] = {
      {"open interrupted three times",
       [] {
         g_opens = 0;
         kvf::sys::calls().open = [](const char* path, int flags, mode_t mode) {
           return ++g_opens <= 3 ? (errno = EINTR, -1) : open(path, flags, mode);
         };
       },
       "", 3},
      {"open refused", [] { kvf::sys::calls().open = [](const char*, int, mode_t) { return errno = EACCES, -1; }; },
       "open(): w32ec=13 at sys:"},
      {"read fails",
       [] { kvf::sys::calls().read = [](int, void*, std::size_t) -> ssize_t { return errno = EIO, -1; }; },
       "read(): w32ec=5 at sys:"},
      {"no file", [] { setenv("VELMORANSERVER", "nosuch", 1); }, ""},
  };
  for (const Case& c : cases) {
    c.inject();
    testing::internal::CaptureStdout();
    std::uint64_t base = 0;
    EXPECT_EQ(kvf::find_server(base), c.key) << c.name;
    std::string out = testing::internal::GetCapturedStdout();
    kvf::sys::reset_calls();
    if (*c.report == '\0') EXPECT_EQ(out, "") << c.name;
    else EXPECT_TRUE(out.rfind(c.report, 0) == 0 && out.back() == '\n') << c.name << ": " << out;
  }
  EXPECT_EQ(g_opens, 4);
}

}  // namespace
