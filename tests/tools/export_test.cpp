// kavrex-export: every field of built records in valid JSON whatever bytes
// they hold; the same records, skips and order as fview; the live server,
// the tail walk and the command line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "sim/image_builder.h"
#include "support/installation.h"

namespace {

using kvf::sim::ImageBuilder;
using kvf::sim::Record;
using test::Installation;
using test::RunResult;

// A value of an exported line: null, a string (decoded), an integer (as
// written, so that 64-bit values stay exact) or arrays of integers.
struct Value {
  bool null = true;
  std::string string, number;
  std::vector<std::vector<int>> arrays;
  std::int64_t i64() const { return std::stoll(number); }
  std::uint64_t u64() const { return std::stoull(number); }
  bool is_null() const { return null; }
};
using Json = std::map<std::string, Value>;

// Length of the well-formed UTF-8 character at t[i]; 0 when there is none.
std::size_t utf8_length(const std::string& t, std::size_t i) {
  auto b = [&](std::size_t k) { return i + k < t.size() ? static_cast<unsigned char>(t[i + k]) : 0u; };
  unsigned c = b(0);
  std::size_t n = c < 0x80 ? 1 : c >= 0xC2 && c < 0xE0 ? 2 : c >= 0xE0 && c < 0xF0 ? 3 : c >= 0xF0 && c < 0xF5 ? 4 : 0;
  for (std::size_t k = 1; k < n; ++k)
    if ((b(k) & 0xC0) != 0x80) return 0;
  unsigned lo = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80, hi = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
  return n > 1 && (b(1) < lo || b(1) > hi) ? 0 : n;
}

// Reads one exported line strictly: a flat object of strings, integers and
// nulls, no raw control characters, strings valid UTF-8. Anything else
// throws, which fails the test.
class LineReader {
 public:
  explicit LineReader(const std::string& t) : t_(t) {}
  Json object() {
    Json j;
    expect('{');
    if (!eat('}')) {
      do {
        std::string k = text();
        expect(':');
        if (!j.emplace(k, value()).second) fail("duplicate key " + k);
      } while (eat(','));
      expect('}');
    }
    if (i_ != t_.size()) fail("text after the object");
    return j;
  }

 private:
  [[noreturn]] void fail(const std::string& why) const {
    throw std::runtime_error(why + " at byte " + std::to_string(i_) + " of: " + t_);
  }
  bool eat(char c) { return i_ < t_.size() && t_[i_] == c ? (++i_, true) : false; }
  void expect(char c) {
    if (!eat(c)) fail(std::string("expected ") + c);
  }
  Value value() {
    Value v;
    if (t_.compare(i_, 4, "null") == 0) {
      i_ += 4;
      return v;
    }
    v.null = false;
    if (i_ < t_.size() && t_[i_] == '"') {
      v.string = text();
      return v;
    }
    if (eat('[')) {
      while (!v.arrays.empty() ? eat(',') : i_ < t_.size() && t_[i_] == '[') {
        expect('[');
        v.arrays.emplace_back();
        if (!eat(']')) {
          do v.arrays.back().push_back(std::stoi(value().number));
          while (eat(','));
          expect(']');
        }
      }
      expect(']');
      return v;
    }
    std::size_t start = i_;
    eat('-');
    std::size_t digits = i_;
    while (i_ < t_.size() && std::isdigit(static_cast<unsigned char>(t_[i_]))) ++i_;
    if (i_ == digits || (t_[digits] == '0' && i_ - digits > 1)) fail("bad value");
    v.number = t_.substr(start, i_ - start);
    return v;
  }
  std::string text() {
    expect('"');
    std::string out;
    while (!eat('"')) {
      if (i_ >= t_.size()) fail("unterminated string");
      if (static_cast<unsigned char>(t_[i_]) < 0x20) fail("raw control character");
      if (t_[i_] == '\\' && i_ + 1 < t_.size()) {
        static const std::string from = "\"\\/bfnrt", to = "\"\\/\b\f\n\r\t";
        char e = t_[i_ + 1];
        i_ += 2;
        std::size_t used = 0;
        if (auto k = from.find(e); k != std::string::npos) {
          out += to[k];
        } else if (int cp = e == 'u' ? std::stoi(t_.substr(i_, 4), &used, 16) : 0; used == 4 && cp < 0x80) {
          out += static_cast<char>(cp);
          i_ += 4;
        } else {
          fail("an escape the export does not write");
        }
        continue;
      }
      std::size_t n = utf8_length(t_, i_);
      if (n == 0) fail("invalid UTF-8");
      out.append(t_, i_, n);
      i_ += n;
    }
    return out;
  }

