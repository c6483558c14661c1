// Who may touch the server's memory, and hostile environments: an account
// that may not administer the server never attaches, the segments are not
// readable by other accounts, and over-long settings and paths end in a
// message, never in an overflow.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/shm.h>

#include "sim/image_builder.h"
#include "support/installation.h"

namespace {

using test::Installation;
using test::RunResult;

// Mode and last attaching process of the segments `creator` made.
struct SegmentRow {
  int id;
  unsigned perms;
  pid_t lpid;
};
std::vector<SegmentRow> segments_created_by(pid_t creator) {
  std::vector<SegmentRow> rows;
  for (int id : test::shm_segments_created_by(creator)) {
    shmid_ds ds{};
    if (shmctl(id, IPC_STAT, &ds) == 0) rows.push_back({id, ds.shm_perm.mode & 0777u, ds.shm_lpid});
  }
  return rows;
}

TEST(Security, AnAccountThatMayNotAdministerNeverAttaches) {
  Installation inst;
  auto sim = inst.start_sim({"--records", "100", "--on", "--level", "2", "--rate", "1000"});
  std::vector<SegmentRow> before = segments_created_by(sim->pid());
  ASSERT_FALSE(before.empty());
  // Not readable or writable by other accounts.
  for (const SegmentRow& r : before) EXPECT_EQ(r.perms, 0660u) << r.id;

  const std::string settings = inst.kavrex({"info"}).out;
  for (auto args : std::vector<std::vector<std::string>>{{"on"}, {"fview"}, {"-t", "view"}, {"size", "50"}}) {
    test::Child nobody(inst.kavrex_as_nobody_argv(args), inst.nobody_options());
    EXPECT_EQ(nobody.wait(), 1) << args[0] << nobody.err();
    EXPECT_NE(nobody.out(), "");
    EXPECT_EQ(nobody.out().find("Component"), std::string::npos) << nobody.out();
    // Neither an attach nor a detach of the server's segments came from it.
    for (const SegmentRow& r : segments_created_by(sim->pid())) EXPECT_NE(r.lpid, nobody.pid()) << args[0];
  }
  EXPECT_EQ(inst.kavrex({"info"}).out, settings);

  // The segments a dump is loaded into are the tool's own, with the same mode.
  kvf::sim::ImageBuilder image({.ring_records = 4, .pid = static_cast<std::uint32_t>(getpid())});
  image.write_dump(inst.file("dump"));
  test::Child tail({test::program("kavrex"), "-t", "view", inst.file("dump")}, inst.options());
  ASSERT_TRUE(tail.wait_for_output("File"));
  std::vector<SegmentRow> loaded = segments_created_by(tail.pid());
  EXPECT_FALSE(loaded.empty());
  for (const SegmentRow& r : loaded) EXPECT_EQ(r.perms, 0660u) << r.id;
  tail.signal(SIGTERM);
  EXPECT_EQ(tail.wait(), 1);
}

// No run may end by a signal or with a report of the sanitizers.
void expect_clean(const RunResult& r, const std::string& what) {
  EXPECT_TRUE(r.status == 0 || r.status == 1) << what << ": status " << r.status << "\n" << r.err.substr(0, 2000);
  for (const char* report : {"AddressSanitizer", "runtime error", "stack smashing", "LeakSanitizer"})
    EXPECT_EQ(r.err.find(report), std::string::npos) << what << "\n" << r.err.substr(0, 4000);
}

TEST(Security, OverLongSettingsAndPathsEndInAMessage) {
  Installation inst;
  kvf::sim::ImageBuilder image({.ring_records = 4});
  auto r = image.record("long.c", 1, "%s\\n");
  r.args.ptr(image.string(std::string(3000, 's')));
  image.append_record(r);
  std::string dump = inst.file("dump");
  image.write_dump(dump);
  const RunResult normal = inst.kavrex({"fview", dump});
  ASSERT_EQ(normal.status, 0);

  const std::string security =
      "ERROR: Could not initialize the security subsystem. Please ensure that this account has the "
      "necessary privileges and ensure VELMORANSERVER value exists in the registry and environment.\n";
  int runs = 0;
  // Lengths around the 128-byte server name, the 256-byte settings limit,
  // the 260-byte catalogue path and far beyond.
  for (std::size_t n : {127u, 128u, 129u, 255u, 256u, 257u, 259u, 260u, 261u, 4096u, 100000u}) {
    std::string value(n, 'v');
    for (const char* name : {"VELMORANSERVER", "VELMORANDIR", "DBLANG", "CLIENT_LOCALE", "DB_LOCALE"}) {
      std::string what = std::string(name) + " of " + std::to_string(n) + " bytes";
      test::RunOptions o;
      o.env[name] = value;
      // As an administrator with a dump, and as an account that is refused
      // with a catalogue message (which the settings lead to).
      RunResult admin = inst.kavrex({"fview", dump}, o);
      expect_clean(admin, what);
      auto options = inst.nobody_options();
      options.env[name] = value;
      RunResult refused = test::run(inst.kavrex_as_nobody_argv({"on"}), options);
      expect_clean(refused, what + " (refused)");
      EXPECT_EQ(refused.status, 1) << what;
      runs += 2;
      if (std::string(name) == "VELMORANSERVER" && n > 128) {
        EXPECT_EQ(admin.status, 1);
        EXPECT_EQ(admin.out, security);
        EXPECT_EQ(admin.err, "Environment variable VELMORANSERVER is too long (maximum is 128 characters).\n");
      }
      // A settings value the tool does not need changes nothing it prints.
      if (std::string(name) == "DBLANG" || std::string(name) == "DB_LOCALE") {
        EXPECT_EQ(admin.status, 0) << what << admin.err;
        EXPECT_EQ(admin.out, normal.out) << what;
      }
    }
  }
  // Dump paths longer than the system takes, and a long one that exists.
  for (std::size_t n : {4095u, 4096u, 4097u, 20000u}) {
    std::string path(n + 1, 'p');
    path[0] = '/';
    RunResult long_path = inst.kavrex({"info", path});
    expect_clean(long_path, "path of " + std::to_string(n));
    EXPECT_EQ(long_path.status, 1);
    EXPECT_EQ(long_path.err, "Unable to open input file '" + path + "'\nkavrex: Can't read shared memory file " +
                                 path + "\n");
    ++runs;
  }
  std::string deep = inst.dir();
  while (deep.size() < 3500) deep += "/" + std::string(200, 'd');
  std::filesystem::create_directories(deep);
  std::filesystem::copy_file(dump, deep + "/dump");
  RunResult deep_run = inst.kavrex({"fview", deep + "/dump"});
  expect_clean(deep_run, "deep path");
  EXPECT_EQ(deep_run.status, 0);
  EXPECT_EQ(deep_run.out, normal.out);
  std::printf("[ figures  ] %d runs with over-long values or paths\n", runs + 1);
}

}  // namespace
