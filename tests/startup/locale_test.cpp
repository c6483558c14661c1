// Locale start: the client locale's three sources and what the start leaves
// in the environment, the failure codes, and message directory names.
#include <cstdlib>
#include <utility>

#include "startup/catalogue.h"
#include "startup/locale.h"
#include "startup_fixture.h"

namespace {

using startup_test::StartupTest;

TEST_F(StartupTest, DefaultLocalePutsClientLocaleIntoEnvironment) {
  on_thread([] { EXPECT_EQ(kvf::ensure_locale_started(), 0); });
  EXPECT_STREQ(std::getenv("CLIENT_LOCALE"), "en_US.8859-1");
  EXPECT_EQ(std::getenv("DB_LOCALE"), nullptr);
  // Started once: a second call changes nothing.
  ::unsetenv("CLIENT_LOCALE");
  on_thread([] { EXPECT_EQ(kvf::ensure_locale_started(), 0); });
  EXPECT_EQ(std::getenv("CLIENT_LOCALE"), nullptr);
}

TEST_F(StartupTest, ClientLocaleBecomesDatabaseLocale) {
  ::setenv("CLIENT_LOCALE", "de_DE.utf8", 1);
  on_thread([] { EXPECT_EQ(kvf::ensure_locale_started(), 0); });
  EXPECT_STREQ(std::getenv("DB_LOCALE"), "de_DE.utf8");
  EXPECT_TRUE(kvf::locale_multibyte());
}

TEST_F(StartupTest, ClientLocaleWithDbnlsSetsCategories) {
  ::setenv("CLIENT_LOCALE", "fr_FR.8859-15", 1);
  ::setenv("DBNLS", "1", 1);
  ::setenv("LC_TIME", "x", 1);
  on_thread([] { EXPECT_EQ(kvf::ensure_locale_started(), 0); });
  EXPECT_STREQ(std::getenv("LC_TIME"), "fr_FR.8859-15");
  EXPECT_STREQ(std::getenv("LC_CTYPE"), "fr_FR.8859-15");
  EXPECT_EQ(std::getenv("DB_LOCALE"), nullptr);  // DBNLS is set
}

TEST_F(StartupTest, StartFailuresAndRetry) {
  ::setenv("CLIENT_LOCALE", "klingon", 1);
  on_thread([] { EXPECT_EQ(kvf::ensure_locale_started(), kvf::kLocaleBadName); });
  ::setenv("CLIENT_LOCALE", std::string(286, 'a').c_str(), 1);
  on_thread([] { EXPECT_EQ(kvf::ensure_locale_started(), kvf::kLocaleBadName); });
  ::unsetenv("CLIENT_LOCALE");
  ::setenv("DBNLS", "1", 1);
  ::setenv("LC_CTYPE", "0de_DE.8859-1", 1);
  on_thread([] { EXPECT_EQ(kvf::ensure_locale_started(), kvf::kLocaleBadCtype); });
  ::setenv("LC_CTYPE", "de_DE.utf8", 1);
  ::setenv("LANG", "de_DE.8859-1", 1);
  on_thread([] { EXPECT_EQ(kvf::ensure_locale_started(), kvf::kLocaleMixedCodesets); });
  ::unsetenv("DBNLS");
  ::setenv("DB_LOCALE", "nowhere", 1);
  on_thread([] { EXPECT_EQ(kvf::ensure_locale_started(), kvf::kLocaleNoConversion); });
  ::unsetenv("DB_LOCALE");
  on_thread([] { EXPECT_EQ(kvf::ensure_locale_started(), 0); });  // a failed start is retried
  EXPECT_TRUE(kvf::locale_started());
}

TEST_F(StartupTest, FailedStartGivesEnglishTextAndNoMessage) {
  ::setenv("CLIENT_LOCALE", "en_US.nosuchset", 1);
  on_thread([] {
    char buf[20];
    EXPECT_EQ(kvf::rgetmsg(1, buf, sizeof buf), kvf::kLocaleBadName);
    EXPECT_STREQ(buf, "Unable to load loca");  // cut to the buffer
    EXPECT_STREQ(kvf::msgtext(1), "Message 1 not found.\n");
  });
}

TEST(LocaleNames, MessageDirectories) {
  const std::pair<const char*, const char*> cases[] = {
      {"en_US.8859-1", "en_us/0333"}, {"de_DE.UTF-8", "de_de/e01c"}, {"pl_PL.8859-2", "pl_pl/0390"},
      {"english", nullptr},           {"en_US.8859-99", nullptr},    {"../x_y.8859-1", nullptr},
      {nullptr, nullptr}};
  for (const auto& [locale, expected] : cases) {
    std::string dir;
    EXPECT_EQ(kvf::locale_message_dir(locale, dir), expected != nullptr) << (locale ? locale : "(null)");
    if (expected) {
      EXPECT_EQ(dir, expected);
    }
  }
}

}  // namespace
