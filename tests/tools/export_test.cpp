// kavrex-export: every field of built records in valid JSON whatever bytes
// they hold; the same records, skips and order as fview; a hex dump that
// faults; dumps refused before the load, standard input and other failures.
// Following a live server is export_filter_test's (-t --new).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "tools/export_lines.h"

namespace {

using export_test::Json;
using export_test::read_json_lines;
using export_test::run_export;
using kvf::sim::ImageBuilder;
using kvf::sim::Record;
using test::Installation;
using test::RunResult;

// The lines a hex dump of the 20 bytes 0, 13, 26, ... at `address` takes in
// a message, and those bytes as the line's hex_dumps.
std::string hex_lines(std::uint64_t address) {
  char first[16], second[16];
  std::snprintf(first, sizeof first, "%8x:", static_cast<unsigned>(address));
  std::snprintf(second, sizeof second, "%8x:", static_cast<unsigned>(address + 16));
  return std::string("\n") + first + "  0  d 1a 27 34 41 4e 5b 68 75 82 8f 9c a9 b6 c3\n" + second + " d0 dd ea f7";
}
const std::string kThirteens = "[[0,13,26,39,52,65,78,91,104,117,130,143,156,169,182,195,208,221,234,247]]";

// The line of record `r` at `index`: every number as python3 read it.
void expect_fields(const Json& j, const Record& r, std::int32_t index) {
  using std::to_string;
  EXPECT_EQ(j.at("kind").str(), "record");
  const std::pair<const char*, std::string> numbers[] = {
      {"index", to_string(index)}, {"time", to_string(r.time)}, {"stamp", to_string(r.stamp)},
      {"component", to_string(r.component)}, {"feature", to_string(r.feature)}, {"pid", to_string(r.pid)},
      {"csvr", to_string(r.csvr)}, {"thrd", to_string(r.thrd)}, {"session", to_string(r.session)},
      {"trans", to_string(r.trans)}, {"rstcb", to_string(r.rstcb)}, {"line", to_string(r.line)}};
  for (const auto& [key, value] : numbers) EXPECT_EQ(j.at(key).as('i'), value) << key;
}

TEST(Export, EveryFieldOfEveryRecord) {
  Installation inst;
  ImageBuilder image({.ring_records = 16, .string_area = 256 * 1024});
  std::vector<Record> records;

  Record a = image.record("heap.c", 12, "%d items %s");
  a.args.i32(3).ptr(image.string("\"quoted\" back\\slash\ttab"));
  a.component = 2;  // KVF_BFR_MGR
  a.feature = 3;    // KVF_CALL
  a.time = 0;
  a.pid = -1;
  a.csvr = 7;
  a.thrd = 9;
  a.session = (std::int64_t{1} << 40) + 5;
  a.trans = 0xffffffffffffull;
  a.rstcb = 0;
  records.push_back(a);

  // Bytes that are not UTF-8 and control characters, in the file name and
  // in a string argument; ids without a name; a time past the year 9999.
  Record b = image.record("bad\xff\xfe.c", 7, "%s|");
  b.args.ptr(image.string("caf\xc3\xa9 \x01\x1f ctl \xed\xa0\x80 \xc0\xaf \xf4\x90\x80\x80 end\n"));
  b.component = 119;
  b.feature = 999;
  b.time = 253402300800;  // 10000-01-01
  records.push_back(b);

  // A hex dump: its lines are part of the message.
  unsigned char bytes[20];
  for (int i = 0; i < 20; ++i) bytes[i] = static_cast<unsigned char>(i * 13);
  std::uint64_t block = image.bytes(bytes, sizeof bytes);
  Record c = image.record("dump.c", 1, "blk %r end");
  c.args.block(block, 20);
  c.time = -1;
  c.session = -3;
  records.push_back(c);

  Record d = image.record("plain.c", 2);  // no message
  d.time = 1796512681;
  records.push_back(d);

  // Two dumps in one message, then one past the 64 KiB kept in all.
  std::vector<unsigned char> big(70000);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<unsigned char>(i % 251);
  Record e = image.record("two.c", 3, "%r+%r");
  e.args.block(image.bytes(bytes, 3), 3).block(image.bytes(bytes + 3, 2), 2);
  records.push_back(e);
  Record f = image.record("big.c", 4, "%r");
  f.args.block(image.bytes(big.data(), big.size()), static_cast<std::int32_t>(big.size()));
  records.push_back(f);

  for (const Record& r : records) image.append_record(r);
  image.write_dump(inst.file("dump"));

  RunResult out = run_export(inst, {inst.file("dump")});
  ASSERT_EQ(out.status, 0) << out.err;
  EXPECT_EQ(out.err, "");
  std::vector<Json> lines = read_json_lines(out.out);
  ASSERT_EQ(lines.size(), records.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(i);
    // append_record gave stamps 1, 2, ... in order.
    records[i].stamp = static_cast<std::uint32_t>(i + 1);
    expect_fields(lines[i], records[i], static_cast<std::int32_t>(i));
  }
  const Json &ja = lines[0], &jb = lines[1], &jc = lines[2], &jd = lines[3];
  EXPECT_EQ(ja.at("time_utc").str(), "1970-01-01T00:00:00Z");
  EXPECT_EQ(ja.at("component_name").str(), "KVF_BFR_MGR");
  EXPECT_EQ(ja.at("feature_name").str(), "KVF_CALL");
  EXPECT_EQ(ja.at("file").str(), "heap.c");
  EXPECT_EQ(ja.at("message").str(), "3 items \"quoted\" back\\slash\ttab");

  EXPECT_TRUE(jb.at("time_utc").is_null());
  EXPECT_TRUE(jb.at("component_name").is_null());
  EXPECT_TRUE(jb.at("feature_name").is_null());
  EXPECT_EQ(jb.at("file").str(), "bad\xEF\xBF\xBD\xEF\xBF\xBD.c");
  // Each byte that starts no character becomes U+FFFD; controls are escaped.
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(jb.at("message").str(), "caf\xc3\xa9 \x01\x1f ctl " + fffd + fffd + fffd + " " + fffd + fffd + " " +
                                         fffd + fffd + fffd + fffd + " end\n|");
  EXPECT_NE(out.out.find("\\u0001\\u001f"), std::string::npos);

  EXPECT_EQ(jc.at("time_utc").str(), "1969-12-31T23:59:59Z");
  EXPECT_EQ(jc.at("message").str(), "blk " + hex_lines(block) + " end");
  EXPECT_EQ(jd.at("time_utc").str(), "2026-12-05T23:18:01Z");
  EXPECT_EQ(jd.at("message").str(), "");

  EXPECT_EQ(ja.at("hex_dumps").as('a'), "[]");
  EXPECT_EQ(jd.at("hex_dumps").as('a'), "[]");  // none carried over from the record before
  EXPECT_EQ(jc.at("hex_dumps").as('a'), kThirteens);
  EXPECT_EQ(lines[4].at("hex_dumps").as('a'), "[[0,13,26],[39,52]]");
  std::string kept = "[[";
  for (std::size_t i = 0; i < 65536; ++i) kept += std::to_string(big[i]) + (i + 1 < 65536 ? "," : "]]");
  EXPECT_TRUE(lines[5].at("hex_dumps").as('a') == kept) << "not the first 64 KiB of the block";
}

// What fview prints in place of a record: its stamp, or the note it printed.
std::vector<std::string> fview_sequence(const std::string& text) {
  std::vector<std::string> seq;
  std::istringstream in(text);
  std::string line;
  std::getline(in, line);  // the column header
  while (std::getline(in, line)) {
    if (line.find("possible buffer overrun, skipping ahead") == 0) seq.push_back("ahead");
    else if (line.find("possible buffer overrun, max skip") == 0) seq.push_back("max");
    else if (line.find("buffer overrun or formatting error") == 0) seq.push_back("skipped");
    else {
      std::istringstream cols(line);
      std::string col;
      for (int i = 0; i < 7; ++i) cols >> col;  // Component .. Stamp
      seq.push_back(col);
    }
  }
  return seq;
}

std::vector<std::string> export_sequence(const std::vector<Json>& lines) {
  std::vector<std::string> seq;
  for (const Json& j : lines) {
    const std::string& kind = j.at("kind").str();
    if (kind == "record") seq.push_back(j.at("stamp").as('i'));
    else if (kind == "overrun") seq.push_back(j.at("skip").str());
    else seq.push_back(kind);
  }
  return seq;
}

// On the ring whose walk skips ahead, the export's records, overruns and
// skipped records are fview's, in fview's order.
TEST(Export, SameRecordsAndSkipsAsFviewWhateverTheFilters) {
  Installation inst;
  export_test::write_overrun_dump(inst.file("dump"));
  RunResult fview = inst.kavrex({"fview", inst.file("dump")});
  ASSERT_EQ(fview.status, 0) << fview.err;
  RunResult out = run_export(inst, {inst.file("dump")});
  ASSERT_EQ(out.status, 0) << out.err;
  std::vector<Json> lines = read_json_lines(out.out);
  std::vector<std::string> seq = export_sequence(lines);
  EXPECT_EQ(seq, fview_sequence(fview.out));
  EXPECT_EQ(std::count(seq.begin(), seq.end(), "ahead"), 2);
  EXPECT_EQ(std::count(seq.begin(), seq.end(), "max"), 1);
  EXPECT_EQ(std::count(seq.begin(), seq.end(), "skipped"), 2);  // index 20, seen twice
  for (const Json& j : lines) {
    if (j.at("kind").str() == "overrun") { EXPECT_TRUE(j.count("from") && j.count("to")); }
    if (j.at("kind").str() == "skipped") { EXPECT_EQ(j.at("index").i64(), 20); }
  }
  // They still go out under a filter that passes no record: a reader learns
  // of the loss either way.
  RunResult none = run_export(inst, {"-c", "4000000000", inst.file("dump")});
  ASSERT_EQ(none.status, 0) << none.err;
  std::string events;
  for (std::size_t from = 0, nl; (nl = out.out.find('\n', from)) != std::string::npos; from = nl + 1)
    if (out.out.compare(from, 17, "{\"kind\":\"record\",") != 0) events += out.out.substr(from, nl + 1 - from);
  EXPECT_EQ(none.out, events);
}

// A dump whose block runs off the end of the image: a view prints the text
// before the %r and the bytes it could read, then the skip note. The
// export's skipped line carries that text and those bytes; a record that
// faulted before anything went out gets a bare skipped line.
TEST(Export, HexDumpThatFaultsPartWay) {
  Installation inst;
  ImageBuilder image({.ring_records = 16});
  const kvf::sim::SegmentInfo& segment = image.segments().back();
  const std::uint64_t end = segment.base + segment.size;
  for (int i = 0; i < 20; ++i) *image.local(end - 20 + static_cast<std::uint64_t>(i)) = static_cast<unsigned char>(i * 13);
  Record before = image.record("a.c", 1, "first");
  Record dump = image.record("dump.c", 2, "head %r tail");
  dump.args.block(end - 20, 40);
  Record bad = image.record("bad.c", 3, "%s");
  bad.args.ptr(0x10);
  Record after = image.record("b.c", 4, "last");
  for (Record r : {before, dump, bad, after}) {
    r.session = 0;
    image.append_record(r);
  }
  image.write_dump(inst.file("dump"));

  const std::string shown = "head " + hex_lines(end - 20);
  RunResult out = run_export(inst, {inst.file("dump")});
  ASSERT_EQ(out.status, 0) << out.err;
  std::vector<Json> lines = read_json_lines(out.out);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].at("message").str(), "first");
  EXPECT_EQ(lines[1].at("kind").str(), "skipped");
  EXPECT_EQ(lines[1].at("index").i64(), 1);
  ASSERT_TRUE(lines[1].count("message") && lines[1].count("hex_dumps")) << out.out;
  EXPECT_EQ(lines[1].at("message").str(), shown);
  EXPECT_EQ(lines[1].at("hex_dumps").as('a'), kThirteens);
  EXPECT_EQ(lines[2].at("kind").str(), "skipped");
  EXPECT_EQ(lines[2].size(), 2u);  // kind and index only
  EXPECT_EQ(lines[3].at("message").str(), "last");
  EXPECT_EQ(lines[3].at("hex_dumps").as('a'), "[]");
}

