// kavrex-export's choices among the records: each filter and their
// combination, --limit and --stats, each held against a plain export of the
// same dump as python3's json module reads it; -t --new on the stand-in
// server, to its end. The values they refuse are command_line_test's.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "tools/export_lines.h"

namespace {

using export_test::python;
using export_test::run_export;
using export_test::stamps;
using kvf::sim::ImageBuilder;
using kvf::sim::Record;
using test::Installation;
using test::RunResult;

// 2026-12-05T23:18:01Z; the filter tests run at UTC+3, where it is
// 2026-12-06T02:18:01, so the local 2026-12-05T23:18:01 is three hours
// earlier. Record i of the built dump has the time kBase + 7 i, record 10
// that local time exactly.
constexpr std::int64_t kL = 1796512681;
constexpr std::int64_t kLocal = kL - 3 * 3600;
constexpr std::int64_t kBase = kLocal - 70;
const char* const kZone = "KVT-3";

// 40 records over three components (one without a name), four features
// (15 has two names, 999 none), sessions -1 to 3 and two pids; every fifth
// message has a hex dump, whose lines come first in the message.
void write_varied_dump(const std::string& path) {
  ImageBuilder image({.ring_records = 64, .string_area = 256 * 1024});
  unsigned char bytes[20];
  for (int i = 0; i < 20; ++i) bytes[i] = static_cast<unsigned char>(i * 13);  // ends in 0xf7
  std::uint64_t block = image.bytes(bytes, sizeof bytes);
  const std::uint32_t components[] = {2, 3, 119}, features[] = {3, 15, 9, 999};
  for (int i = 0; i < 40; ++i) {
    Record r = i % 5 == 4 ? image.record("dump.c", i, "blk %r end") : image.record("ring.c", i, "n=%d");
    if (i % 5 == 4)
      r.args.block(block, sizeof bytes);
    else
      r.args.i32(i);
    r.component = components[i % 3];
    r.feature = features[i % 4];
    r.session = i % 5 - 1;
    r.pid = i % 2 ? 200 : 100;
    r.time = kBase + 7 * i;
    image.append_record(r);
  }
  image.write_dump(path);
}

// Holds the records of a filtered export (on standard input) against those
// of the plain export in the file argv[1] that pass the predicate argv[2]
// over a record r (the first argv[3] of them unless that is -1). The plain
// export has all 40 records, the filtered one no line but records, and each
// case picks some records and leaves others, so that none passes however
// the filter works.
const char* const kSelect = R"(
import json, re, sys
plain = [json.loads(l) for l in open(sys.argv[1])]
got = [json.loads(l) for l in sys.stdin]
keep = eval('lambda r: ' + sys.argv[2])
limit = int(sys.argv[3])
records = [r for r in plain if r['kind'] == 'record']
want = [r['index'] for r in records if keep(r)]
if limit >= 0:
    want = want[:limit]
assert len(records) == 40, len(records)
assert all(r['kind'] == 'record' for r in got), got
assert [r['index'] for r in got] == want, ([r['index'] for r in got], want)
assert 0 < len(want) < 40, want
)";

TEST(ExportFilter, EachFilterAndTheirCombinationAgainstAPlainExport) {
  Installation inst;
  write_varied_dump(inst.file("dump"));
  test::RunOptions zone;
  zone.env["TZ"] = kZone;
  RunResult plain = run_export(inst, {inst.file("dump")}, zone);
  ASSERT_EQ(plain.status, 0) << plain.err;
  test::write_file(inst.file("plain"), plain.out);

  const std::string at = "@" + std::to_string(kLocal), t = std::to_string(kLocal);
  struct Case {
    std::vector<std::string> args;
    std::string keep;
    int limit = -1;
  };
  const std::vector<Case> cases = {
      {{"-c", "KVF_BFR_MGR"}, "r['component_name'] == 'KVF_BFR_MGR'"},
      {{"--component=3,119"}, "r['component'] in (3, 119)"},
      // The second name of feature 15, and a number the catalogue lacks.
      {{"-f", "KVF_ARGS"}, "r['feature'] == 15"},
      {{"-fKVF_CALL,999"}, "r['feature'] in (3, 999)"},
      {{"-f", "KVF_CALL", "-f", "KVF_EVENT"}, "r['feature'] in (3, 9)"},
      {{"-s", "-1,2"}, "r['session'] in (-1, 2)"},
      {{"--pid", "200"}, "r['pid'] == 200"},
      // Record 10 is at the bound: in for --since, out for --until.
      {{"--since", at}, "r['time'] >= " + t},
      {{"--until", at}, "r['time'] < " + t},
      {{"--until", "2026-12-05T23:18"}, "r['time'] < " + t + " - 1"},
      {{"--since", "2026-12-05T23:17:30", "--until", "2026-12-05T23:18:30"},
       "" + t + " - 31 <= r['time'] < " + t + " + 29"},
      {{"-g", "^n=1[0-9]$"}, "re.search('^n=1[0-9]$', r['message'])"},
      // The hex dump's lines and the text after it are one message.
      {{"--grep", "f7 end$"}, "re.search('f7 end$', r['message'])"},
      {{"-c", "KVF_BFR_MGR,3", "-s", "0,1,2", "--until", "@" + std::to_string(kLocal + 140), "-g", "n="},
       "r['component'] in (2, 3) and r['session'] in (0, 1, 2) and r['time'] < " + std::to_string(kLocal + 140) +
           " and 'n=' in r['message']"},
      {{"-n", "3", "-p", "100"}, "r['pid'] == 100", 3},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    args.push_back(inst.file("dump"));
    RunResult filtered = run_export(inst, args, zone);
    SCOPED_TRACE(testing::PrintToString(c.args));
    ASSERT_EQ(filtered.status, 0) << filtered.err;
    EXPECT_EQ(filtered.err, "");
    RunResult check = python(kSelect, {inst.file("plain"), c.keep, std::to_string(c.limit)}, filtered.out);
    EXPECT_EQ(check.status, 0) << check.err;
  }
  RunResult none = run_export(inst, {"-n", "0", inst.file("dump")});
  EXPECT_EQ(none.status, 0);
  EXPECT_EQ(none.out, "");
}

