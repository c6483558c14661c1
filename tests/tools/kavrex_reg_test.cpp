// kavrex-reg end to end: query/add/delete with exact output and failure
// statuses, and setup creating only what is missing. Its usage errors are
// command_line_test's.
#include <gtest/gtest.h>

#include "support/process.h"

namespace {

class KavrexReg : public ::testing::Test {
 protected:
  test::RunResult reg(const std::vector<std::string>& args) {
    test::RunOptions o;
    o.env["VELMORANDIR"] = dir_.path();
    return test::run_program("kavrex-reg", args, o);
  }
  test::TempDir dir_;
};

const std::string kUsers = "SOFTWARE\\Velmoran\\Corvane\\srv\\Security\\Users";

TEST_F(KavrexReg, AddQueryDelete) {
  EXPECT_EQ(reg({"add", "HKLM\\SOFTWARE\\A\\B", "name", "sz", "some text"}).status, 0);
  EXPECT_EQ(reg({"add", "SOFTWARE\\A\\B", "n/%.x", "dword", "0x1F"}).status, 0);
  EXPECT_EQ(reg({"add", "SOFTWARE\\A\\B\\C"}).status, 0);
  auto q = reg({"query", "SOFTWARE\\A\\B"});
  EXPECT_EQ(q.status, 0);
  EXPECT_EQ(q.out,
            "SOFTWARE\\A\\B\n"
            "    n/%.x    REG_DWORD    0x1f\n"
            "    name    REG_SZ    some text\n"
            "SOFTWARE\\A\\B\\C\n");
  q = reg({"query", "SOFTWARE\\A\\B", "name"});
  EXPECT_EQ(q.out, "SOFTWARE\\A\\B\n    name    REG_SZ    some text\n");
  EXPECT_EQ(reg({"delete", "SOFTWARE\\A\\B", "name"}).status, 0);
  q = reg({"query", "SOFTWARE\\A\\B", "name"});
  EXPECT_EQ(q.status, 1);
  EXPECT_EQ(q.err, "kavrex-reg: cannot read value name of SOFTWARE\\A\\B: not found (error 2)\n");
  EXPECT_EQ(reg({"delete", "SOFTWARE\\A"}).status, 0);
  EXPECT_EQ(reg({"query", "SOFTWARE\\A"}).status, 1);
  EXPECT_EQ(reg({"delete", "SOFTWARE\\A"}).status, 1);
}

TEST_F(KavrexReg, SetupCreatesWhatIsMissingAndKeepsTheRest) {
  EXPECT_EQ(reg({"add", kUsers, "UIDSeed", "dword", "41"}).status, 0);
  auto first = reg({"setup", "srv", "--dbsa-group", "admins"});
  EXPECT_EQ(first.status, 0);
  EXPECT_NE(first.out.find("created key SOFTWARE\\Velmoran\\Corvane\\srv\\Environment\n"),
            std::string::npos);
  EXPECT_NE(first.out.find("created value SOFTWARE\\Velmoran\\Corvane\\srv\\Security\\VLDBSA "
                           "Group\\Name = \"admins\"\n"),
            std::string::npos);
  EXPECT_EQ(first.out.find("UIDSeed"), std::string::npos) << first.out;  // it was there
  EXPECT_NE(first.out.find("may be written by root"), std::string::npos);
  auto q = reg({"query", kUsers});
  EXPECT_EQ(q.out, kUsers + "\n    UIDSeed    REG_DWORD    0x29\n" + kUsers + "\\Usernames\n");
  auto second = reg({"setup", "srv"});
  EXPECT_EQ(second.status, 0);
  EXPECT_EQ(second.out.find("created"), std::string::npos) << second.out;
  q = reg({"query", "SOFTWARE\\Velmoran\\Corvane\\srv\\Security\\VLDBSA Group", "Name"});
  EXPECT_NE(q.out.find("REG_SZ    admins\n"), std::string::npos);
}

}  // namespace
