// An installation made by `cmake --install` into a temporary prefix: its
// layout, a user's first steps with the installed programs against the
// stand-in server, the administrators' group, the shell profile, the journal
// unit and the bash completion.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "support/process.h"

namespace {

namespace fs = std::filesystem;
using test::RunResult;

const std::vector<std::string> kPrograms{"kavrex",      "kavrex-sim",  "kavrex-reg",
                                         "kavrex-msgc", "kavrex-snap", "kavrex-export"};

// A fresh installation for each test (cmake --install takes a moment).
class Installed : public testing::Test {
 protected:
  void SetUp() override {
    ::chmod(dir_.path().c_str(), 0755);  // an installation is readable by every account
    test::RunOptions o;
    o.timeout = std::chrono::minutes(2);
    RunResult r = test::run(
        {"/usr/bin/env", "cmake", "--install", std::string(KAVREX_BIN_DIR) + "/..", "--prefix", prefix_}, o);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
  }

  // A shell in the installation as its user has it: PATH and VELMORANDIR
  // name the prefix, nothing else is set up.
  RunResult shell(const std::string& script, const std::string& server = "") const {
    test::RunOptions o;
    o.env["PATH"] = prefix_ + "/bin:/usr/bin:/bin";
    o.env["VELMORANDIR"] = prefix_;
    o.env["HOME"] = dir_.path();
    o.env["VELMORANSERVER"] = server.empty() ? std::nullopt : std::optional<std::string>(server);
    for (const char* v : {"DBLANG", "CLIENT_LOCALE", "DB_LOCALE", "DBNLS", "LANG", "LC_ALL", "ENVIGNORE"})
      o.env[v] = std::nullopt;
    o.timeout = std::chrono::seconds(60);
    return test::run({"/bin/sh", "-ec", script}, o);
  }

  test::TempDir dir_;
  const std::string prefix_ = dir_.file("prefix");
};

TEST_F(Installed, LayoutTheToolExpects) {
  for (const auto& p : kPrograms) {
    fs::path bin = fs::path(prefix_) / "bin" / p;
    EXPECT_TRUE(fs::is_regular_file(bin)) << p;
    EXPECT_NE(fs::status(bin).permissions() & fs::perms::others_exec, fs::perms::none) << p;
    EXPECT_TRUE(fs::is_regular_file(fs::path(prefix_) / "share/man/man1" / (p + ".1"))) << p;
    EXPECT_TRUE(fs::exists(fs::path(prefix_) / "share/bash-completion/completions" / p)) << p;
  }
  for (const char* cat : {"syserr.vem", "winsrv.vem"})
    EXPECT_TRUE(fs::is_regular_file(fs::path(prefix_) / "msg/en_us/0333" / cat)) << cat;
  EXPECT_TRUE(fs::is_directory(prefix_ + "/etc/registry/HKLM/SOFTWARE/Velmoran/Corvane"));
  EXPECT_TRUE(fs::is_empty(prefix_ + "/etc/registry/HKLM/SOFTWARE/Velmoran/Corvane"));
  // The example settings file sets nothing: every setting line is a comment.
  std::string rc = test::read_file(prefix_ + "/etc/velmoran.rc");
  ASSERT_FALSE(rc.empty());
  EXPECT_EQ(rc.back(), '\n');
  std::istringstream lines(rc);
  for (std::string line; std::getline(lines, line);) EXPECT_TRUE(line.empty() || line[0] == '#') << line;
}

// The first steps of the README, as a user takes them, with the programs
// of the installation only.
TEST_F(Installed, FirstSteps) {
  RunResult setup = shell("kavrex-reg setup srv1");
  ASSERT_EQ(setup.status, 0) << setup.err;
  EXPECT_NE(setup.out.find("VLDBSA Group"), std::string::npos) << setup.out;
  EXPECT_NE(setup.out.find("velmoran"), std::string::npos) << setup.out;

  // The server, then the tool: tracing on for a moment, the settings, the
  // ring, a snapshot and its export.
  test::RunOptions env;
  env.env["VELMORANDIR"] = prefix_;
  test::Child sim({prefix_ + "/bin/kavrex-sim", "--server", "srv1", "--records", "100", "--rate", "400",
                   "--level", "2"},
                  env);
  ASSERT_TRUE(sim.wait_for_output("kavrex-sim: ready\n")) << sim.err();
  RunResult r = shell(
      "cd \"$HOME\"\n"
      "kavrex on\n"
      "sleep 0.5\n"
      "for i in $(seq 600); do kavrex fview | grep -q '^KVF_' && break; sleep 0.1; done\n"
      "kavrex off\n"
      "kavrex info | sed -n '1p;2p;$p'\n"
      "kavrex fview | sed -n 2p | cut -c1-4\n"
      "kavrex-snap -o first.dump | cut -d: -f1\n"
      "kavrex-export first.dump | grep -c '\"kind\":\"record\"'\n",
      "srv1");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  // The info lines, a record line, the snapshot's name, the record count.
  const std::string expected =
      "kavrex size 100\nkavrex med -c KVF_TEST_C -f KVF_TEST_F\nkavrex off\nKVF_\nfirst.dump\n";
  ASSERT_EQ(r.out.substr(0, expected.size()), expected);
  // How many records came while tracing was on depends on the machine's
  // pace; the snapshot's export has what the ring held, at least the one
  // record waited for.
  EXPECT_GT(std::stoi(r.out.substr(expected.size())), 0);
}

// An account outside the server's DBSA group is refused before anything
// is read; once the group is among its groups it may work on the server,
// which runs with that group (as `sudo -g GROUP kavrex-sim` starts it). An
// existing group, "users", stands for the DBSA group, so that nothing in
// the system's account databases changes.
TEST_F(Installed, AdministratorsAreTheDbsaGroup) {
  RunResult setup = shell("kavrex-reg setup srv2 --dbsa-group users");
  ASSERT_EQ(setup.status, 0) << setup.err;
  EXPECT_NE(setup.out.find("may be written by root and by members of group users:\n"), std::string::npos)
      << setup.out;
  test::RunOptions env;
  env.env["VELMORANDIR"] = prefix_;
  test::Child sim({"/usr/bin/setpriv", "--regid=users", "--clear-groups", prefix_ + "/bin/kavrex-sim",
                   "--server", "srv2", "--records", "20"},
                  env);
  ASSERT_TRUE(sim.wait_for_output("kavrex-sim: ready\n")) << sim.err();
  std::string as_nobody = "setpriv --reuid=nobody --regid=nogroup ";
  RunResult refused = shell(as_nobody + "--clear-groups kavrex on", "srv2");
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.out.rfind("ERROR: Could not initialize the security subsystem.", 0), 0u)
      << refused.out << refused.err;
  RunResult admitted = shell(as_nobody + "--groups=users kavrex on && " + as_nobody +
                                 "--groups=users kavrex info",
                             "srv2");
  EXPECT_EQ(admitted.status, 0) << admitted.out << admitted.err;
  EXPECT_EQ(admitted.out, "kavrex size 20\nkavrex on\n");
}