  const std::string& t_;
  std::size_t i_ = 0;
};

std::vector<Json> parse_lines(const std::string& output) {
  if (!output.empty() && output.back() != '\n') throw std::runtime_error("last line has no newline");
  std::vector<Json> out;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);) out.push_back(LineReader(line).object());
  return out;
}

// The reader must refuse what a strict one does, or the export tests would
// pass output that is not JSON.
TEST(ExportReader, RefusesWhatIsNotStrictJson) {
  for (const char* bad : {"{\"a\":\"\xff\"}\n", "{\"a\":\"\xed\xa0\x80\"}\n", "{\"a\":\"\x01\"}\n",
                          "{\"a\":\"\\ud800\"}\n", "{\"a\":01}\n", "{\"a\":1,}\n", "{\"a\":1}x\n", "{\"a\":1}",
                          "{\"a\":1,\"a\":2}\n"})
    EXPECT_THROW(parse_lines(bad), std::exception) << bad;
  EXPECT_EQ(parse_lines("{\"a\":\"\\u001f\\\"\xc3\xa9\",\"b\":-12,\"c\":null}\n")[0].at("a").string, "\x1f\"\xc3\xa9");
}

RunResult run_export(const Installation& inst, const std::vector<std::string>& args) {
  return inst.run("kavrex-export", args);
}

