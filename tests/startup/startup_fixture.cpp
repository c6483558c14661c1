// startup_fixture.cpp -- the fixture's file writer and the forked-child
// runner with captured standard output and error.
#include "startup_fixture.h"

#include <csignal>
#include <cstdio>
#include <filesystem>

#include <sys/wait.h>
#include <unistd.h>

namespace startup_test {

void StartupTest::write(const std::string& rel, const std::string& data) const {
  std::string path = dir_.file(rel);
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  test::write_file(path, data);
}

test::RunResult in_child(const std::function<int()>& f) {
  test::TempDir tmp;
  std::string out = tmp.file("out"), err = tmp.file("err");
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    if (!std::freopen(out.c_str(), "w", stdout) || !std::freopen(err.c_str(), "w", stderr))
      _exit(120);
    // Start as a program started from a shell's foreground does, whatever
    // the test runner inherited (a run in the background ignores SIGINT).
    for (int s = 1; s < 32; ++s) ::signal(s, SIG_DFL);
    int rc = f();
    std::fflush(nullptr);
    _exit(rc);
  }
  test::RunResult r;
  int raw = 0;
  if (pid < 0 || ::waitpid(pid, &raw, 0) != pid) return r;
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  r.out = test::read_file(out);
  r.err = test::read_file(err);
  return r;
}

}  // namespace startup_test
