// startup_fixture.h -- a clean start-up environment per test: its own
// VELMORANDIR, no locale or catalogue variables, the locale start forgotten,
// the user settings file inside the test directory; helpers to run a step on
// a fresh thread (fresh per-thread settings and catalogue state) or in a
// child process (fresh process-wide state) with its output captured.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "startup/locale.h"
#include "startup/settings.h"
#include "support/process.h"

namespace startup_test {

inline std::string g_home;  // the fake home directory of the current test

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* v : {"VELMORANDIR", "VELMORANSERVER", "DBLANG", "CLIENT_LOCALE", "DB_LOCALE",
                          "DBNLS", "LANG", "LC_COLLATE", "LC_CTYPE", "LC_MONETARY", "LC_NUMERIC",
                          "LC_TIME", "ENVIGNORE", "VLM_FREE_FD", "GL_USEGLU", "DBPATH", "DBDATE",
                          "TERM", "DBTEMP"}) {
      const char* old = std::getenv(v);
      saved_[v] = old ? std::optional<std::string>(old) : std::nullopt;
      ::unsetenv(v);
    }
    ::setenv("VELMORANDIR", dir_.path().c_str(), 1);
    g_home = dir_.file("home");
    kvf::set_home_lookup([](std::string& home) {
      home = g_home;
      return true;
    });
    kvf::locale_reset_for_tests();
  }
  void TearDown() override {
    for (const auto& [name, value] : saved_) {
      if (value) ::setenv(name.c_str(), value->c_str(), 1);
      else ::unsetenv(name.c_str());
    }
    kvf::set_home_lookup(nullptr);
    kvf::locale_reset_for_tests();
  }

  // Runs `f` on a new thread, which starts with empty per-thread state.
  static void on_thread(const std::function<void()>& f) {
    std::thread t(f);
    t.join();
  }

  std::string root() const { return dir_.path(); }
  void write(const std::string& rel, const std::string& data) const;

  test::TempDir dir_;

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

// Runs `f` in a forked child; its return value is the exit status.
test::RunResult in_child(const std::function<int()>& f);

}  // namespace startup_test
