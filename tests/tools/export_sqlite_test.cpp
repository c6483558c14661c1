// kavrex-export --sqlite: the tables read back by the sqlite3 program and
// held against the JSON Lines of the same dump as python3's json module
// reads them; the limit's commit; failures that leave the database as it
// was (tables of another shape among them: tables that exist are written
// into, neither replaced nor refused); another writer waited for.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "sim/image_builder.h"
#include "support/installation.h"

namespace {

using kvf::sim::ImageBuilder;
using kvf::sim::Record;
using test::Installation;
using test::RunResult;

// The sqlite3 program as the shell finds it on PATH; "" when missing.
const std::string& sqlite3_program() {
  static const std::string program = [] {
    RunResult r = test::run({"/bin/sh", "-c", "command -v sqlite3"});
    return r.status == 0 ? r.out.substr(0, r.out.size() - 1) : std::string();
  }();
  return program;
}

class SqliteExport : public ::testing::Test {
 protected:
  void SetUp() override {
    if (sqlite3_program().empty()) GTEST_SKIP() << "the sqlite3 program is not installed (scripts/install-deps.sh installs it)";
  }

  RunResult run_export(const std::vector<std::string>& args) const { return inst.run("kavrex-export", args); }

  // The sqlite3 program's output for `sql`, waiting out a writer's commit.
  std::string query(const std::string& db, const std::string& sql) const {
    RunResult r = test::run({sqlite3_program(), "-cmd", ".timeout 20000", db, sql});
    EXPECT_EQ(r.status, 0) << sql << ": " << r.err;
    return r.out;
  }

  // Exports `dump` as JSON Lines and into `db` and holds the two against
  // each other: "records N\nevents M\n" from the comparison, or why not.
  // Options in `select` go to both exports.
  std::string compare(const std::string& dump, const std::string& db,
                      const std::vector<std::string>& select = {}) const {
    std::vector<std::string> args = select;
    args.push_back(dump);
    RunResult json = run_export(args);
    EXPECT_EQ(json.status, 0) << json.err;
    test::write_file(inst.file("export.jsonl"), json.out);
    args.insert(args.begin(), {"--sqlite", db});
    RunResult sql = run_export(args);
    EXPECT_EQ(sql.status, 0) << sql.err;
    EXPECT_EQ(sql.out, "");
    EXPECT_EQ(sql.err, "");
    RunResult check = test::run({"/usr/bin/python3", "-c", kCompare, inst.file("export.jsonl"), db, sqlite3_program()});
    EXPECT_EQ(check.err, "");
    return check.out;
  }

  // Every JSON line against its row in rowid order: a record against the
  // records table, any other kind against the events table, each field
  // against the column of its name (index, from and to as idx, from_idx,
  // to_idx); trans and rstcb as their 64 bits, hex_dumps as the JSON it
  // holds; an event's columns that its line does not have are null.
  static constexpr const char* kCompare = R"(
import json, subprocess, sys
lines, db, sqlite3 = sys.argv[1:]
def table(name):
    out = subprocess.run([sqlite3, '-json', db, 'SELECT * FROM %s ORDER BY rowid' % name],
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out) if out.strip() else []
column = {'index': 'idx', 'from': 'from_idx', 'to': 'to_idx'}
want = {'records': [], 'events': []}
for line in open(lines, encoding='utf-8'):
    o = {column.get(k, k): v for k, v in json.loads(line).items()}
    if o['kind'] == 'record':
        del o['kind']
        want['records'].append(o)
    else:
        want['events'].append(o)
for name, rows in want.items():
    got = table(name)
    assert len(got) == len(rows), (name, len(got), len(rows))
    for g, w in zip(got, rows):
        if g.get('hex_dumps') is not None:
            g['hex_dumps'] = json.loads(g['hex_dumps'])
        if name == 'records':
            g['trans'] &= (1 << 64) - 1
            g['rstcb'] &= (1 << 64) - 1
        else:
            for k in w: assert g[k] is not None, (k, g, w)
            g = {k: v for k, v in g.items() if v is not None}
        assert g == w, (name, g, w)
    print(name, len(rows))
)";

  Installation inst;
};

// Records with what is hard to carry over: bytes that are not UTF-8 and
// control characters, ids without a name, a time past the year 9999, 64-bit
// values above the signed range, hex dumps; and the events of a walk:
// overruns and skipped records, one with what its dump showed before the
// fault.
void write_hard_dump(const std::string& path) {
  ImageBuilder image({.ring_records = 100});
  const kvf::sim::SegmentInfo& segment = image.segments().back();
  const std::uint64_t end = segment.base + segment.size;
  unsigned char bytes[20];
  for (int i = 0; i < 20; ++i) bytes[i] = static_cast<unsigned char>(i * 13);
  for (int i = 0; i < 100; ++i) {
    Record r = image.record("ring.c", i, "n=%d");
    r.args.i32(i);
    r.session = i % 3;
    if (i == 11) {
      r = image.record("bad\xff\xfe.c", 7, "%s|");
      r.args.ptr(image.string("caf\xc3\xa9 \x01\x1f \"q\" \xed\xa0\x80 \xc0\xaf end\n"));
      r.component = 119;
      r.feature = 999;
      r.time = 253402300800;  // 10000-01-01
      r.trans = ~0ull;
      r.rstcb = 1ull << 63;
    } else if (i == 12) {
      r = image.record("two.c", 3, "%r+%r");
      r.args.block(image.bytes(bytes, 3), 3).block(image.bytes(bytes + 3, 17), 17);
    } else if (i == 13) {
      r = image.record("edge.c", 2, "head %r tail");  // the block leaves the image
      r.args.block(end - 20, 40);
    } else if (i == 14) {
      r = image.record("plain.c", 2);  // no message
    } else if (i == 20) {
      r.format = 0x10;  // outside the image: skipped
    }
    image.append_record(r);
  }
  // The reader starts at 10, skips ahead twice and stops at its maximum
  // skip, as the JSON export's own test of this ring shows.
  image.set_indexes(95, 90);
  image.write_dump(path);
}

