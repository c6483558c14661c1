// The kavrex program as a user runs it: start-up checks, the command line,
// dump files, and the messages and exit statuses of each path.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

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
  // The reports and the words that are no version request are the version
  // report's own tests; here, that the front end hands it the command line.
  expect_run(inst.kavrex({"-V"}), 0, "Velmoran Server Version 7.40.QX3\n", "");
  // Not a version request: the tool goes on and, with no server, says so.
  expect_run(inst.kavrex({"-V", "x"}), 0, "", "kavrex: server kvtest not found\n");
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

TEST_F(FrontEnd, InfoAndViewsFromADumpFile) {
  std::string path = dump();
  expect_run(inst.kavrex({"info", path}), 0,
             "kavrex size 8\n"
             "kavrex lite -c KVF_BFR_MGR -f KVF_MEM\n"
             "kavrex 7 -c KVF_EAR -f KVF_INFO\n"
             "kavrex 7 -c KVF_EAR -f KVF_ARGS\n"
             "kavrex on\n",
             "");
  // The first word in capitals is the same word.
  expect_run(inst.kavrex({"INFO", path}), 0, inst.kavrex({"info", path}).out, "");
  RunResult fview = inst.kavrex({"fview", path});
  EXPECT_NE(fview.out.find("heap.c     12    4242  "), std::string::npos) << fview.out;
  EXPECT_NE(fview.out.find("3 items\n"), std::string::npos) << fview.out;
  expect_run(inst.kavrex({"FVIEW", path}), 0, fview.out, "");
  // "-t info" loads the dump, then finds no command: info is only a first word.
  expect_run(inst.kavrex({"-t", "info", path}), 1, "", kUsageText);
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

// Runs kavrex with `args` in `inst` on `threads` threads, its standard
// output /dev/full (sink "full") or a pipe whose reading end is closed
// before the start, with SIGPIPE ignored (sink "ignore") or not; the result
// holds the tool's status and standard error. python3 ignores SIGPIPE
// itself and, unless told to keep that, restores it for what it starts.
RunResult run_into(const char* sink, const Installation& inst, const std::vector<std::string>& args,
                   const char* threads) {
  std::vector<std::string> argv{"/usr/bin/python3", "-c",
                                "import os, subprocess, sys\n"
                                "r, w = os.pipe()\n"
                                "os.close(r)\n"
                                "if sys.argv[1] == 'full': w = os.open('/dev/full', os.O_WRONLY)\n"
                                "p = subprocess.run(sys.argv[2:], stdout=w, restore_signals=sys.argv[1] != 'ignore')\n"
                                "print(128 - p.returncode if p.returncode < 0 else p.returncode)\n",
                                sink, test::program("kavrex")};
  argv.insert(argv.end(), args.begin(), args.end());
  test::RunOptions o = inst.options();
  o.env["KAVREX_THREADS"] = threads;
  RunResult r = test::run(argv, o);
  r.status = r.status == 0 ? std::stoi(r.out) : -1;
  return r;
}

// One record, written at the end; and enough that the first write fails
// while the records are still being rendered, on one thread or on three.
// SIGPIPE ends the tool, unless whoever started it ignores it: then the
// failed write ends it with status 1, as a full device does.
TEST_F(FrontEnd, AViewIntoAClosedPipeOrAFullDeviceEndsWithoutAWord) {
  const std::string paths[] = {dump(), many_records()};
  for (const char* threads : {"1", "3"})
    for (const char* sink : {"pipe", "ignore", "full"})
      for (const std::string& path : paths)
        for (const char* word : {"view", "fview"}) {
          SCOPED_TRACE(::testing::Message() << word << " " << path << " into " << sink << " on " << threads);
          RunResult r = run_into(sink, inst, {word, path}, threads);
          EXPECT_EQ(r.status, sink == std::string("pipe") ? 128 + SIGPIPE : 1) << r.err;
          EXPECT_EQ(r.err, "");
        }
}

}  // namespace
