// process.h -- running the built programs from tests: one-shot runs with
// captured output and status, background children, temporary directories.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace test {

// Path of a built program (build/bin/NAME).
std::string program(const std::string& name);

struct RunResult {
  int status = -1;        // exit status, or 128 + signal when killed
  bool timed_out = false;
  std::string out;
  std::string err;
};

struct RunOptions {
  // Variables set (or, with an empty optional, removed) on top of the
  // test's own environment.
  std::map<std::string, std::optional<std::string>> env;
  std::string input;  // written to the child's standard input
  std::chrono::milliseconds timeout{30000};
  std::string input_file;  // when set, standard input is this file instead
};

// Runs argv[0] with argv and waits for it, killing it after the timeout.
RunResult run(const std::vector<std::string>& argv, const RunOptions& options = {});
// The same for the built program `name` with `args`.
RunResult run_program(const std::string& name, const std::vector<std::string>& args,
                      const RunOptions& options = {});

// A program running in the background while a test works with it. Its
// standard output and error go to files that the test can read at any time.
// When the Child goes it is asked to end (SIGTERM, then SIGKILL after 5 s);
// it also dies with the test process (PR_SET_PDEATHSIG), so a failed test
// never leaves it running.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const RunOptions& options = {});
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  std::string out() const;
  std::string err() const;
  // Waits until the standard output holds `text`; false after the timeout.
  bool wait_for_output(const std::string& text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(60)) const;
  void signal(int sig);
  // Waits for the end and returns the status as RunResult::status does;
  // -1 on timeout (the child then still runs).
  int wait(std::chrono::milliseconds timeout = std::chrono::seconds(60));
  bool running();

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  bool reaped_ = false;
  std::string out_path_, err_path_;
};

// A directory removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string read_file(const std::string& path);
void sleep_ms(int ms);
void write_file(const std::string& path, const std::string& data);
// Every name in `dir`, hidden ones included, sorted.
std::vector<std::string> names_in(const std::string& dir);

// Polls `condition` every 10 ms until it holds; false when `cap` runs out
// first. The cap only guards against a hang: a busy machine may take long,
// so tests wait for what they need instead of sleeping a fixed time.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds cap = std::chrono::seconds(60)) {
  auto deadline = std::chrono::steady_clock::now() + cap;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    sleep_ms(10);
  }
}

// Ids of the System V segments that the process `creator` created and that
// still exist (from /proc/sysvipc/shm).
std::vector<int> shm_segments_created_by(pid_t creator);

}  // namespace test