TEST_F(SqliteExport, SameRowsAsTheJsonLinesOfTheSameDump) {
  write_hard_dump(inst.file("hard.dump"));
  std::string db = inst.file("hard.dump.db");
  std::string counts = compare(inst.file("hard.dump"), db);
  ASSERT_EQ(counts.rfind("records ", 0), 0u) << counts;
  EXPECT_EQ(counts, "records " + query(db, "SELECT count(*) FROM records") + "events " +
                        query(db, "SELECT count(*) FROM events"));
  // The values as SQL sees them: 64-bit integers and hex dumps as JSON. The
  // walk passes indexes 10 to 30 twice.
  EXPECT_EQ(query(db, "SELECT printf('%x %x', trans, rstcb), time_utc IS NULL, component_name IS NULL FROM records "
                      "WHERE file LIKE 'bad%'"),
            "ffffffffffffffff 8000000000000000|1|1\nffffffffffffffff 8000000000000000|1|1\n");
  EXPECT_EQ(query(db, "SELECT json_array_length(hex_dumps), json_array_length(hex_dumps, '$[1]') FROM records "
                      "WHERE file = 'two.c'"),
            "2|17\n2|17\n");
}

// A run that ends at its limit commits what it wrote: 4 records and the
// events the walk met before the fourth. (The filters choose the rows as
// they choose the JSON lines: the filter tests hold those.)
TEST_F(SqliteExport, ARunEndedByItsLimitCommitsItsRows) {
  write_hard_dump(inst.file("hard.dump"));
  EXPECT_EQ(compare(inst.file("hard.dump"), inst.file("limit.db"), {"-s", "2", "-n", "4"}),
            "records 4\nevents 2\n");
}

// Each failure: the message, status 1, the file byte for byte as it was
// before (or still not there), and no journal left for the next opener.
TEST_F(SqliteExport, FailuresLeaveTheFileAsItWas) {
  write_hard_dump(inst.file("dump"));
  std::string db = inst.file("db");
  struct Case {
    const char* name;
    std::string path;
    std::function<void()> before;
    std::string message;
  } cases[] = {
      {"a directory that does not exist", inst.file("none/db"), [] {}, "unable to open database file"},
      {"not a database", db, [&] { test::write_file(db, std::string(4096, 'x')); }, "file is not a database"},
      {"records of another shape", db, [&] { query(db, "CREATE TABLE records (idx INTEGER, message TEXT)"); },
       "table records has no column named time"},
      // A trigger that stops the fourth row of a second export: none of
      // that export's rows stay.
      {"a row refused part-way", db,
       [&] {
         ASSERT_EQ(run_export({"--sqlite", db, inst.file("dump")}).status, 0);
         std::string n = query(db, "SELECT count(*) FROM records");
         query(db, "CREATE TRIGGER stop BEFORE INSERT ON records WHEN (SELECT count(*) FROM records) >= " + n +
                       " + 3 BEGIN SELECT RAISE(ABORT, 'no more rows'); END");
       },
       "no more rows"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove(db.c_str());
    c.before();
    struct stat st{};
    bool file = stat(c.path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    std::string before = file ? test::read_file(c.path) : "";
    RunResult r = run_export({"--sqlite", c.path, inst.file("dump")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "kavrex-export: " + c.path + ": " + c.message + "\n");
    if (file) {
      EXPECT_EQ(test::read_file(c.path), before);
    } else {
      EXPECT_NE(access(c.path.c_str(), F_OK), 0) << "made " << c.path;
    }
    EXPECT_NE(access((c.path + "-journal").c_str(), F_OK), 0) << "a journal was left";
  }
}

// Another writer holding the database is waited for, not an error.
TEST_F(SqliteExport, WaitsForAnotherWriter) {
  write_hard_dump(inst.file("dump"));
  std::string db = inst.file("db");
  query(db, "CREATE TABLE other (x)");
  std::string held = inst.file("held");
  test::Child holder({"/bin/sh", "-c",
                      "(echo 'BEGIN EXCLUSIVE; INSERT INTO other VALUES (1);'; echo '.shell touch " + held +
                          "'; sleep 1; echo 'COMMIT;') | '" + sqlite3_program() + "' '" + db + "'"});
  ASSERT_TRUE(test::eventually([&] { return access(held.c_str(), F_OK) == 0; })) << holder.err();
  RunResult r = run_export({"--sqlite", db, inst.file("dump")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(holder.wait(), 0) << holder.err();
  EXPECT_NE(query(db, "SELECT count(*) FROM records"), "0\n");
  EXPECT_EQ(query(db, "SELECT count(*) FROM other"), "1\n");
}

}  // namespace
