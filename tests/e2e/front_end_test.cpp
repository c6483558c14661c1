// The kavrex program as a user runs it: start-up checks, the command line,
// dump files, and the messages and exit statuses of each path.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sim/image_builder.h"
#include "support/installation.h"
#include "tools/vem_writer.h"

namespace {

using test::Installation;
using test::kUsageText;
using test::RunResult;

struct FrontEnd : ::testing::Test {
  Installation inst;
  // A dump of 20000 records, more than the first write of a view takes.
  std::string many_records() {
    kvf::sim::ImageBuilder image({.ring_records = 20001});
    for (int i = 0; i < 20000; ++i) {
      auto r = image.record("pipe.c", i, "record %d\n");
      r.args.i32(i);
      image.append_record(r);
    }
    std::string path = inst.file("many.dump");
    image.write_dump(path);
    return path;
  }
  // A dump with a couple of settings and one record.
  std::string dump(kvf::sim::ImageOptions options = {.ring_records = 8}) {
    kvf::sim::ImageBuilder image(options);
    if (options.control_block) {
      image.set_cell(2, 2, 0xFFFFFFF1);  // lite, upper bits set
      image.set_cell(117, 15, 7);
      image.set_trace_on(1);
    }
    if (options.control_block && options.ring_records > 0) {
      auto r = image.record("heap.c", 12, "%d items\n");
      r.args.i32(3);
      image.append_record(r);
    }
    std::string path = inst.file("dump-" + std::to_string(++dumps_));
    image.write_dump(path);
    return path;
  }
  int dumps_ = 0;
};

void expect_run(const RunResult& r, int status, const std::string& out, const std::string& err) {
  EXPECT_EQ(r.status, status);
  EXPECT_EQ(r.out, out);
  EXPECT_EQ(r.err, err);
}

test::RunOptions with_server(std::optional<std::string> name) {
  test::RunOptions o;
  o.env["VELMORANSERVER"] = name;
  return o;
}

std::string cant_read(const std::string& path) {
  return "Unable to open input file '" + path + "'\nkavrex: Can't read shared memory file " + path + "\n";
}

TEST_F(FrontEnd, UsageTextAndVersionReports) {
  expect_run(inst.kavrex({}), 1, "", kUsageText);
  expect_run(inst.kavrex({"-V"}), 0, "Velmoran Server Version 7.40.QX3\n", "");
  RunResult v = inst.kavrex({"-version"});
  EXPECT_EQ(v.status, 0);
  EXPECT_EQ(v.out.rfind("Program Name:\t\tkavrex\nBuild Version:\t\t7.40.QX3\n", 0), 0u) << v.out;
  EXPECT_NE(v.out.find("\nBuild Timestamp:\t2017-10-23T11:30:35-05\n"), std::string::npos);
  // Not a version request: the tool goes on and, with no server, says so.
  expect_run(inst.kavrex({"-V", "x"}), 0, "", "kavrex: server kvtest not found\n");
  expect_run(inst.kavrex({"-v"}), 0, "", "kavrex: server kvtest not found\n");
}

TEST_F(FrontEnd, StartUpChecksComeFirst) {
  const std::string security =
      "ERROR: Could not initialize the security subsystem. Please ensure that this account has the "
      "necessary privileges and ensure VELMORANSERVER value exists in the registry and environment.\n";
  expect_run(inst.kavrex({"-V"}, with_server(std::nullopt)), 1, security, "");
  // A server with no registry keys.
  expect_run(inst.kavrex({"info", dump()}, with_server("nosuchserver")), 1, security, "");

  // An account nobody listed cannot get a user number (only root may write
  // the table): the security message.
  expect_run(inst.kavrex_as_nobody({"-V"}), 1, security, "");
  // Listed but not an administrator: refused with the catalogue's text
  // before anything else.
  inst.register_nobody();
  expect_run(inst.kavrex_as_nobody({"-V"}), 1,
             "You are not allowed to administer this server: run kavrex as root or as a\n"
             "member of the server's DBSA group.\n",
             "");
}

// Message 71575 is a format with no arguments: "%%" prints "%", every other
// conversion (there is no argument for it) prints as it stands, and a text
// of any length prints whole with its newline.
TEST_F(FrontEnd, RefusalMessageIsPrintedAsAFormatWithoutArguments) {
  const std::string long_line(5000, 'x');
  std::string bytes, error;
  ASSERT_TRUE(kvf::vem::build_catalogue(
      {{71575, "100%% refused: %d %s %lx %-lx %c %5.2f %\n" + long_line + "\nend\n\n"}}, false, bytes, error))
      << error;
  test::write_file(inst.file("msg/en_us/0333/winsrv.vem"), bytes);
  inst.register_nobody();
  expect_run(inst.kavrex_as_nobody({"-V"}), 1,
             "100% refused: %d %s %p %-p %c %5.2f %\n" + long_line + "\nend\n", "");
}

TEST_F(FrontEnd, WithoutAServerEveryCommandEndsAtTheAttach) {
  for (auto args : std::vector<std::vector<std::string>>{
           {"on"}, {"View"}, {"size", "4"}, {"on", "somefile"}, {"-t", "view", "a", "b"}, {"bogus"}})
    expect_run(inst.kavrex(args), 0, "", "kavrex: server kvtest not found\n");
}

TEST_F(FrontEnd, InfoFromADumpFile) {
  std::string path = dump();
  expect_run(inst.kavrex({"info", path}), 0,
             "kavrex size 8\n"
             "kavrex lite -c KVF_BFR_MGR -f KVF_MEM\n"
             "kavrex 7 -c KVF_EAR -f KVF_INFO\n"
             "kavrex 7 -c KVF_EAR -f KVF_ARGS\n"
             "kavrex on\n",
             "");
  expect_run(inst.kavrex({"INFO", path}), 0, inst.kavrex({"info", path}).out, "");
  // "-t info" loads the dump, then finds no command: info is only a first word.
  expect_run(inst.kavrex({"-t", "info", path}), 1, "", kUsageText);
}

TEST_F(FrontEnd, ViewsOfADumpFile) {
  std::string path = dump();
  for (const char* word : {"view", "fview", "rview", "frview", "FVIEW"}) {
    RunResult r = inst.kavrex({word, path});
    EXPECT_EQ(r.status, 0) << word << r.err;
    EXPECT_EQ(r.err, "") << word;
    EXPECT_NE(r.out.find("heap.c"), std::string::npos) << word << r.out;
  }
  EXPECT_NE(inst.kavrex({"fview", path}).out.find("3 items\n"), std::string::npos);
}

TEST_F(FrontEnd, DumpFileErrors) {
  expect_run(inst.kavrex({"view", "-t"}), 1, "", cant_read("-t"));
  expect_run(inst.kavrex({"-t", "fview", inst.file("missing")}), 1, "", cant_read(inst.file("missing")));
  test::RunOptions stdin_text;
  stdin_text.input = "never read";
  for (auto args : std::vector<std::vector<std::string>>{{"view", "stdin"}, {"-t", "view", "stdin"}, {"info", "stdin"}})
    expect_run(inst.kavrex(args, stdin_text), 1, "",
               "ERROR: Invalid key(87368192).  Must be > 0 and < 256.\n");
}

TEST_F(FrontEnd, UnusableControlBlock) {
  kvf::sim::ImageOptions none{.ring_records = 8, .control_block = false};
  expect_run(inst.kavrex({"info", dump(none)}), 1, "", "Unavailable: server memory allocation error\n");
  kvf::sim::ImageBuilder failed({.ring_records = 8});
  failed.set_alloc_failed(1);
  failed.write_dump(inst.file("failed"));
  expect_run(inst.kavrex({"view", inst.file("failed")}), 1, "", "Unavailable: server memory allocation error\n");
  // Without a ring the views print their column header only.
  RunResult r = inst.kavrex({"view", dump({.ring_records = 0})});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
}

// Runs kavrex with `args` in `inst`, its standard output a pipe that nobody
// reads (the reading end closed before the start), SIGPIPE ignored or not;
// returns the status as test::run does and the standard error in `err`.
int run_into_closed_pipe(const test::Installation& inst, const std::vector<std::string>& args, bool ignore_sigpipe,
                         std::string& err) {
  // Everything the child needs is made before the fork.
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e; ++e) {
    std::string kv = *e;
    if (auto eq = kv.find('='); eq != std::string::npos) vars[kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  for (const auto& [name, value] : inst.options().env) {
    if (value) vars[name] = *value;
    else vars.erase(name);
  }
  std::vector<std::string> strings{test::program("kavrex")};
  strings.insert(strings.end(), args.begin(), args.end());
  std::size_t env_from = strings.size();
  for (const auto& [name, value] : vars) strings.push_back(name + "=" + value);
  std::vector<char*> argv, envp;
  for (std::size_t i = 0; i < strings.size(); ++i) (i < env_from ? argv : envp).push_back(strings[i].data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  std::string err_path = inst.file("closed-pipe.err");

  int pipe_ends[2];
  if (pipe(pipe_ends) != 0) return -1;
  close(pipe_ends[0]);
  pid_t child = fork();
  if (child == 0) {
    int e = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (e < 0 || dup2(pipe_ends[1], 1) < 0 || dup2(e, 2) < 0) _exit(127);
    signal(SIGPIPE, ignore_sigpipe ? SIG_IGN : SIG_DFL);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(pipe_ends[1]);
  int raw = 0;
  if (child < 0 || waitpid(child, &raw, 0) != child) return -1;
  err = test::read_file(err_path);
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  return WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : -1;
}

TEST_F(FrontEnd, AViewIntoAClosedPipeEndsWithoutAWord) {
  // One record, written at the end; and enough that the first write fails
  // while the records are still being rendered, on one thread or on three.
  const std::string paths[] = {dump(), many_records()};
  struct Case {
    bool ignore_sigpipe;
    int status;
  };
  // SIGPIPE, unless whoever started the tool ignores it: then the failed
  // write ends it with status 1.
  for (const char* threads : {"1", "3"}) {
    SCOPED_TRACE(::testing::Message() << "KAVREX_THREADS=" << threads);
    setenv("KAVREX_THREADS", threads, 1);
    for (Case c : {Case{false, 128 + SIGPIPE}, Case{true, 1}}) {
      SCOPED_TRACE(c.ignore_sigpipe ? "SIGPIPE ignored" : "SIGPIPE");
      for (const std::string& path : paths)
        for (const char* word : {"view", "fview"}) {
          std::string err;
          EXPECT_EQ(run_into_closed_pipe(inst, {word, path}, c.ignore_sigpipe, err), c.status) << word << " " << path;
          EXPECT_EQ(err, "") << word;
        }
    }
  }
  unsetenv("KAVREX_THREADS");
}

TEST_F(FrontEnd, AViewIntoAFullDeviceEndsWithStatusOneWithoutAWord) {
  std::string path = many_records();
  for (const char* threads : {"1", "3"}) {
    test::RunOptions o = inst.options();
    o.env["KAVREX_THREADS"] = threads;
    RunResult r = test::run({"/bin/sh", "-c", "exec \"$0\" fview \"$1\" >/dev/full", test::program("kavrex"), path}, o);
    EXPECT_EQ(r.status, 1) << threads;
    EXPECT_EQ(r.err, "") << threads;
  }
}

}  // namespace