void expect_fields(const Json& j, const Record& r, std::int32_t index) {
  EXPECT_EQ(j.at("kind").string, "record");
  EXPECT_EQ(j.at("index").i64(), index);
  EXPECT_EQ(j.at("time").i64(), r.time);
  EXPECT_EQ(j.at("stamp").u64(), r.stamp);
  EXPECT_EQ(j.at("component").u64(), r.component);
  EXPECT_EQ(j.at("feature").u64(), r.feature);
  EXPECT_EQ(j.at("pid").i64(), r.pid);
  EXPECT_EQ(j.at("csvr").i64(), r.csvr);
  EXPECT_EQ(j.at("thrd").i64(), r.thrd);
  EXPECT_EQ(j.at("session").i64(), r.session);
  EXPECT_EQ(j.at("trans").u64(), r.trans);
  EXPECT_EQ(j.at("rstcb").u64(), r.rstcb);
  EXPECT_EQ(j.at("line").i64(), r.line);
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
  std::vector<Json> lines = parse_lines(out.out);
  ASSERT_EQ(lines.size(), records.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(i);
    // append_record gave stamps 1, 2, ... in order.
    records[i].stamp = static_cast<std::uint32_t>(i + 1);
    expect_fields(lines[i], records[i], static_cast<std::int32_t>(i));
  }
  const Json &ja = lines[0], &jb = lines[1], &jc = lines[2], &jd = lines[3];
  EXPECT_EQ(ja.at("time_utc").string, "1970-01-01T00:00:00Z");
  EXPECT_EQ(ja.at("component_name").string, "KVF_BFR_MGR");
  EXPECT_EQ(ja.at("feature_name").string, "KVF_CALL");
  EXPECT_EQ(ja.at("file").string, "heap.c");
  EXPECT_EQ(ja.at("message").string, "3 items \"quoted\" back\\slash\ttab");

  EXPECT_TRUE(jb.at("time_utc").is_null());
  EXPECT_TRUE(jb.at("component_name").is_null());
  EXPECT_TRUE(jb.at("feature_name").is_null());
  EXPECT_EQ(jb.at("file").string, "bad\xEF\xBF\xBD\xEF\xBF\xBD.c");
  // Each byte that starts no character becomes U+FFFD; controls are escaped.
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(jb.at("message").string, "caf\xc3\xa9 \x01\x1f ctl " + fffd + fffd + fffd + " " + fffd + fffd + " " +
                                         fffd + fffd + fffd + fffd + " end\n|");
  EXPECT_NE(out.out.find("\\u0001\\u001f"), std::string::npos);

  EXPECT_EQ(jc.at("time_utc").string, "1969-12-31T23:59:59Z");
  char first[16], second[16];
  std::snprintf(first, sizeof first, "%8x:", static_cast<unsigned>(block));
  std::snprintf(second, sizeof second, "%8x:", static_cast<unsigned>(block + 16));
  EXPECT_EQ(jc.at("message").string, std::string("blk \n") + first +
                                         "  0  d 1a 27 34 41 4e 5b 68 75 82 8f 9c a9 b6 c3\n" + second +
                                         " d0 dd ea f7 end");
  EXPECT_EQ(jd.at("time_utc").string, "2026-12-05T23:18:01Z");
  EXPECT_EQ(jd.at("message").string, "");

  using Arrays = std::vector<std::vector<int>>;
  EXPECT_EQ(ja.at("hex_dumps").arrays, Arrays{});
  EXPECT_EQ(jd.at("hex_dumps").arrays, Arrays{});  // none carried over from the record before
  EXPECT_EQ(jc.at("hex_dumps").arrays, (Arrays{{0, 13, 26, 39, 52, 65, 78, 91, 104, 117, 130, 143, 156, 169, 182, 195,
                                                208, 221, 234, 247}}));
  EXPECT_EQ(lines[4].at("hex_dumps").arrays, (Arrays{{0, 13, 26}, {39, 52}}));
  const Arrays& kept = lines[5].at("hex_dumps").arrays;
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_TRUE(std::equal(kept[0].begin(), kept[0].end(), big.begin()));
  EXPECT_EQ(kept[0].size(), 65536u);
}

// What fview prints in place of a record: its stamp, or the note it printed.
// With `named_only`, only lines that hold a component name count (the
// stand-in server's messages run over several lines).
std::vector<std::string> fview_sequence(const std::string& text, bool named_only = false) {
  std::vector<std::string> seq;
  std::istringstream in(text);
  std::string line;
  std::getline(in, line);  // the column header
  while (std::getline(in, line)) {
    if (line.find("possible buffer overrun, skipping ahead") == 0) seq.push_back("ahead");
    else if (line.find("possible buffer overrun, max skip") == 0) seq.push_back("max");
    else if (line.find("buffer overrun or formatting error") == 0) seq.push_back("skipped");
    else if (!named_only || line.find("KVF_") != std::string::npos) {
      // A hex dump in a message goes out before its record's columns.
      if (named_only) line.erase(0, line.find("KVF_"));
      std::istringstream cols(line);
      std::string col;
      for (int i = 0; i < 7; ++i) cols >> col;  // Component .. Stamp
      seq.push_back(col);
    }
  }
  return seq;
}

std::vector<std::string> export_sequence(const std::vector<Json>& lines, bool named_only = false) {
  std::vector<std::string> seq;
  for (const Json& j : lines) {
    const std::string& kind = j.at("kind").string;
    if (kind == "record" && named_only && j.at("component_name").is_null()) continue;
    if (kind == "record") seq.push_back(j.at("stamp").number);
    else if (kind == "overrun") seq.push_back(j.at("skip").string);
    else seq.push_back(kind);
  }
  return seq;
}

