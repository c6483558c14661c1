// expand_test.cpp -- the record message language: escapes, conversions and
// what they consume, floating text at the end of the line, the hex
// dump and what its sink is handed, dumps that fault part-way, and
// addresses and strings outside the image.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "test_image.h"
#include "viewer/expand.h"

namespace {

using viewer_test::Args;
using viewer_test::dump_address;
using viewer_test::TestImage;

// A dump sink that keeps the text before each %r with the dump's lines, and
// each dump's bytes, and starts the text again at the line's start.
struct Dumps {
  std::string written;
  std::vector<std::string> bytes;
  static void hex_dump(void* context, kvf::Line& line, const kvf::HexDump& dump) {
    Dumps& d = *static_cast<Dumps*>(context);
    d.written.append(line.message, line.at);
    for (std::int32_t from = 0; kvf::dump_has_line(dump, from); from += 16) {
      char text[kvf::kDumpLineMax];
      d.written.append(text, kvf::dump_line(text, dump, from));
    }
    d.bytes.emplace_back(reinterpret_cast<const char*>(dump.bytes), static_cast<std::size_t>(dump.shown));
    line.at = line.message;
  }
};

struct Expanded {
  bool ok;
  std::string written;  // the text handed to the dump sink
  std::string message;  // the message text left in the line
  std::vector<std::string> bytes;  // each dump's bytes the image holds
};

class Expand : public ::testing::Test {
 protected:
  using Expansion = bool (*)(kvf::Line&, std::uint64_t, const unsigned char*, const kvf::DumpSink&);
  static Expanded run_with(Expansion expand, std::uint64_t format, const Args& args) {
    unsigned char area[80] = {};
    std::memcpy(area, args.bytes().data(), args.used());
    static char buffer[kvf::kLineRoom];
    kvf::Line line{buffer, buffer, buffer};
    Dumps dumps;
    bool ok = expand(line, format, area, kvf::DumpSink{&dumps, Dumps::hex_dump});
    return {ok, dumps.written, std::string(line.message, line.at), dumps.bytes};
  }
  // The expansion; that of a dump's walk, which keeps the format's pieces
  // the first time and replays them the second, must give the same.
  Expanded run(std::uint64_t format, const Args& args) {
    Expanded e = run_with(kvf::kvf_expand_message, format, args);
    kvf::new_kept_walk();
    for (const char* time : {"first", "second"}) {
      SCOPED_TRACE(::testing::Message() << "kept, " << time << " time");
      Expanded kept = run_with(kvf::kvf_expand_kept_message, format, args);
      EXPECT_EQ(kept.ok, e.ok);
      EXPECT_EQ(kept.written, e.written);
      EXPECT_EQ(kept.message, e.message);
      EXPECT_EQ(kept.bytes, e.bytes);
    }
    return e;
  }
  std::string message(const std::string& format, const Args& args = {}) {
    Expanded e = run(image.string(format), args);
    EXPECT_TRUE(e.ok);
    EXPECT_EQ(e.written, "");
    return e.message;
  }

