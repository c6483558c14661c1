// The companions' one command-line style, program by program: --help and
// -h, --version against the version the build declares, usage errors (the
// export's filter values among them) with their second line and status 2,
// values attached to short options or given with '=', "--" and options
// after operands; and kavrex-export --names read back by python3's json
// module against the catalogue tables.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "control/catalogues.h"
#include "support/process.h"

namespace {

using test::RunResult;

const std::vector<std::string> kCompanions{"kavrex-snap", "kavrex-export", "kavrex-sim", "kavrex-reg",
                                           "kavrex-msgc"};

// The version as the top-level CMakeLists.txt declares it.
std::string declared_version() {
  std::string text = test::read_file(std::string(KAVREX_SOURCE_DIR) + "/CMakeLists.txt");
  std::smatch m;
  if (!std::regex_search(text, m, std::regex(R"(project\(kavrex VERSION ([0-9.]+))"))) return "(none declared)";
  return m[1];
}

// Runs a companion with nothing of the test's installation around it: no
// server, a registry of its own in `dir`.
RunResult companion(const std::string& name, const std::vector<std::string>& args, const test::TempDir& dir) {
  test::RunOptions o;
  o.env["VELMORANSERVER"] = std::nullopt;
  o.env["VELMORANDIR"] = dir.path();
  return test::run_program(name, args, o);
}

TEST(CompanionCommandLine, HelpAndVersion) {
  test::TempDir dir;
  for (const std::string& name : kCompanions) {
    RunResult help = companion(name, {"--help"}, dir);
    EXPECT_EQ(help.status, 0) << name;
    EXPECT_EQ(help.out.rfind("Usage: " + name + " ", 0), 0u) << name << ": " << help.out;
    EXPECT_EQ(help.err, "") << name;
    RunResult h = companion(name, {"-h"}, dir);
    EXPECT_EQ(h.status, 0) << name;
    EXPECT_EQ(h.out, help.out) << name;

    RunResult version = companion(name, {"--version"}, dir);
    EXPECT_EQ(version.status, 0) << name;
    EXPECT_EQ(version.out, name + " " + declared_version() + "\n");
    EXPECT_EQ(version.err, "") << name;
  }
}

// The option parser is shared: each of its reports (unknown, ambiguous,
// needs a value, takes no value) once, and each program's own checks of
// values and operands.
TEST(CompanionCommandLine, UsageErrorsNameTheProblem) {
  const std::string when = " (YYYY-MM-DD[THH:MM[:SS]] or @SECONDS)";
  struct Case {
    std::string program;
    std::vector<std::string> args;
    std::string problem;
  };
  const std::vector<Case> cases = {
      {"kavrex-snap", {"--bogus=1"}, "unknown option '--bogus=1'"},
      {"kavrex-snap", {"--check"}, "option '--check' needs a value"},
      {"kavrex-snap", {"-o", ""}, "empty file name after -o"},
      {"kavrex-snap", {"one", "two"}, "unexpected argument 'two'"},
      {"kavrex-snap", {"--check", "f", "srv"}, "--check takes neither -o nor a SERVER"},
      {"kavrex-snap", {}, "no server: name one or set VELMORANSERVER"},
      {"kavrex-export", {"-tx"}, "unknown option '-x'"},
      {"kavrex-export", {"a", "b"}, "unexpected argument 'b'"},
      {"kavrex-export", {"--names", "-t"}, "--names takes neither -t nor a FILE"},
      {"kavrex-export", {"--names", "--sqlite", "db"}, "--names writes to no database"},
      {"kavrex-export", {"--sqlite="}, "empty file name after --sqlite"},
      {"kavrex-export", {"-c", "KVF_NOPE"}, "unknown component 'KVF_NOPE'"},
      {"kavrex-export", {"-c", "2,KVF_BFR_MGR,x"}, "unknown component 'x'"},
      {"kavrex-export", {"-c", "4294967296"}, "unknown component '4294967296'"},
      {"kavrex-export", {"--feature=KVF_BFR_MGR"}, "unknown feature 'KVF_BFR_MGR'"},
      {"kavrex-export", {"-c", "KVF_BFR_MGR,"}, "empty component in 'KVF_BFR_MGR,'"},
      {"kavrex-export", {"-s", "1,x"}, "bad session 'x'"},
      {"kavrex-export", {"-s", "9223372036854775808"}, "bad session '9223372036854775808'"},
      {"kavrex-export", {"-p", "2147483648"}, "bad process id '2147483648'"},
      {"kavrex-export", {"-p", "1,,2"}, "empty process id in '1,,2'"},
      {"kavrex-export", {"--since", "2026-02-30"}, "bad time '2026-02-30'" + when},
      {"kavrex-export", {"--until", "2026-12-05T24:00"}, "bad time '2026-12-05T24:00'" + when},
      {"kavrex-export", {"--since", "2026-12-05 10:00"}, "bad time '2026-12-05 10:00'" + when},
      {"kavrex-export", {"--since", "2026-12-5"}, "bad time '2026-12-5'" + when},
      {"kavrex-export", {"--until", "@12x"}, "bad time '@12x'" + when},
      {"kavrex-export", {"-n", "-1"}, "bad limit '-1'"},
      {"kavrex-export", {"--limit", "1e3"}, "bad limit '1e3'"},
      {"kavrex-export", {"--new"}, "--new needs -t"},
      {"kavrex-export", {"--names", "-c", "2"}, "--names takes no other option"},
      {"kavrex-export", {"--stats", "--sqlite", "x.db"}, "--stats and --sqlite cannot be combined"},
      // An abbreviation is named by the option's whole name.
      {"kavrex-export", {"--na=1"}, "option '--names' takes no value"},
      {"kavrex-sim", {"--re", "5"}, "option '--re' is ambiguous"},
      {"kavrex-sim", {"--server", "a", "stray"}, "unknown option 'stray'"},
      {"kavrex-sim", {"--server", "a", "--rate", "fast"}, "invalid value 'fast' for --rate"},
      {"kavrex-sim", {"--server", "a", "--pieces", "0"}, "invalid value '0' for --pieces"},
      {"kavrex-sim", {"--server", "a", "--base", "0x1234"},
       "invalid value '0x1234' for --base (a page-aligned address)"},
      {"kavrex-sim", {}, "no server name: give --server or set VELMORANSERVER"},
      {"kavrex-reg", {}, "no command: give query, add, delete or setup"},
      {"kavrex-reg", {"frob", "X"}, "unknown command 'frob'"},
      {"kavrex-reg", {"query"}, "query needs a KEY"},
      {"kavrex-reg", {"query", "A", "b", "c"}, "unexpected argument 'c'"},
      {"kavrex-reg", {"add", "A", "v"}, "add needs a TYPE and DATA after the VALUE"},
      {"kavrex-reg", {"add", "A", "v", "qword", "1"}, "unknown type 'qword' (sz or dword)"},
      {"kavrex-reg", {"add", "A", "v", "dword", "12x"}, "not a 32-bit number: 12x"},
      {"kavrex-reg", {"add", "A", "v", "dword", "-1"}, "not a 32-bit number: -1"},
      {"kavrex-reg", {"add", "A", "v", "dword", "4294967296"}, "not a 32-bit number: 4294967296"},
      {"kavrex-reg", {"query", "A\\..\\B"}, "malformed key: A\\..\\B"},
      {"kavrex-reg", {"query", "A\\\\B"}, "malformed key: A\\\\B"},
      {"kavrex-reg", {"setup"}, "setup needs a SERVER"},
      {"kavrex-reg", {"setup", "srv", "--dbsa-group="}, "empty group name after --dbsa-group"},
      {"kavrex-reg", {"setup", "a\\b"}, "bad server name: \"a\\b\""},
      {"kavrex-msgc", {}, "no output file: give -o OUTPUT.vem"},
      {"kavrex-msgc", {"-o", "x.vem"}, "no source file: name SOURCE.msg"},
      {"kavrex-msgc", {"-l"}, "option '-l' needs a value"},
      {"kavrex-msgc", {"-l", "a.vem", "-w"}, "-l takes no other option and no SOURCE"},
      {"kavrex-msgc", {"-o", "x.vem", "a.msg", "b.msg"}, "unexpected argument 'b.msg'"},
  };
  test::TempDir dir;
  for (const Case& c : cases) {
    RunResult r = companion(c.program, c.args, dir);
    std::string what = c.program + " " + testing::PrintToString(c.args);
    EXPECT_EQ(r.status, 2) << what;
    EXPECT_EQ(r.err, c.program + ": " + c.problem + "\nTry '" + c.program + " --help' for more information.\n")
        << what;
    EXPECT_EQ(r.out, "") << what;
  }
  // The regular expression library words its own reasons.
  RunResult regex = companion("kavrex-export", {"-g", "a("}, dir);
  EXPECT_EQ(regex.status, 2);
  EXPECT_EQ(regex.err.rfind("kavrex-export: bad regular expression 'a(': ", 0), 0u) << regex.err;
}

// The same command line spelled the ways getopt_long allows gives the same
// result; "--" makes what follows an operand however it looks.
TEST(CompanionCommandLine, SpellingsOfValuesAndOperands) {
  test::TempDir dir;
  test::write_file(dir.file("a.msg"), ".1\none\n");
  struct Case {
    std::string program;
    std::vector<std::string> args;
    int status;
    std::string out, err;
  };
  const std::string narrow = dir.file("n.vem"), wide = dir.file("w.vem");
  const std::vector<Case> cases = {
      // A value attached to its short option, options after the operand,
      // and a cluster whose last letter takes the next argument.
      {"kavrex-msgc", {"-o" + narrow, dir.file("a.msg")}, 0, "", ""},
      {"kavrex-msgc", {dir.file("a.msg"), "-wo", wide}, 0, "", ""},
      {"kavrex-msgc", {"-l" + narrow}, 0, ".1\none\n", ""},
      // Values given with '=' reach the check that compares two of them.
      {"kavrex-sim", {"--server=a", "--records=100", "--max-records=50"}, 2, "",
       "kavrex-sim: --max-records is below --records\nTry 'kavrex-sim --help' for more information.\n"},
      // The registry's commands take their arguments as they stand: data
      // that begins with '-' is data, not an option.
      {"kavrex-reg", {"add", "SOFTWARE\\A", "v", "sz", "-dash"}, 0, "", ""},
      {"kavrex-reg", {"--", "query", "SOFTWARE\\A", "v"}, 0, "SOFTWARE\\A\n    v    REG_SZ    -dash\n", ""},
  };
  for (const Case& c : cases) {
    RunResult r = companion(c.program, c.args, dir);
    std::string what = c.program + " " + testing::PrintToString(c.args);
    EXPECT_EQ(r.status, c.status) << what << "\n" << r.err;
    EXPECT_EQ(r.out, c.out) << what;
    EXPECT_EQ(r.err, c.err) << what;
  }
  // The narrow index, and the wide one: -w in the cluster took effect.
  EXPECT_EQ(test::read_file(narrow), std::string("\xFE\x68\x00\x01\x00\x01\x00\x04\x00\x00\x00\x0C" "one\n", 16));
  EXPECT_EQ(test::read_file(wide),
            std::string("\xFE\x69\x00\x01\x00\x00\x00\x01\x00\x04\x00\x00\x00\x0E" "one\n", 18));
}

// --names read by another JSON reader: every line one object with exactly
// kind, id and name in that order, and together the catalogue tables,
// components first.
TEST(ExportNames, EveryCatalogueEntryAsJsonLines) {
  test::TempDir dir;
  RunResult names = companion("kavrex-export", {"--names"}, dir);
  ASSERT_EQ(names.status, 0) << names.err;
  EXPECT_EQ(names.err, "");
  test::RunOptions o;
  o.input = names.out;
  RunResult parsed = test::run({"/usr/bin/python3", "-c",
                                "import json, sys\n"
                                "for line in sys.stdin:\n"
                                "    o = json.loads(line)\n"
                                "    assert list(o) == ['kind', 'id', 'name'], line\n"
                                "    assert type(o['id']) is int, line\n"
                                "    print(o['kind'], o['id'], o['name'])\n"},
                               o);
  ASSERT_EQ(parsed.status, 0) << parsed.err;
  std::ostringstream expected;
  for (const auto& e : kvf::component_catalogue()) expected << "component " << e.id << " " << e.name << "\n";
  for (const auto& e : kvf::feature_catalogue()) expected << "feature " << e.id << " " << e.name << "\n";
  EXPECT_EQ(parsed.out, expected.str());
  // Both names of feature 15 are there.
  EXPECT_NE(parsed.out.find("feature 15 KVF_INFO\nfeature 15 KVF_ARGS\n"), std::string::npos);
}

}  // namespace
