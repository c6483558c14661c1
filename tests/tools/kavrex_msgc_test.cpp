// kavrex-msgc end to end: compiling a source, listing it back unchanged,
// and the statuses for bad sources and damaged catalogues. Usage errors and
// the exact bytes of a narrow and a wide catalogue are command_line_test's.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/process.h"
#include "tools/vem_writer.h"

namespace {

test::RunResult msgc(const std::vector<std::string>& args) { return test::run_program("kavrex-msgc", args); }

TEST(KavrexMsgc, CompileAndListRoundTrip) {
  test::TempDir dir;
  std::string source =
      "# comment\n"
      ".70000\n"
      "first line\n"
      "\\.escaped dot\n"
      "\n"
      ".-5\n"
      "\\# not a comment\n"
      "# a comment inside\n"
      ".12\n"
      "twelve %s\n";
  test::write_file(dir.file("a.msg"), source);
  auto c = msgc({"-o", dir.file("a.vem"), dir.file("a.msg")});
  ASSERT_EQ(c.status, 0) << c.err;
  std::string bytes = test::read_file(dir.file("a.vem"));
  ASSERT_GE(bytes.size(), 4u);
  EXPECT_EQ(static_cast<unsigned char>(bytes[1]), 0x69);  // 70000 needs the wide index
  auto l = msgc({"-l", dir.file("a.vem")});
  EXPECT_EQ(l.status, 0);
  EXPECT_EQ(l.out,
            ".-5\n\\# not a comment\n"
            ".12\ntwelve %s\n"
            ".70000\nfirst line\n\\.escaped dot\n\n");
}

// Each failure: status 1, its message, and no catalogue (nor a temporary
// file) left behind.
TEST(KavrexMsgc, Failures) {
  test::TempDir dir;
  const std::string x = dir.file("x.vem");
  test::write_file(dir.file("a.msg"), ".1\none\n");
  test::write_file(dir.file("dup.msg"), ".1\na\n.1\nb\n");
  test::write_file(dir.file("bad.msg"), "text first\n");
  test::write_file(dir.file("num.msg"), ".12a\n");
  test::write_file(dir.file("cut.vem"), std::string("\xFE\x68\x00\x02\x00\x01\x00\x04\x00\x00\x00\x0C", 12));
  // A catalogue that cannot take the place of what is there.
  std::filesystem::create_directory(dir.file("taken.vem"));
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"-o", x, dir.file("missing.msg")}, "cannot read " + dir.file("missing.msg") + ": No such file or directory"},
      {{"-o", x, dir.path()}, "cannot read " + dir.path() + ": Is a directory"},
      {{"-o", x, dir.file("dup.msg")}, dir.file("dup.msg") + ": message 1 appears twice"},
      {{"-o", x, dir.file("bad.msg")}, dir.file("bad.msg") + ": line 1: text before the first message number"},
      {{"-o", x, dir.file("num.msg")}, dir.file("num.msg") + ": line 1: bad message number \".12a\""},
      {{"-l", dir.file("cut.vem")}, dir.file("cut.vem") + ": offset 4: text of message 1 lies outside the file"},
      {{"-o", dir.file("taken.vem"), dir.file("a.msg")}, "cannot write " + dir.file("taken.vem") + ": Is a directory"},
  };
  for (const auto& [args, message] : cases) {
    SCOPED_TRACE(testing::PrintToString(args));
    test::RunResult r = msgc(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kavrex-msgc: " + message + "\n");
    EXPECT_EQ(test::names_in(dir.path()), (std::vector<std::string>{"a.msg", "bad.msg", "cut.vem", "dup.msg",
                                                                    "num.msg", "taken.vem"}));
  }
}

}  // namespace
