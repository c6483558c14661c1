// Settings lookup: precedence of environment, user file, system file and
// default; the settings file syntax; ENVIGNORE; maximum lengths; DBNLS.
#include <filesystem>
#include <utility>

#include "startup/settings.h"
#include "startup_fixture.h"

namespace {

using startup_test::StartupTest;

std::string value(const char* name) {
  const char* v = kvf::ggetenv(name);
  return v ? v : "(null)";
}

TEST_F(StartupTest, EnvironmentBeatsUserFileBeatsSystemFileBeatsDefault) {
  write("etc/velmoran.rc", "DBDATE sys\nDBPATH sys\nTERM sys\n");
  write("home/.velmoran", "DBPATH user\nTERM user\n");
  ::setenv("TERM", "env", 1);
  on_thread([] {
    EXPECT_EQ(value("DBDATE"), "sys");
    EXPECT_EQ(value("DBPATH"), "user");
    EXPECT_EQ(value("TERM"), "env");
    EXPECT_EQ(value("DBTEMP"), "/tmp");  // default
    EXPECT_EQ(value("DBLANG"), "(null)");  // no default
    EXPECT_EQ(value("NO_SUCH_SETTING"), "(null)");
    EXPECT_EQ(kvf::ggetenv(nullptr), nullptr);
    EXPECT_EQ(kvf::settings_status(), kvf::kSettingsNullName);
    // The indexed and session forms are the same lookup.
    EXPECT_STREQ(kvf::ggetenv_idx("DBPATH", -1), "user");
    EXPECT_STREQ(kvf::ggetenv_ses("DBDATE", 7), "sys");
    // Later changes of the environment are seen, of the files not.
    ::unsetenv("TERM");
    EXPECT_EQ(value("TERM"), "user");
  });
  write("home/.velmoran", "DBPATH changed\n");
  on_thread([] { EXPECT_EQ(value("DBPATH"), "changed"); });
}

TEST_F(StartupTest, VelmorandirDefaultsWhenUnsetEverywhere) {
  ::unsetenv("VELMORANDIR");
  if (std::filesystem::exists("/usr/velmoran/etc/velmoran.rc"))
    GTEST_SKIP() << "this machine has a system settings file";
  on_thread([] { EXPECT_EQ(value("VELMORANDIR"), "/usr/velmoran"); });
}

TEST_F(StartupTest, SettingsFileSyntax) {
  std::string long_value(1000, 'x');
  write("etc/velmoran.rc",
        "# a comment\n"
        "\n"
        "DBDATE \t  a  b \t\n"      // blanks inside and at the end are kept
        "DBPATH\n"                 // no value: empty
        "LANG\n"                   // no value: nothing for LANG
        "UNKNOWN_NAME value\n"
        "  DBTEMP leading-blank\n"  // no name: skipped
        "VLM_ROOTPATH " + long_value + "\n"
        "TERM last-without-newline");
  write("home/.velmoran", "VLM_HA_MODE one\nVLM_HA_ALIAS t\xFFwo\nVLM_NODE_NAME three\n");
  on_thread([&] {
    EXPECT_EQ(value("DBDATE"), "a  b \t");
    EXPECT_EQ(value("DBPATH"), "");
    EXPECT_EQ(value("LANG"), "(null)");
    EXPECT_EQ(value("DBTEMP"), "/tmp");
    EXPECT_EQ(value("VLM_ROOTPATH"), long_value);
    EXPECT_EQ(value("TERM"), "dumb");
    EXPECT_EQ(value("VLM_HA_MODE"), "one");
    EXPECT_EQ(value("VLM_HA_ALIAS"), "(null)");  // 0xFF ends the reading, its line too
    EXPECT_EQ(value("VLM_NODE_NAME"), "(null)");
  });
}

TEST_F(StartupTest, EnvignoreSkipsNamesInEitherFile) {
  write("etc/velmoran.rc", "DBDATE sys\nTERM sys\n");
  write("home/.velmoran", "DBPATH user\nDBDATE user\n");
  ::setenv("ENVIGNORE", "DBPATH:TERM", 1);
  on_thread([] {
    EXPECT_EQ(value("DBPATH"), ".");
    EXPECT_EQ(value("TERM"), "dumb");
    EXPECT_EQ(value("DBDATE"), "user");
  });
}

// One byte over its limit, a value is no value: each process warns once,
// whichever thread looks it up.
TEST_F(StartupTest, OverLongValueIsUnsetWithOneWarningPerProcess) {
  // The longest value that passes, for each name with a limit.
  const std::pair<const char*, std::string> cases[] = {
      {"VELMORANSERVER", std::string(128, 's')}, {"VELMORANDIR", root() + "/" + std::string(255 - root().size(), 'd')}};
  for (const auto& c : cases) {
    auto r = startup_test::in_child([&] {
      ::setenv(c.first, c.second.c_str(), 1);
      if (kvf::ggetenv(c.first) == nullptr) return 1;
      ::setenv(c.first, (c.second + "x").c_str(), 1);
      bool first = kvf::ggetenv(c.first) == nullptr && kvf::settings_status() == kvf::kSettingsTooLong;
      std::thread other([&] { (void)kvf::ggetenv(c.first); });
      other.join();
      bool second = kvf::ggetenv(c.first) == nullptr;
      return first && second ? 0 : 2;
    });
    EXPECT_EQ(r.status, 0) << c.first;
    EXPECT_EQ(r.err, "WARNING: \nEnvironment variable " + std::string(c.first) + " is too long (maximum is " +
                         std::to_string(c.second.size()) + " characters).\nFile: osenv, line: 1599, status: -4.\n");
  }
}

TEST_F(StartupTest, DbnlsDerivesLocaleCategories) {
  write("etc/velmoran.rc", "LC_TIME de_DE.8859-1\nLC_MONETARY fr_FR.8859-1\n");
  ::setenv("DBNLS", "1", 1);
  ::setenv("LANG", "en_GB.8859-1", 1);
  ::setenv("LC_NUMERIC", "", 1);     // held empty: gets LANG, also in the environment
  ::setenv("LC_MONETARY", "", 1);    // held empty and set by a file: the file's value
  ::setenv("LC_CTYPE", "en_US.8859-1", 1);
  on_thread([] {
    EXPECT_EQ(value("LC_COLLATE"), "en_GB.8859-1");
    EXPECT_EQ(value("LC_TIME"), "de_DE.8859-1");
    EXPECT_EQ(value("LC_CTYPE"), "en_US.8859-1");
  });
  EXPECT_STREQ(std::getenv("LC_NUMERIC"), "en_GB.8859-1");
  EXPECT_STREQ(std::getenv("LC_MONETARY"), "fr_FR.8859-1");
  EXPECT_EQ(std::getenv("LC_COLLATE"), nullptr);
}

TEST_F(StartupTest, DbnlsFromFileWithoutLangGivesDefaultLocale) {
  write("etc/velmoran.rc", "DBNLS 2\n");
  on_thread([] { EXPECT_EQ(value("LC_CTYPE"), "en_us.8859-1"); });
}

}  // namespace
