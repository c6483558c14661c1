// The registry's value writes with the system made to fail through the call
// table: the value keeps its old data, the key holds no temporary file, and
// the code is the one the registry gives for the error (every step of the
// atomic replacement failing is the platform test's).
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/sys.h"
#include "startup/registry.h"
#include "support/process.h"

namespace {

namespace reg = kvf::reg;
namespace sys = kvf::sys;

int g_error = 0;

TEST(Registry, AFailedValueWriteKeepsTheOldValueAndLeavesNoTemporaryFile) {
  test::TempDir dir;
  const reg::Hive hive{dir.file("HKLM")};
  const std::string key = reg::server_key("srv", {"Environment"});
  ASSERT_EQ(reg::create_key(hive, key), 0);
  ASSERT_EQ(reg::write_string(hive, key, "DBPATH", "old"), 0);
  struct Case {
    const char* name;
    void (*inject)();
    int error;
    int code;
  };
  const Case cases[] = {
      {"temporary file refused",
       [] { sys::calls().mkstemp = [](char*) { return errno = g_error, -1; }; }, EACCES, reg::kAccessDenied},
      {"write fails",
       [] { sys::calls().write = [](int, const void*, std::size_t) -> ssize_t { return errno = g_error, -1; }; },
       ENOSPC, reg::kCantWrite},
      {"rename fails", [] { sys::calls().rename = [](const char*, const char*) { return errno = g_error, -1; }; },
       EXDEV, reg::kCantWrite},
      {"rename refused", [] { sys::calls().rename = [](const char*, const char*) { return errno = g_error, -1; }; },
       EACCES, reg::kAccessDenied},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_error = c.error;
    c.inject();
    int code = reg::write_string(hive, key, "DBPATH", "new");
    sys::reset_calls();
    EXPECT_EQ(code, c.code);
    std::string value;
    EXPECT_EQ(reg::read_string(hive, key, "DBPATH", value, 100), 0);
    EXPECT_EQ(value, "old");
    EXPECT_EQ(test::names_in(reg::key_dir(hive, key)), std::vector<std::string>{"DBPATH"});
  }
  // And with nothing failing, the new value and still no other file.
  ASSERT_EQ(reg::write_string(hive, key, "DBPATH", "new"), 0);
  std::string value;
  EXPECT_EQ(reg::read_string(hive, key, "DBPATH", value, 100), 0);
  EXPECT_EQ(value, "new");
  EXPECT_EQ(test::names_in(reg::key_dir(hive, key)), std::vector<std::string>{"DBPATH"});
}

}  // namespace