// Dumps refused before they are loaded, from a file or standard input
// (copied first, then checked as a file is); an empty ring; no server. The
// command line's usage errors are in command_line_test.cpp.
TEST(Export, FailuresAndStandardInput) {
  Installation inst;
  ImageBuilder image({.ring_records = 64});
  for (int i = 0; i < 5; ++i) image.append_record(image.record("a.c", i, "x"));
  image.write_dump(inst.file("whole"));
  ImageBuilder({.ring_records = 8}).write_dump(inst.file("empty ring"));
  const std::string whole = test::read_file(inst.file("whole"));
  const std::string m = std::to_string(whole.size()), cut = std::to_string(whole.size() - 1);
  test::write_file(inst.file("short"), whole.substr(0, whole.size() - 1));
  test::write_file(inst.file("text"), "not a dump at all\n");
  RunResult expected = run_export(inst, {inst.file("whole")});
  ASSERT_EQ(expected.status, 0) << expected.err;
  ASSERT_EQ(export_test::stamps(expected.out).size(), 5u);

  struct Case {
    std::vector<std::string> args;
    std::string input;
    int status;
    std::string out, err;
  };
  const std::string first_two = expected.out.substr(0, expected.out.find('\n', expected.out.find('\n') + 1) + 1);
  const std::string nothing = inst.file("nothing");
  const std::vector<Case> cases = {
      {{nothing}, "", 1, "",
       "Unable to open input file '" + nothing + "'\nkavrex-export: Can't read shared memory file " + nothing + "\n"},
      {{}, "", 1, "", "kavrex-export: server " + inst.server() + " not found\n"},
      {{inst.file("empty ring")}, "", 0, "", ""},
      {{inst.file("short")}, "", 1, "",
       "kavrex-export: " + inst.file("short") + ": truncated dump (" + cut + " of " + m + " bytes)\n"},
      {{inst.file("text")}, "", 1, "", "kavrex-export: " + inst.file("text") + ": not a dump file\n"},
      // The missing byte was never used: the load gives the whole dump's
      // records.
      {{"--allow-truncated", inst.file("short")}, "", 0, expected.out, ""},
      {{"-"}, whole, 0, expected.out, ""},
      {{"-t", "-n", "2", "-"}, whole, 0, first_two, ""},
      {{"-"}, whole.substr(0, whole.size() - 1), 1, "",
       "kavrex-export: -: truncated dump (" + cut + " of " + m + " bytes)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    test::RunOptions o;
    o.input = c.input;
    RunResult r = run_export(inst, c.args, o);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
  }
  // Standard input is copied to the temporary directory first.
  test::RunOptions nowhere;
  nowhere.input = whole;
  nowhere.env["TMPDIR"] = inst.file("missing");
  RunResult r = run_export(inst, {"-"}, nowhere);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "kavrex-export: -: cannot make a copy in " + inst.file("missing") +
                       ": No such file or directory\n");
  // Output that cannot be written is a failure, not a short export.
  RunResult full = test::run(
      {"/bin/sh", "-c", "exec \"$0\" \"$1\" >/dev/full", test::program("kavrex-export"), inst.file("whole")},
      inst.options());
  EXPECT_EQ(full.status, 1);
  EXPECT_EQ(full.err, "kavrex-export: cannot write the output: No space left on device\n");
}

}  // namespace