// A ring whose reader comes within a window of the tail before it reaches
// the head (tail 90, head 95): it starts at 10, skips ahead twice (to 10,
// then 30) and stops at its maximum skip. One record in the way points at a
// format outside the image.
TEST(Export, SameRecordsAndSkipsAsFview) {
  Installation inst;
  ImageBuilder image({.ring_records = 100});
  for (int i = 0; i < 100; ++i) {
    Record r = image.record("ring.c", i, "n=%d");
    r.args.i32(i);
    if (i == 20) r.format = 0x10;
    image.append_record(r);
  }
  image.set_indexes(95, 90);
  image.write_dump(inst.file("dump"));

  RunResult fview = inst.kavrex({"fview", inst.file("dump")});
  ASSERT_EQ(fview.status, 0) << fview.err;
  RunResult out = run_export(inst, {inst.file("dump")});
  ASSERT_EQ(out.status, 0) << out.err;
  std::vector<Json> lines = parse_lines(out.out);
  std::vector<std::string> seq = export_sequence(lines);
  EXPECT_EQ(seq, fview_sequence(fview.out));
  EXPECT_EQ(std::count(seq.begin(), seq.end(), "ahead"), 2);
  EXPECT_EQ(std::count(seq.begin(), seq.end(), "max"), 1);
  EXPECT_EQ(std::count(seq.begin(), seq.end(), "skipped"), 2);  // index 20, seen twice
  for (const Json& j : lines) {
    if (j.at("kind").string == "overrun") {
      EXPECT_TRUE(j.count("from") && j.count("to"));
    } else if (j.at("kind").string == "skipped") {
      EXPECT_EQ(j.at("index").i64(), 20);
    }
  }
}

// A dump whose block runs off the end of the image: fview prints the text
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

  char first[16], second[16];
  std::snprintf(first, sizeof first, "%8x:", static_cast<unsigned>(end - 20));
  std::snprintf(second, sizeof second, "%8x:", static_cast<unsigned>(end - 4));
  const std::string shown = std::string("head \n") + first + "  0  d 1a 27 34 41 4e 5b 68 75 82 8f 9c a9 b6 c3\n" +
                            second + " d0 dd ea f7";
  const std::string skipped = "buffer overrun or formatting error, records skipped\n";
  RunResult fview = inst.kavrex({"view", inst.file("dump")});
  ASSERT_EQ(fview.status, 0) << fview.err;
  EXPECT_EQ(fview.out, "File       Line session \na.c        1    0       first\n" + shown + skipped + skipped +
                           "b.c        4    0       last\n");

  RunResult out = run_export(inst, {inst.file("dump")});
  ASSERT_EQ(out.status, 0) << out.err;
  std::vector<Json> lines = parse_lines(out.out);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].at("message").string, "first");
  EXPECT_EQ(lines[1].at("kind").string, "skipped");
  EXPECT_EQ(lines[1].at("index").i64(), 1);
  ASSERT_TRUE(lines[1].count("message") && lines[1].count("hex_dumps")) << out.out;
  EXPECT_EQ(lines[1].at("message").string, shown);
  EXPECT_EQ(lines[1].at("hex_dumps").arrays, (std::vector<std::vector<int>>{
                                                 {0, 13, 26, 39, 52, 65, 78, 91, 104, 117, 130, 143, 156, 169, 182,
                                                  195, 208, 221, 234, 247}}));
  EXPECT_EQ(lines[2].at("kind").string, "skipped");
  EXPECT_EQ(lines[2].size(), 2u);  // kind and index only
  EXPECT_EQ(lines[3].at("message").string, "last");
  EXPECT_EQ(lines[3].at("hex_dumps").arrays, std::vector<std::vector<int>>{});
}