// The shell environment an administrator's ~/.profile reads: with nothing
// set before, the programs, their manual and the installation are found;
// read twice, it adds nothing twice.
TEST_F(Installed, ProfileGivesTheShellItsEnvironment) {
  test::RunOptions o;
  o.env["PATH"] = "/usr/bin:/bin";
  for (const char* v : {"VELMORANDIR", "VELMORANSERVER", "MANPATH", "XDG_DATA_DIRS"}) o.env[v] = std::nullopt;
  const std::string profile = prefix_ + "/share/kavrex/profile.sh";
  RunResult r = test::run({"/bin/sh", "-ec",
                           ". '" + profile + "'; . '" + profile + "'\n"
                           "echo \"$VELMORANDIR\"\n"
                           "command -v kavrex-export\n"
                           "man -w kavrex\n"
                           "echo \"$PATH\"\n"},
                          o);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, prefix_ + "\n" + prefix_ + "/bin/kavrex-export\n" + prefix_ + "/share/man/man1/kavrex.1\n" +
                       prefix_ + "/bin:/usr/bin:/bin\n");
  // A VELMORANDIR set before is kept.
  o.env["VELMORANDIR"] = "/elsewhere";
  EXPECT_EQ(test::run({"/bin/sh", "-ec", ". '" + profile + "'; echo \"$VELMORANDIR\""}, o).out, "/elsewhere\n");
}

// The systemd unit that follows a server into the journal names this
// installation's program and passes systemd's own check.
TEST_F(Installed, ExportServiceUnitVerifies) {
  const std::string unit = prefix_ + "/share/kavrex/kavrex-export@.service";
  std::string text = test::read_file(unit);
  EXPECT_NE(text.find("ExecStart=" + prefix_ + "/bin/kavrex-export -t --new\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Environment=VELMORANDIR=" + prefix_ + "\n"), std::string::npos) << text;
  test::RunOptions o;
  o.env["MANPATH"] = prefix_ + "/share/man:";  // the unit's Documentation= is checked through man
  RunResult r = test::run({"/usr/bin/systemd-analyze", "verify", unit}, o);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out + r.err, "");
}

