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

TEST(KavrexMsgc, Failures) {
  test::TempDir dir;
  EXPECT_EQ(msgc({"-o", dir.file("x.vem"), dir.file("missing.msg")}).status, 1);
  test::write_file(dir.file("dup.msg"), ".1\na\n.1\nb\n");
  auto d = msgc({"-o", dir.file("x.vem"), dir.file("dup.msg")});
  EXPECT_EQ(d.status, 1);
  EXPECT_EQ(d.err, "kavrex-msgc: " + dir.file("dup.msg") + ": message 1 appears twice\n");
  test::write_file(dir.file("bad.msg"), "text first\n");
  EXPECT_EQ(msgc({"-o", dir.file("x.vem"), dir.file("bad.msg")}).status, 1);
  test::write_file(dir.file("num.msg"), ".12a\n");
  auto n = msgc({"-o", dir.file("x.vem"), dir.file("num.msg")});
  EXPECT_EQ(n.err, "kavrex-msgc: " + dir.file("num.msg") + ": line 1: bad message number \".12a\"\n");
  test::write_file(dir.file("cut.vem"), std::string("\xFE\x68\x00\x02\x00\x01\x00\x04\x00\x00\x00\x0C", 12));
  auto cut = msgc({"-l", dir.file("cut.vem")});
  EXPECT_EQ(cut.status, 1);
  EXPECT_EQ(cut.err, "kavrex-msgc: " + dir.file("cut.vem") +
                         ": offset 4: text of message 1 lies outside the file\n");
}

TEST(KavrexMsgc, WhatCannotBeReadOrWrittenIsAnErrorAndLeavesNothing) {
  test::TempDir dir;
  test::write_file(dir.file("a.msg"), ".1\none\n");
  // A directory is no source.
  auto from_dir = msgc({"-o", dir.file("x.vem"), dir.path()});
  EXPECT_EQ(from_dir.status, 1);
  EXPECT_EQ(from_dir.err, "kavrex-msgc: cannot read " + dir.path() + ": Is a directory\n");
  // A catalogue that cannot take the place of what is there: the temporary
  // file is removed again.
  std::filesystem::create_directory(dir.file("taken.vem"));
  auto taken = msgc({"-o", dir.file("taken.vem"), dir.file("a.msg")});
  EXPECT_EQ(taken.status, 1);
  EXPECT_EQ(taken.err, "kavrex-msgc: cannot write " + dir.file("taken.vem") + ": Is a directory\n");
  EXPECT_EQ(test::names_in(dir.path()), (std::vector<std::string>{"a.msg", "taken.vem"}));
}

}  // namespace
