// installation.h -- a throw-away installation for whole-program tests: its
// own VELMORANDIR with the registry set up for one server and the built
// message catalogues, and helpers to run kavrex and kavrex-sim in it.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/process.h"

namespace test {

class Installation {
 public:
  explicit Installation(std::string server = "kvtest");

  const std::string& dir() const { return dir_.path(); }
  const std::string& server() const { return server_; }
  std::string file(const std::string& name) const { return dir_.file(name); }

  // The environment of a run in this installation: VELMORANDIR,
  // VELMORANSERVER, no locale variables, HOME inside the installation.
  RunOptions options() const;

  // Runs the built program `name` in this installation; `extra` adds its
  // environment and gives standard input and the timeout.
  RunResult run(const std::string& name, const std::vector<std::string>& args, RunOptions extra = {}) const;
  RunResult kavrex(const std::vector<std::string>& args, RunOptions extra = {}) const {
    return run("kavrex", args, std::move(extra));
  }
  // The same, as the account `nobody` (which may not administer the server).
  RunResult kavrex_as_nobody(const std::vector<std::string>& args) const;
  // The command line and environment of such a run, for a test that needs
  // the process while it runs.
  std::vector<std::string> kavrex_as_nobody_argv(const std::vector<std::string>& args) const;
  RunOptions nobody_options() const;
  // Lists `nobody` in the server's user-number table, as an administrator
  // does for an account before its first run.
  void register_nobody(int number = 501) const;

  // Starts kavrex-sim for this installation's server and waits until it is
  // ready. It is stopped (and its segments removed) with the Child.
  std::unique_ptr<Child> start_sim(const std::vector<std::string>& args = {}) const;

 private:
  TempDir dir_;
  std::string server_;
};

// Exactly what the tool writes as its usage text.
extern const char* const kUsageText;

}  // namespace test
