// kavrex-snap against the stand-in server: a snapshot shows what the live
// server showed, whatever the segment layout; standard output; a full disk
// leaves no file behind; the server named or not.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include <sys/mount.h>

#include "support/installation.h"

namespace {

namespace fs = std::filesystem;
using test::Installation;
using test::RunResult;

RunResult snap(const Installation& inst, const std::vector<std::string>& args) {
  return inst.run("kavrex-snap", args);
}

const char* const kEveryView[] = {"view", "fview", "rview", "frview", "info"};

// With the writers stopped, the snapshot is the server's memory: every view
// of it prints exactly what the same view prints live, and its bytes are
// those of the dump the server writes itself; in one segment, in segments
// made of pieces, and with a continuation segment.
TEST(Snap, ShowsWhatTheLiveServerShowsInEveryLayout) {
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {}, {"--segments", "3", "--pieces", "2"}, {"--segments", "3", "--continuation"}}) {
    SCOPED_TRACE(testing::PrintToString(args));
    Installation inst;
    args.insert(args.end(), {"--records", "300", "--count", "700", "--flat-out", "--on", "--level", "3", "--dump",
                             inst.file("server.dump")});
    auto sim = inst.start_sim(args);
    ASSERT_TRUE(sim->wait_for_output("kavrex-sim: count reached\n")) << sim->err();

    std::string file = inst.file("snap.dump");
    RunResult r = snap(inst, {"-o", file});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    ASSERT_EQ(r.out.rfind(file + ": ", 0), 0u) << r.out;
    EXPECT_EQ(test::read_file(file), test::read_file(inst.file("server.dump")));

    // The file's own headers say what the snapshot took from the live
    // segments: the same count and bytes, and the ring.
    RunResult checked = snap(inst, {"--check", file});
    EXPECT_EQ(checked.status, 0) << checked.err;
    std::string taken = r.out.substr(0, r.out.size() - 1);
    EXPECT_EQ(checked.out.rfind(taken + ", ring size 300, head ", 0), 0u) << checked.out << " after " << r.out;

    for (const std::string view : kEveryView) {
      RunResult live = inst.kavrex({view});
      RunResult saved = inst.kavrex({view, file});
      EXPECT_EQ(live.status, 0) << view << live.err;
      EXPECT_EQ(saved.status, 0) << view << saved.err;
      EXPECT_EQ(saved.out, live.out) << view;
      EXPECT_GT(std::count(live.out.begin(), live.out.end(), '\n'), view == "info" ? 1 : 250) << view;
    }
  }
}

// -o - writes the bytes -o FILE writes, through a pipe as to a compressor,
// with the summary on standard error; a reader that stops early is a write
// failure, and a terminal is refused.
TEST(Snap, StandardOutputHoldsTheSameDump) {
  Installation inst;
  auto sim = inst.start_sim({"--records", "300", "--count", "500", "--flat-out", "--on", "--level", "3"});
  ASSERT_TRUE(sim->wait_for_output("kavrex-sim: count reached\n")) << sim->err();
  const std::string program = std::string("'").append(test::program("kavrex-snap")).append("'");

  std::string file = inst.file("file.dump");
  ASSERT_EQ(snap(inst, {"-o", file}).status, 0);
  std::string bytes = test::read_file(file);
  ASSERT_GT(bytes.size(), 256u * 1024);  // several times what a pipe holds

  std::string piped = inst.file("piped.dump");
  RunResult r = test::run({"/bin/sh", "-c", program + " -o - | cat >'" + piped + "'"}, inst.options());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "standard output: 1 segment(s), " + std::to_string(bytes.size()) + " bytes\n");
  EXPECT_TRUE(test::read_file(piped) == bytes) << "the piped dump differs";

  RunResult early = test::run(
      {"/bin/bash", "-c", program + " -o - | head -c 10 >/dev/null; exit ${PIPESTATUS[0]}"}, inst.options());
  EXPECT_EQ(early.status, 1);
  EXPECT_EQ(early.err, "kavrex-snap: cannot write standard output: Broken pipe\n");

  RunResult terminal = test::run({"/usr/bin/script", "-qfec", program + " -o -", "/dev/null"}, inst.options());
  EXPECT_EQ(terminal.status, 1);
  EXPECT_EQ(terminal.out, "kavrex-snap: standard output is a terminal: send the dump to a file or a pipe\r\n");
}

// On a small file system of its own the write fails with ENOSPC part way.
TEST(Snap, FullDiskGivesAnErrorAndNoFile) {
  Installation inst;
  const std::string small = inst.file("small");
  fs::create_directory(small);
  if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=256k") != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
  struct Unmount {
    std::string dir;
    ~Unmount() { ::umount(dir.c_str()); }
  } unmount{small};
  auto sim = inst.start_sim({"--records", "100"});
  std::string file = small + "/snap.dump";
  test::write_file(file, "an older snapshot");
  RunResult r = snap(inst, {"-o", file});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "kavrex-snap: cannot write " + file +
                       ": No space left on device (the disk is full; nothing was written)\n");
  // The older file is untouched and no temporary file is left.
  EXPECT_EQ(test::read_file(file), "an older snapshot");
  EXPECT_EQ(test::names_in(small), std::vector<std::string>{"snap.dump"});
}

// The command line's usage errors are in command_line_test.cpp.
TEST(Snap, NoServerThenDefaultNameAndServerArgument) {
  Installation inst;
  // No server running: nothing is written, an older file stays.
  std::string kept = inst.file("keep.dump");
  test::write_file(kept, "old");
  RunResult none = snap(inst, {"-o", kept});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.err, "kavrex-snap: server " + inst.server() + " not found\n");
  EXPECT_EQ(test::read_file(kept), "old");

  auto sim = inst.start_sim({"--records", "20"});
  std::string dir = inst.file("out");
  fs::create_directory(dir);
  test::RunOptions o = inst.options();
  o.env["VELMORANSERVER"] = std::nullopt;  // the argument names it
  RunResult r = test::run({"/bin/sh", "-c", "cd \"$0\" && exec \"$1\" \"$2\"", dir, test::program("kavrex-snap"),
                           inst.server()},
                          o);
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> names = test::names_in(dir);
  ASSERT_EQ(names.size(), 1u);
  EXPECT_TRUE(std::regex_match(names[0], std::regex(inst.server() + "-[0-9]{8}T[0-9]{6}Z\\.dump"))) << names[0];
  EXPECT_EQ(r.out.rfind(names[0] + ": 1 segment(s), ", 0), 0u) << r.out;
  EXPECT_EQ(inst.kavrex({"info", dir + "/" + names[0]}).status, 0);
}

}  // namespace
