// Message catalogue: cut texts and their status, the binary search over
// large narrow and wide indexes, the path search with DBLANG, the English
// retry, VLM_FREE_FD, damaged files and fallbacks. (The cached block saves
// index reads and changes no text: it has no test of its own.)
#include <cerrno>
#include <filesystem>
#include <utility>


#include "startup/catalogue.h"
#include "startup_fixture.h"
#include "tools/vem_writer.h"

namespace {

using kvf::vem::Message;

class CatalogueTest : public startup_test::StartupTest {
 protected:
  // Writes a catalogue below the installation root.
  void catalogue(const std::string& rel, std::vector<Message> messages, bool wide = false) {
    std::string bytes, error;
    ASSERT_TRUE(kvf::vem::build_catalogue(std::move(messages), wide, bytes, error)) << error;
    write(rel, bytes);
  }
  void english(const std::string& file, std::vector<Message> messages, bool wide = false) {
    catalogue("msg/en_us/0333/" + file, std::move(messages), wide);
  }
};

struct Got {
  int status;
  std::string text;
  int length;
};
Got get(std::int32_t n, int size = 512) {
  std::vector<char> buf(static_cast<std::size_t>(size) + 1, '#');
  std::int32_t length = -99;
  int rc = kvf::rgetlmsg(n, buf.data(), static_cast<std::int16_t>(size), &length);
  return {rc, buf.data(), length};
}
// The status and text of a lookup, to compare in one go.
std::pair<int, std::string> said(std::int32_t n) {
  Got g = get(n);
  return {g.status, g.text};
}

TEST_F(CatalogueTest, BufferExactlyAsLongAsTextCutsOneByte) {
  english("syserr.vem", {{5, "hello\n"}});
  on_thread([] {
    Got g = get(5, 6);
    EXPECT_EQ(g.status, kvf::kMsgCut);
    EXPECT_EQ(g.text, "hello");
    EXPECT_EQ(g.length, 6);
    g = get(5, 7);
    EXPECT_EQ(g.status, 0);
    EXPECT_EQ(g.text, "hello\n");
    EXPECT_EQ(g.length, 6);
  });
}

TEST_F(CatalogueTest, RldmsgGrowsItsBufferAndDropsTheNewline) {
  std::string big(700, 'b');
  english("syserr.vem", {{5, big + "\n"}, {6, "\n"}, {7, "short\n"}});
  on_thread([&] {
    const char* a = kvf::rldmsg(5, nullptr);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(std::string(a), big);
    const char* b = kvf::rldmsg(6, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_STREQ(b, "");
    EXPECT_STREQ(kvf::rldmsg(7, nullptr), "short");
    EXPECT_EQ(std::string(a), big);  // earlier copies stay valid
    EXPECT_EQ(kvf::rldmsg(8, nullptr), nullptr);
  });
}

TEST_F(CatalogueTest, BinarySearchFindsEveryNumberOfLargeCatalogues) {
  // Narrow: the file of 200..899 holds the even numbers; wide: numbers past
  // every range fall to syserr.vem.
  std::vector<Message> narrow, wide;
  for (int n = 200; n <= 898; n += 2) narrow.push_back({n, std::string("n").append(std::to_string(n)).append("\n")});
  for (int i = 0; i < 5000; ++i) wide.push_back({100000 + 3 * i, std::string("w").append(std::to_string(i)).append("\n")});
  wide.push_back({-100001, "negative\n"});
  wide.push_back({32766, "Unknown error message number '%d'\n"});
  const char* narrow_file = kvf::catalogue_file_for(200);
  ASSERT_STREQ(kvf::catalogue_file_for(898), narrow_file);
  english(narrow_file, narrow);
  english("syserr.vem", wide, true);
  on_thread([&] {
    for (const Message& m : narrow) ASSERT_EQ(get(m.number).text, m.text) << m.number;
    for (const Message& m : wide) ASSERT_EQ(get(m.number).text, m.text) << m.number;
    for (int missing : {201, 897, 899, 100001, 99999, 100000 + 3 * 5000})
      EXPECT_EQ(get(missing).status, kvf::kMsgNotInFile) << missing;
    EXPECT_EQ(get(100002).text, "Unknown error message number '100002'\n");
    // A negative number is looked for in the file of its absolute value.
    EXPECT_EQ(get(-100001).text, "negative\n");
  });
}

TEST_F(CatalogueTest, VlmFreeFdReopensTheFileForEachLookup) {
  const std::string dir = dir_.file("msg/en_us/0333/");
  for (bool free_fd : {false, true}) {
    english("syserr.vem", {{1, "old\n"}});
    if (free_fd) ::setenv("VLM_FREE_FD", "", 1);
    on_thread([&] {
      EXPECT_EQ(get(1).text, "old\n");
      english("syserr.vem.tmp", {{1, "new\n"}});
      std::filesystem::rename(dir + "syserr.vem.tmp", dir + "syserr.vem");
      // Without VLM_FREE_FD the file opened first is still read.
      EXPECT_EQ(get(1).text, free_fd ? "new\n" : "old\n") << "VLM_FREE_FD " << (free_fd ? "set" : "unset");
    });
  }
}

TEST_F(CatalogueTest, DblangChoosesTheDirectoryUnlessItHasDotDot) {
  english("syserr.vem", {{1, "english\n"}});
  catalogue("msg/fr/syserr.vem", {{1, "french\n"}});
  catalogue("x/syserr.vem", {{1, "escaped-1\n"}});
  catalogue("msg/x/syserr.vem", {{1, "escaped-2\n"}});
  // "..x" has no ".." component: msg/..x, then ..x, then on.
  for (auto [dblang, want] : {std::pair{"fr", "french\n"}, {"../x", "english\n"}, {"a/../../x", "english\n"},
                              {"..x", "english\n"}}) {
    ::setenv("DBLANG", dblang, 1);
    on_thread([&] { EXPECT_EQ(get(1).text, want) << dblang; });
  }
  ::unsetenv("DBLANG");
  ::setenv("CLIENT_LOCALE", "de_DE.8859-1", 1);
  catalogue("msg/de_de/0333/syserr.vem", {{1, "german\n"}});
  on_thread([] { EXPECT_EQ(get(1).text, "german\n"); });
}

// An empty DBLANG, however it comes (the environment, a settings line with
// the name alone, an empty LANG standing in under DBNLS), is no value: it
// adds no candidate, so $VELMORANDIR/msg/F and $VELMORANDIR/F are not tried
// ahead of the client locale and English. Like an unset DBLANG it lets LANG
// stand in under DBNLS.
TEST_F(CatalogueTest, EmptyDblangAddsNoCandidate) {
  english("syserr.vem", {{1, "english\n"}});
  catalogue("msg/syserr.vem", {{1, "root-msg\n"}});
  catalogue("syserr.vem", {{1, "root\n"}});
  catalogue("msg/de_de/0333/syserr.vem", {{1, "german\n"}});
  catalogue("msg/fr_FR.8859-1/syserr.vem", {{1, "french\n"}});
  struct Case {
    const char* what;
    std::vector<std::pair<const char*, const char*>> env;
    const char* settings;
    const char* want;
  };
  const std::vector<Case> cases = {
      {"environment", {{"DBLANG", ""}}, "", "english\n"},
      {"environment, client locale", {{"DBLANG", ""}, {"CLIENT_LOCALE", "de_DE.8859-1"}}, "", "german\n"},
      {"settings line", {}, "DBLANG\n", "english\n"},
      {"settings line, blanks", {}, "DBLANG   \n", "english\n"},
      {"empty LANG under DBNLS", {{"DBNLS", "1"}, {"LANG", ""}}, "", "english\n"},
      {"empty LANG, client locale", {{"DBNLS", "2"}, {"LANG", ""}, {"CLIENT_LOCALE", "de_DE.8859-1"}},
       "", "german\n"},
      {"empty DBLANG, LANG under DBNLS", {{"DBLANG", ""}, {"DBNLS", "1"}, {"LANG", "fr_FR.8859-1"}}, "", "french\n"},
      {"settings DBLANG, LANG under DBNLS", {{"DBNLS", "1"}, {"LANG", "fr_FR.8859-1"}}, "DBLANG\n", "french\n"},
  };
  for (const Case& c : cases) {
    for (const char* v : {"DBLANG", "DBNLS", "LANG", "CLIENT_LOCALE"}) ::unsetenv(v);
    for (const auto& [name, value] : c.env) ::setenv(name, value, 1);
    write("etc/velmoran.rc", c.settings);
    kvf::locale_reset_for_tests();
    on_thread([&] { EXPECT_EQ(get(1).text, c.want) << c.what; });
  }
}

TEST_F(CatalogueTest, EnglishRetryFindsWhatTheUserLanguageLacks) {
  english("syserr.vem", {{1, "english one\n"}, {2, "english two\n"}});
  catalogue("msg/fr/syserr.vem", {{1, "un\n"}});
  ::setenv("DBLANG", "fr", 1);
  on_thread([] {
    EXPECT_EQ(get(2).text, "english two\n");
    EXPECT_EQ(get(1).text, "un\n");  // back to the user's language
  });
  // With DBLANG naming English itself there is no retry.
  catalogue("msg/en_US.8859-1/syserr.vem", {{1, "one\n"}});
  ::setenv("DBLANG", "en_US.8859-1", 1);
  on_thread([] {
    EXPECT_EQ(get(1).text, "one\n");
    // 32766 not in the file either: the built-in text.
    EXPECT_EQ(said(2), std::pair(kvf::kMsgNotInFile, std::string("Unknown error message number '2'\n")));
    // The fallback text itself asked for and missing: -1, the buffer untouched.
    char buf[8] = "keep";
    EXPECT_EQ(kvf::rgetmsg(32766, buf, sizeof buf), -1);
    EXPECT_STREQ(buf, "keep");
  });
}

TEST_F(CatalogueTest, DamagedFilesGiveTheirCodes) {
  auto status_of = [&](const std::string& bytes) {
    write("msg/en_us/0333/syserr.vem", bytes);
    int rc = 0;
    on_thread([&] { rc = get(1).status; });
    return rc;
  };
  EXPECT_EQ(status_of(""), kvf::kMsgBadMagic);
  EXPECT_EQ(status_of("\xFE"), kvf::kMsgBadMagic);
  EXPECT_EQ(status_of(std::string("\xFE\x67\x00\x00", 4)), kvf::kMsgBadMagic);
  // A count that lies: 3 entries announced, one there, no texts.
  EXPECT_EQ(status_of(std::string("\xFE\x68\x00\x03\x00\x01\x00\x02\x00\x00\x00\x0C", 12)),
            kvf::kMsgShortIndex);
  // An index entry pointing past the end of the file.
  EXPECT_EQ(status_of(std::string("\xFE\x68\x00\x01\x00\x01\x00\x05\x00\x00\x10\x00", 12)),
            kvf::kMsgShortIndex);
  // A negative length.
  EXPECT_EQ(status_of(std::string("\xFE\x68\x00\x01\x00\x01\xFF\xFF\x00\x00\x00\x0C", 12)),
            kvf::kMsgShortIndex);
  EXPECT_EQ(status_of(std::string("\xFE\x68\x00\x00", 4)), kvf::kMsgNotInFile);
  EXPECT_EQ(status_of(std::string("\xFE\x68\x80\x00", 4)), kvf::kMsgNotInFile);
}

TEST_F(CatalogueTest, NoCatalogueFilesAtAll) {
  on_thread([] {
    EXPECT_EQ(said(71575), std::pair(kvf::kMsgCantOpen, std::string("Cannot open file 'winsrv.vem'\n")));
    EXPECT_EQ(get(71575, 10).text, "Cannot op");
    errno = 1234;
    EXPECT_STREQ(kvf::msgtext(71575), "Message 71575 not found.\n");
    EXPECT_EQ(errno, 1234);
    EXPECT_EQ(kvf::rldmsg(71575, nullptr), nullptr);
    // The fallback text itself missing: -1 and the buffer untouched.
    char buf[8] = "keep";
    EXPECT_EQ(kvf::rgetmsg(32765, buf, sizeof buf), -1);
    EXPECT_STREQ(buf, "keep");
  });
}

// The fallback texts are formats for one argument: 32765 takes the file
// name (a string), 32766 the number (a 32-bit int). Flags, width, precision
// and the length modifiers that fit a 32-bit int work as in the C library;
// any conversion that the argument does not fit, a second one, or one whose
// meaning C leaves undefined stays as it stands.
TEST_F(CatalogueTest, FallbackTextsFormatTheirOneArgument) {
  // Numbers beyond every range, or in syserr.vem's, take the 32766 text; a
  // lookup of 71575 finds no winsrv.vem and takes the 32765 text.
  constexpr std::int32_t file = 71575;
  struct Case {
    const char* format;
    std::int32_t number;
    const char* want;
  };
  // The conversions themselves are catalogue_format_test's; here, that
  // each fallback text takes its own argument through them.
  const std::vector<Case> cases = {
      {"[%-12s] 100%%", file, "[winsrv.vem  ] 100%"},
      {"[%d %s %s]", file, "[%d winsrv.vem %s]"},
      {"[%06d] [%s]", -42, "[-00042] [%s]"},
      {"[%ld]", -2147483647 - 1, "[-2147483648]"},
  };
  for (const Case& c : cases) {
    english("syserr.vem", {{32765, std::string(c.format) + "\n"}, {32766, std::string(c.format) + "\n"}});
    on_thread([&] { EXPECT_EQ(get(c.number).text, std::string(c.want) + "\n") << c.format; });
  }
  // A width far beyond the buffer: cut to the buffer like any other text.
  english("syserr.vem", {{32766, "[%40000d]\n"}});
  on_thread([] {
    EXPECT_EQ(said(9), std::pair(kvf::kMsgNotInFile, "[" + std::string(510, ' ')));
  });
}

TEST_F(CatalogueTest, InstallationRootTooLongForAnyPath) {
  std::string deep = root() + "/" + std::string(232 - 10 - 1 - root().size(), 'd');  // 232 with "syserr.vem"
  catalogue(deep.substr(root().size() + 1) + "/msg/syserr.vem", {{1, "deep\n"}});
  ::setenv("VELMORANDIR", deep.c_str(), 1);
  on_thread([] { EXPECT_EQ(get(1).text, "deep\n"); });  // candidate 8: root/msg/F
  ::setenv("VELMORANDIR", (deep + "x").c_str(), 1);
  on_thread([] {
    EXPECT_EQ(said(1), std::pair(kvf::kMsgNoPath, std::string("Unknown error message number '1'\n")));
  });
}

// The refusal text (71575) of the shipped winsrv.vem is checked whole by the
// front-end tests.
TEST_F(CatalogueTest, ShippedSyserrCatalogue) {
  std::string built = std::string(KAVREX_BIN_DIR) + "/../msg/en_us/0333";
  std::filesystem::create_directories(dir_.file("msg/en_us/0333"));
  std::filesystem::copy_file(built + "/syserr.vem", dir_.file("msg/en_us/0333/syserr.vem"));
  on_thread([] {
    EXPECT_EQ(get(1).text, "Not owner\n");
    EXPECT_EQ(get(123456).text, "Unknown error message number '123456'\n");
  });
}

TEST(MessageFiles, RangeTableRows) {
  const std::pair<std::int32_t, const char*> cases[] = {
      {1, "syserr.vem"},      {79, "syserr.vem"},     {32765, "syserr.vem"}, {-32766, "syserr.vem"},
      {71561, "winsrv.vem"},  {72360, "winsrv.vem"},  {-71575, "winsrv.vem"}, {91101, "syserr.vem"},
      {INT32_MIN, "syserr.vem"}};
  for (const auto& [number, file] : cases) EXPECT_STREQ(kvf::catalogue_file_for(number), file) << number;
  EXPECT_STREQ(kvf::catalogue_file_for(-1228), kvf::catalogue_file_for(1228));
}

}  // namespace