// Installations made at the same time into different prefixes (as these
// tests make theirs) each carry their own paths. A shared file in the
// build tree made most runs of eight fail here.
TEST_F(Installed, AtTheSameTimeEachHasItsOwnPaths) {
  constexpr int kAtOnce = 8;
  std::vector<std::unique_ptr<test::Child>> installs;
  for (int i = 0; i < kAtOnce; ++i)
    installs.push_back(std::make_unique<test::Child>(std::vector<std::string>{
        "/usr/bin/env", "cmake", "--install", std::string(KAVREX_BIN_DIR) + "/..", "--prefix",
        dir_.file("at-once" + std::to_string(i))}));
  for (auto& c : installs) EXPECT_EQ(c->wait(std::chrono::minutes(2)), 0) << c->err();
  for (int i = 0; i < kAtOnce; ++i) {
    const std::string prefix = dir_.file("at-once" + std::to_string(i));
    EXPECT_NE(test::read_file(prefix + "/share/kavrex/profile.sh").find("VELMORANDIR='" + prefix + "'\n"),
              std::string::npos)
        << prefix;
    EXPECT_NE(test::read_file(prefix + "/share/kavrex/kavrex-export@.service").find("VELMORANDIR=" + prefix + "\n"),
              std::string::npos)
        << prefix;
  }
}

// Completion as bash-completion loads it: the file of the command's name.
TEST_F(Installed, BashCompletion) {
  ASSERT_EQ(shell("kavrex-reg setup completed3").status, 0);
  auto complete = [&](const std::string& command, const std::string& words) {
    std::string script = "source '" + prefix_ + "/share/bash-completion/completions/" + command +
                         "'; COMP_WORDS=(" + words + "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); " +
                         "$(complete -p " + command + " | sed 's/.*-F \\([^ ]*\\).*/\\1/'); " +
                         "echo \"${COMPREPLY[*]}\"";
    test::RunOptions o;
    o.env["VELMORANDIR"] = prefix_;
    RunResult r = test::run({"/bin/bash", "-c", script}, o);
    EXPECT_EQ(r.err, "") << command << " " << words;
    return r.out;
  };
  EXPECT_EQ(complete("kavrex", "kavrex fv"), "fview\n");
  EXPECT_EQ(complete("kavrex", "kavrex med -f KVF_TRAN"), "KVF_TRANS KVF_TRANX\n");
  EXPECT_EQ(complete("kavrex-reg", "kavrex-reg s"), "setup\n");
  EXPECT_EQ(complete("kavrex-reg", "kavrex-reg setup compl"), "completed3\n");
  EXPECT_EQ(complete("kavrex-sim", "kavrex-sim --fl"), "--flat-out\n");
  EXPECT_EQ(complete("kavrex-snap", "kavrex-snap -"), "-o --check --help --version\n");
  EXPECT_EQ(complete("kavrex-export", "kavrex-export --"),
            "--component --feature --session --pid --since --until --grep --limit --follow --new --stats "
            "--sqlite --allow-truncated --names --help --version\n");
  // Names after the filter options: the last item of a list, after a space
  // or an '='; nothing after an option that takes a number.
  EXPECT_EQ(complete("kavrex-export", "kavrex-export -c KVF_SORT,KVF_LCK"), "KVF_SORT,KVF_LCK_MGR\n");
  EXPECT_EQ(complete("kavrex-export", "kavrex-export --feature = KVF_TRAN"), "KVF_TRANS KVF_TRANX\n");
  EXPECT_EQ(complete("kavrex-export", "kavrex-export -s ''"), "\n");
  EXPECT_EQ(complete("kavrex-msgc", "kavrex-msgc -"), "-w -o -l --help --version\n");
  // A dump to check: a file name, after a space or an '=' (which bash
  // makes a word of its own).
  test::write_file(dir_.file("check-me.dump"), "");
  const std::string partial = dir_.file("check-m"), whole = dir_.file("check-me.dump") + "\n";
  EXPECT_EQ(complete("kavrex-snap", "kavrex-snap --check " + partial), whole);
  EXPECT_EQ(complete("kavrex-snap", "kavrex-snap --check = " + partial), whole);
  EXPECT_EQ(complete("kavrex-export", "kavrex-export --sqlite " + partial), whole);
}

}  // namespace