// The counts a plain export of the same dump gives, read by python3 and
// held against the --stats object as a whole.
const char* const kCount = R"(
import json, sys
plain = [json.loads(l) for l in open(sys.argv[1])]
keep = eval('lambda r: ' + sys.argv[2])
records = [r for r in plain if r['kind'] == 'record' and keep(r)]
def by(key):
    counts = {}
    for r in records:
        counts[key(r)] = counts.get(key(r), 0) + 1
    return counts
times = [r['time'] for r in records]
want = {'kind': 'stats', 'records': len(records),
        'first_time': min(times) if times else None, 'last_time': max(times) if times else None,
        'components': by(lambda r: r['component_name'] or str(r['component'])),
        'features': by(lambda r: r['feature_name'] or str(r['feature'])),
        'sessions': by(lambda r: str(r['session'])), 'pids': by(lambda r: str(r['pid'])),
        'overruns': len([r for r in plain if r['kind'] == 'overrun']),
        'skipped': len([r for r in plain if r['kind'] == 'skipped'])}
lines = sys.stdin.read().splitlines()
assert len(lines) == 1, lines
got = json.loads(lines[0])
assert got == want, 'got  %s\nwant %s' % (got, want)
)";

TEST(ExportStats, CountsAgainstAPlainExport) {
  Installation inst;
  write_varied_dump(inst.file("varied"));
  export_test::write_overrun_dump(inst.file("overrun"));

  struct Case {
    std::string dump;
    std::vector<std::string> args;
    std::string keep;
  };
  const std::vector<Case> cases = {
      {"varied", {}, "True"},
      {"varied", {"-c", "119,KVF_BFR_MGR", "-g", "n="}, "r['component'] in (119, 2) and 'n=' in r['message']"},
      {"overrun", {}, "True"},
      // Nothing passes: no times, empty objects.
      {"varied", {"-p", "1"}, "False"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dump + " " + testing::PrintToString(c.args));
    RunResult plain = run_export(inst, {inst.file(c.dump)});
    ASSERT_EQ(plain.status, 0) << plain.err;
    test::write_file(inst.file("plain"), plain.out);
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--stats", inst.file(c.dump)});
    RunResult stats = run_export(inst, args);
    ASSERT_EQ(stats.status, 0) << stats.err;
    RunResult check = python(kCount, {inst.file("plain"), c.keep}, stats.out);
    EXPECT_EQ(check.status, 0) << check.err;
  }
  // The limit counts what passes, and the counts stop with it.
  RunResult limited = run_export(inst, {"--stats", "-n", "5", "-s", "2", inst.file("varied")});
  EXPECT_EQ(limited.status, 0);
  EXPECT_EQ(limited.out.rfind("{\"kind\":\"stats\",\"records\":5,", 0), 0u) << limited.out;
  EXPECT_NE(limited.out.find("\"sessions\":{\"2\":5}"), std::string::npos) << limited.out;
}

// On a ring that has wrapped, -t --new hands on only records written after
// it started: every stamp above the newest one before it started, in order
// and none missed.
TEST(ExportFollow, NewStartsAtTheHead) {
  Installation inst;
  auto sim = inst.start_sim({"--records", "200", "--rate", "150", "--threads", "1", "--on", "--level", "3"});
  std::uint64_t before = 0;
  ASSERT_TRUE(test::eventually([&] {
    std::vector<std::uint64_t> s = stamps(run_export(inst, {}).out);
    before = s.empty() ? 0 : s.back();
    return before > 300;
  }));
  test::Child tail({test::program("kavrex-export"), "-t", "--new"}, inst.options());
  ASSERT_TRUE(test::eventually([&] { return stamps(tail.out()).size() >= 20; })) << tail.out() << tail.err();
  sim->signal(SIGTERM);
  ASSERT_EQ(sim->wait(), 0);
  EXPECT_EQ(tail.wait(), 0);
  std::vector<std::uint64_t> s = stamps(tail.out());
  ASSERT_GE(s.size(), 20u);
  EXPECT_GT(s.front(), before);
  for (std::size_t i = 1; i < s.size(); ++i) EXPECT_EQ(s[i], s[i - 1] + 1) << i;
  EXPECT_EQ(tail.out().find("\"kind\":\"overrun\""), std::string::npos);
  // The server's end is the last line.
  const std::string gone = "{\"kind\":\"server_gone\",\"pid\":" + std::to_string(sim->pid()) + "}\n";
  ASSERT_GE(tail.out().size(), gone.size());
  EXPECT_EQ(tail.out().substr(tail.out().size() - gone.size()), gone);
}

}  // namespace