  TestImage image{1u << 20};
};

TEST_F(Expand, MessageLanguage) {
  const std::uint64_t s = image.string("abc"), big = image.string(std::string(5000, 'q'));
  // 20 four-byte arguments fill the area; after 19 (76 bytes) no 8-byte one fits.
  Args twenty, nineteen;
  std::string f, want;
  for (int i = 0; i < 20; ++i) {
    twenty.i32(i);
    if (i < 19) nineteen.i32(i);
    f += "%d ";
    want += std::to_string(i) + " ";
  }
  struct Case {
    std::string format;
    Args args;
    std::string want;
  };
  const Case cases[] = {
      {"%d items\\n", Args().i32(3), "3 items\n"},
      {"\\a\\b\\f\\n\\r\\t\\v\\\\", {}, "\a\b\f\n\r\t\v\\"},
      {"\\q", {}, "q"},
      {"ab\\", {}, "ab"},  // a closing backslash ends the text
      {"ab%", {}, "ab%"},  // a closing percent sign is copied
      {"100%%", {}, "100%"},
      {"", {}, ""},
      {"%d %i %o %x %X %c %o", Args().i32(-5).i32(7).i32(8).i32(255).i32(255).i32(0x141).i32(-1),
       "-5 7 10 ff ff A 37777777777"},
      {"%d", Args().i32(INT32_MIN), "-2147483648"},
      // A NUL character adds nothing, and the text goes on after it.
      {"<%c>", Args().i32(0x100), "<>"},
      {"flag=%c state=%d", Args().i32(0).i32(7), "flag= state=7"},
      // Arguments are unaligned.
      {"%s=%x", Args().u64(s).i32(42), "abc=2a"},
      {"%d %s", Args().i32(5).u64(s), "5 abc"},
      {"[%s]", Args().u64(0), "[(null)]"},
      {"%p", Args().u64(0xabc123), "0000000000ABC123"},
      {"%p", Args().u64(UINT64_MAX), "FFFFFFFFFFFFFFFF"},
      // A long is 32 bits, and only %ll with u or x is unsigned.
      {"%ld", Args().u64(7), "7d"},
      {"%l", Args().u64(0x1FFFFFFFFull), "-1"},
      {"%llu", Args().u64(UINT64_MAX), "18446744073709551615"},
      {"%llx", Args().u64(UINT64_MAX), "ffffffffffffffff"},
      {"%ll", Args().u64(UINT64_MAX), "-1"},
      {"%lld", Args().u64(UINT64_MAX), "-1d"},
      {"%l %d", Args().u64(3).i32(4), "3 4"},
      // Unknown conversions consume nothing.
      {"%5d %d", Args().i32(9), "%5d 9"},
      {"%u %-10s %hd %d", Args().i32(1), "%u %-10s %hd 1"},
      {"%f %e %g %E %G", Args().f64(1.5).f64(1.5).f64(1.5).f64(0.0001).f64(1e-10),
       "1.500000 1.500000e+00 1.5 1.000000E-04 1E-10"},
      // Arguments past the area show FMTERR.
      {f + "%d %%", twenty, want + "**FMTERR** %"},
      {f.substr(0, 3 * 19) + "%s %d %llx.", nineteen, want.substr(0, want.find("19 ")) + "**FMTERR** **FMTERR** **FMTERR**."},
      // Long text is cut at the buffer.
      {"%s%s!", Args().u64(big).u64(big), std::string(kvf::kMessageSize - 1, 'q')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format.substr(0, 60));
    EXPECT_EQ(message(c.format, c.args), c.want);
  }
  Expanded none = run(0, Args().i32(1));  // no format: an empty message
  EXPECT_TRUE(none.ok);
  EXPECT_EQ(none.message, "");
}

// The values themselves are floating_test's; here, a floating text that
// passes the line's 4095 bytes is dropped there, and the walk goes on.
TEST_F(Expand, FloatingTextIsCutAtTheLine) {
  // Ten of the longest.
  const double max = std::numeric_limits<double>::max();
  char longest[400];
  int n = std::snprintf(longest, sizeof longest, "%f", -max);
  ASSERT_EQ(n, 1 + 309 + 1 + 6);
  Args ten;
  std::string format = std::string(1000, '-'), want = format;
  for (int i = 0; i < 10; ++i) {
    ten.f64(-max);
    format += "%f";
    want += longest;
  }
  EXPECT_EQ(message(format, ten), want.substr(0, kvf::kMessageSize - 1));
  // A short one three bytes from the end, then a number that finds no room.
  std::string dashes(kvf::kMessageSize - 4, '-');
  EXPECT_EQ(message(dashes + "%f%d", Args().f64(1.5).i32(7)), dashes + "1.5");
}

TEST_F(Expand, HexDumpWritesTextSoFarThenLinesThenRestarts) {
  unsigned char* block = image.alloc(20);
  for (int i = 0; i < 20; ++i) block[i] = static_cast<unsigned char>(i);
  block[19] = 0x80;
  std::uint64_t a = TestImage::addr(block);
  Expanded e = run(image.string("before %r after %d"), Args().u64(a).i32(20).i32(9));
  ASSERT_TRUE(e.ok);
  EXPECT_EQ(e.written, "before \n" + dump_address(a) + "  0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f\n" +
                           dump_address(a + 16) + " 10 11 12 80");
  EXPECT_EQ(e.message, " after 9");
  e = run(image.string("x%ry"), Args().u64(0).i32(0));  // a dump of nothing still restarts the text
  ASSERT_TRUE(e.ok);
  EXPECT_EQ(e.written, "x");
  EXPECT_EQ(e.message, "y");
}

TEST_F(Expand, HexDumpThatFaultsKeepsWhatWentOut) {
  // The text before the %r and the bytes that can be read go out; the byte
  // that cannot be read ends the record, after its address line when it
  // starts one. Nothing of the tool's own memory is shown.
  std::string block_bytes;
  for (int i = 0; i < 20; ++i) block_bytes += static_cast<char>(0x30 + i);
  const std::uint64_t end = image.at_end(""), at20 = end - 20, at16 = end - 16;
  static const char outside[] = "tool memory";
  const std::uint64_t out = TestImage::addr(outside);
  auto at = [](std::uint64_t a) { return std::string("\n").append(dump_address(a)); };
  const std::string row = " 30 31 32 33 34 35 36 37 38 39 3a 3b 3c 3d 3e 3f";
  struct Case {
    const char* what;
    std::size_t readable;  // the block's bytes at the end of the image
    std::uint64_t block;
    std::int32_t count;
    std::string written;  // after "before "
    bool ok;
  };
  const Case cases[] = {
      {"20 of 40 readable", 20, at20, 40, at(at20) + row + at(at20 + 16) + " 40 41 42 43", false},
      {"16 of 20 readable", 16, at16, 20, at(at16) + row + at(at16 + 16), false},
      {"all 20 readable", 20, at20, 20, at(at20) + row + at(at20 + 16) + " 40 41 42 43", true},
      {"outside the image", 0, out, 4, at(out), false},
      {"null block", 0, 0, 3, at(0), false},
      {"nothing to dump", 0, out, 0, "", true},
      {"negative count", 0, out, -1, "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    image.at_end(block_bytes.substr(0, c.readable));
    Expanded e = run(image.string("before %r after"), Args().u64(c.block).i32(c.count));
    EXPECT_EQ(e.ok, c.ok);
    EXPECT_EQ(e.written, "before " + c.written);
    if (c.ok) {
      EXPECT_EQ(e.message, " after");
    }
    // The sink is handed the bytes the image holds, and no more.
    std::size_t shown = std::min<std::size_t>(c.readable, static_cast<std::size_t>(std::max(c.count, 0)));
    EXPECT_EQ(e.bytes, std::vector<std::string>{block_bytes.substr(0, shown)});
  }
}

TEST_F(Expand, StringsThatRunOffTheImageMakeTheRecordUnreadable) {
  // A string or format whose NUL is not in the image faults, however long;
  // one whose NUL is the image's last byte is whole. A long string is still
  // cut at the line's limit.
  const std::uint64_t big = image.string(std::string(5000, 'q'));
  const std::string quarters(kvf::kMessageSize - 1, 'q');
  struct Case {
    const char* what;
    std::string at_end;  // the image's last bytes
    bool as_format;      // they are the format; else the format is `format`
    std::string format;
    Args args;
    std::string want;  // the message text, or nothing when the record faults
    bool ok;
  };
  const Case cases[] = {
      {"string ends at the last byte", std::string("zzzz\0", 5), false, "<%s>", {}, "<zzzz>", true},
      {"string runs off", "zzzzz", false, "<%s>", {}, "", false},
      {"long string ends at the last byte", std::string(4999, 'q') + '\0', false, "%s", {}, quarters, true},
      {"long string runs off", std::string(5000, 'q'), false, "%s", {}, "", false},
      {"string runs off past a full text", "zz", false, "%s%s", Args().u64(big), "", false},
      {"format ends at the last byte", std::string("a%d\0", 4), true, "", Args().i32(5), "a5", true},
      {"format runs off", "abc", true, "", {}, "", false},
      {"format runs off after a conversion", "a%d", true, "", Args().i32(5), "", false},
      {"format runs off after a backslash", "ab\\", true, "", {}, "", false},
      {"format runs off after a percent sign", "ab%", true, "", {}, "", false},
      {"format runs off inside %ll", "%ll", true, "", Args().u64(1), "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::uint64_t end = image.at_end(c.at_end);
    Args args = c.args;
    std::uint64_t format = end;
    if (!c.as_format) {
      format = image.string(c.format);
      args.u64(end);
    }
    Expanded e = run(format, args);
    EXPECT_EQ(e.ok, c.ok);
    EXPECT_EQ(e.written, "");
    if (c.ok) {
      EXPECT_EQ(e.message, c.want);
    }
  }
  // A dump that went out before the format runs off stays.
  unsigned char* block = image.alloc(1);
  block[0] = 0xab;
  std::string format = "x%ry";
  Expanded e = run(image.at_end(format), Args().u64(TestImage::addr(block)).i32(1));
  EXPECT_FALSE(e.ok);
  EXPECT_EQ(e.written, "x\n" + dump_address(TestImage::addr(block)) + " ab");
}

}  // namespace