TEST(Export, LiveServerMatchesItsOwnDump) {
  Installation inst;
  auto sim = inst.start_sim({"--records", "300", "--count", "600", "--flat-out", "--on", "--level", "3",
                             "--segments", "2", "--pieces", "2", "--dump", inst.file("server.dump")});
  ASSERT_TRUE(sim->wait_for_output("kavrex-sim: count reached\n"));
  RunResult live = run_export(inst, {});
  RunResult dump = run_export(inst, {inst.file("server.dump")});
  ASSERT_EQ(live.status, 0) << live.err;
  ASSERT_EQ(dump.status, 0) << dump.err;
  EXPECT_EQ(live.out, dump.out);
  std::vector<Json> lines = parse_lines(live.out);
  RunResult fview = inst.kavrex({"fview"});
  EXPECT_EQ(export_sequence(lines, true), fview_sequence(fview.out, true));
  EXPECT_GT(lines.size(), 250u);
}

// The tail walk is the views' own; what is the export's is that it goes on
// into a new ring (the size changed) and ends on the server_gone line, with
// every record once and in the order written.
TEST(Export, TailFollowsANewRingUntilTheServerGoes) {
  Installation inst;
  auto sim = inst.start_sim({"--records", "100", "--rate", "300", "--threads", "1", "--on", "--level", "3"});
  test::Child tail({test::program("kavrex-export"), "-t"}, inst.options());
  ASSERT_TRUE(tail.wait_for_output("\"stamp\":20,")) << tail.err();
  ASSERT_EQ(inst.kavrex({"size", "300"}).status, 0);
  ASSERT_TRUE(test::eventually([&] { return inst.kavrex({"info"}).out.rfind("kavrex size 300\n", 0) == 0; }));
  std::string so_far = tail.out();
  std::string later = "\"stamp\":" + std::to_string(std::count(so_far.begin(), so_far.end(), '\n') + 60) + ",";
  EXPECT_TRUE(tail.wait_for_output(later)) << later;
  sim->signal(SIGTERM);
  ASSERT_EQ(sim->wait(), 0);
  EXPECT_EQ(tail.wait(), 0);
  std::vector<Json> lines = parse_lines(tail.out());
  ASSERT_GT(lines.size(), 80u);
  EXPECT_EQ(lines.back().at("kind").string, "server_gone");
  EXPECT_EQ(lines.back().at("pid").i64(), sim->pid());
  std::uint64_t last = 0;
  for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
    ASSERT_EQ(lines[i].at("kind").string, "record") << i;
    EXPECT_GT(lines[i].at("stamp").u64(), last);
    last = lines[i].at("stamp").u64();
  }
}

// The command line's usage errors are in command_line_test.cpp.
TEST(Export, Failures) {
  Installation inst;
  RunResult missing = run_export(inst, {inst.file("nothing")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(missing.err, "Unable to open input file '" + inst.file("nothing") +
                             "'\nkavrex-export: Can't read shared memory file " + inst.file("nothing") + "\n");
  RunResult no_server = run_export(inst, {});
  EXPECT_EQ(no_server.status, 1);
  EXPECT_EQ(no_server.err, "kavrex-export: server " + inst.server() + " not found\n");

  // Output that cannot be written is a failure, not a short export.
  ImageBuilder one({.ring_records = 8});
  one.append_record(one.record("a.c", 1, "x"));
  one.write_dump(inst.file("one"));
  RunResult full = test::run({"/bin/sh", "-c", "exec '" + test::program("kavrex-export") + "' '" +
                                                   inst.file("one") + "' >/dev/full"},
                             inst.options());
  EXPECT_EQ(full.status, 1);
  EXPECT_EQ(full.err, "kavrex-export: cannot write the output: No space left on device\n");

  // An empty ring exports nothing.
  ImageBuilder image({.ring_records = 8});
  image.write_dump(inst.file("empty"));
  RunResult empty = run_export(inst, {inst.file("empty")});
  EXPECT_EQ(empty.status, 0) << empty.err;
  EXPECT_EQ(empty.out, "");
}

}  // namespace
