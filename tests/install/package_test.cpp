// The Debian package named by KAVREX_DEB (scripts/package.sh sets it; else
// skipped), unpacked into a scratch root with dpkg -x: its layout, and its
// programs run from there against the stand-in server.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/process.h"

namespace {

namespace fs = std::filesystem;
using test::RunResult;

class Package : public testing::Test {
 protected:
  void SetUp() override {
    const char* deb = std::getenv("KAVREX_DEB");
    if (!deb || !*deb) GTEST_SKIP() << "KAVREX_DEB names no package (scripts/package.sh sets it)";
    deb_ = deb;
    root_ = dir_.file("root");
    RunResult x = test::run({"/usr/bin/dpkg-deb", "-x", deb_, root_});
    ASSERT_EQ(x.status, 0) << x.err;
  }

  // Runs a shell script with the package's programs first on PATH and its
  // installation directory as VELMORANDIR.
  RunResult shell(const std::string& script) {
    test::RunOptions o;
    o.env["PATH"] = root_ + "/usr/bin:/usr/bin:/bin";
    o.env["VELMORANDIR"] = root_ + "/usr/velmoran";
    o.env["VELMORANSERVER"] = "pkg";
    o.env["HOME"] = dir_.path();
    o.timeout = std::chrono::seconds(60);
    return test::run({"/bin/sh", "-ec", "cd \"$HOME\"\n" + script}, o);
  }

  test::TempDir dir_;
  std::string deb_, root_;
};

TEST_F(Package, LayoutUnderUsrAndEtc) {
  for (const char* p : {"kavrex", "kavrex-sim", "kavrex-reg", "kavrex-msgc", "kavrex-snap", "kavrex-export"}) {
    EXPECT_TRUE(fs::is_regular_file(root_ + "/usr/bin/" + p)) << p;
    EXPECT_TRUE(fs::is_regular_file(root_ + "/usr/share/man/man1/" + p + ".1.gz")) << p;
    EXPECT_TRUE(fs::exists(fs::symlink_status(root_ + "/usr/share/bash-completion/completions/" + p))) << p;
  }
  EXPECT_TRUE(fs::is_regular_file(root_ + "/usr/velmoran/msg/en_us/0333/syserr.vem"));
  EXPECT_TRUE(fs::is_regular_file(root_ + "/etc/velmoran/velmoran.rc"));
  EXPECT_TRUE(fs::is_directory(root_ + "/etc/velmoran/registry/HKLM/SOFTWARE/Velmoran/Corvane"));
  EXPECT_TRUE(fs::is_symlink(root_ + "/usr/velmoran/etc"));
  EXPECT_EQ(fs::read_symlink(root_ + "/usr/velmoran/etc"), "/etc/velmoran");
  EXPECT_TRUE(fs::is_regular_file(root_ + "/usr/share/doc/kavrex/copyright"));
  // The journal unit, whose text the installation test has systemd check.
  EXPECT_TRUE(fs::is_regular_file(root_ + "/lib/systemd/system/kavrex-export@.service"));
  RunResult conffiles = test::run({"/usr/bin/dpkg-deb", "--info", deb_, "conffiles"});
  EXPECT_EQ(conffiles.out, "/etc/velmoran/velmoran.rc\n/etc/profile.d/kavrex.sh\n");
  // Login shells get the installation; the programs are in /usr/bin.
  std::string profile = test::read_file(root_ + "/etc/profile.d/kavrex.sh");
  EXPECT_NE(profile.find("VELMORANDIR='/usr/velmoran'"), std::string::npos) << profile;
  // kavrex-export --sqlite needs the system's SQLite library.
  RunResult depends = test::run({"/usr/bin/dpkg-deb", "--field", deb_, "Depends"});
  EXPECT_NE(depends.out.find("libsqlite3-0"), std::string::npos) << depends.out;
}

// The README's first steps with the unpacked programs. The package's
// /usr/velmoran/etc points at the system's /etc/velmoran; in the scratch
// root it is pointed at the root's own etc/velmoran instead.
TEST_F(Package, ProgramsRunFromTheScratchRoot) {
  fs::remove(root_ + "/usr/velmoran/etc");
  fs::create_directory_symlink(root_ + "/etc/velmoran", root_ + "/usr/velmoran/etc");
  ASSERT_EQ(shell("kavrex-reg setup pkg >/dev/null").status, 0);
  test::RunOptions env;
  env.env["VELMORANDIR"] = root_ + "/usr/velmoran";
  test::Child sim({root_ + "/usr/bin/kavrex-sim", "--server", "pkg", "--records", "50", "--count", "80",
                   "--flat-out", "--on", "--level", "3"},
                  env);
  ASSERT_TRUE(sim.wait_for_output("kavrex-sim: count reached\n")) << sim.err();
  EXPECT_TRUE(fs::exists(root_ + "/etc/velmoran/.infos.pkg"));
  RunResult r = shell(
      "kavrex info | sed -n '1p;$p'\n"
      "kavrex-snap -o pkg.dump >/dev/null\n"
      "kavrex view pkg.dump | head -1\n"
      "kavrex-export pkg.dump | grep -c '\"kind\":\"record\"'\n"
      "kavrex-export --sqlite pkg.db pkg.dump\n"
      "sqlite3 pkg.db 'SELECT count(*) FROM records'\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  // A full ring of 50 keeps 49 records; a walk starts the guard window of
  // 20 past the oldest, so 29 are exported.
  EXPECT_EQ(r.out, "kavrex size 50\nkavrex on\nFile       Line session \n29\n29\n");
}

}  // namespace
