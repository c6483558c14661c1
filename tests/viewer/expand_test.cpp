// expand_test.cpp -- the record message language: escapes, conversions and
// what they consume, the hex dump and its output order, failed conversions,
// and addresses outside the image.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include <sys/mman.h>
#include <limits>
#include <string>
#include <vector>
#include <unistd.h>

#include "shm/image.h"
#include "test_image.h"
#include "viewer/expand.h"
#include "viewer/output.h"

namespace {

using viewer_test::Args;
using viewer_test::Capture;
using viewer_test::TestImage;

struct Expanded {
  bool ok;
  std::string written;  // what the expansion wrote to the output itself
  std::string message;  // the message text left in the buffer
};

class Expand : public ::testing::Test {
 protected:
  Expanded run(std::uint64_t format, const Args& args) {
    unsigned char area[80] = {};
    std::memcpy(area, args.bytes().data(), args.used());
    Capture capture;
    kvf::Line line = kvf::begin_record_line();
    bool ok = kvf::kvf_expand_message(line, format, area);
    std::string message(line.message, line.at);  // the line is never ended: not output
    return {ok, capture.text(), message};
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
      {"<%c>", Args().i32(0x100), "<>"},  // a NUL character adds nothing
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

TEST_F(Expand, FloatingConversionsAreTheCLibrarys) {
  const double max = std::numeric_limits<double>::max(), min = std::numeric_limits<double>::min();
  const double tiny = std::numeric_limits<double>::denorm_min(), inf = HUGE_VAL, nan = std::nan("");
  const double values[] = {0.0, -0.0, 1.0, -1.5, 0.5, 2.5, 0.1, 1.0 / 3, 123456789.123456789, 1e-5, 999999.5,
                           1e15, 1e-300, tiny, -tiny, min, 4 * tiny, 1e120, 9.99999e120, 1e121, -1e118, -1e119,
                           -1e121, 1e200, 1e308, max, -max, inf, -inf, nan, -nan};
  for (double v : values) {
    for (const char* conversion : {"%f", "%e", "%E", "%g", "%G"}) {
      char want[400];
      std::snprintf(want, sizeof want, conversion, v);
      EXPECT_EQ(message(conversion, Args().f64(v)), want) << conversion << " of " << want;
    }
  }
  // Ten of the longest: what passes the line's 4095 bytes is dropped, and
  // the walk goes on to the end.
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
}

TEST_F(Expand, HexDumpWritesTextSoFarThenLinesThenRestarts) {
  unsigned char* block = image.alloc(20);
  for (int i = 0; i < 20; ++i) block[i] = static_cast<unsigned char>(i);
  block[19] = 0x80;
  std::uint64_t a = TestImage::addr(block);
  Expanded e = run(image.string("before %r after %d"), Args().u64(a).i32(20).i32(9));
  ASSERT_TRUE(e.ok);
  char l1[16], l2[16];
  std::snprintf(l1, sizeof l1, "%8x:", static_cast<unsigned>(a));
  std::snprintf(l2, sizeof l2, "%8x:", static_cast<unsigned>(a + 16));
  EXPECT_EQ(e.written, std::string("before \n") + l1 +
                           "  0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f\n" + l2 +
                           " 10 11 12 80");
  EXPECT_EQ(e.message, " after 9");
  e = run(image.string("x%ry"), Args().u64(0).i32(0));  // a dump of nothing still restarts the text
  ASSERT_TRUE(e.ok);
  EXPECT_EQ(e.written, "x");
  EXPECT_EQ(e.message, "y");
}

TEST_F(Expand, AddressesOutsideTheImageMakeTheRecordUnreadable) {
  static const char outside[] = "tool memory";
  std::uint64_t out = TestImage::addr(outside);
  EXPECT_FALSE(run(out, Args()).ok);
  EXPECT_FALSE(run(image.string("%s"), Args().u64(out)).ok);
  Expanded e = run(image.string("a%rb"), Args().u64(out).i32(4));
  EXPECT_FALSE(e.ok);
  EXPECT_EQ(e.written, "");  // nothing of the tool's memory
  // A block that starts inside but runs past the image.
  unsigned char* tail = image.alloc(8);
  EXPECT_FALSE(run(image.string("%r"), Args().u64(TestImage::addr(tail)).i32(1 << 24)).ok);
}

TEST_F(Expand, StringsStopAtTheEndOfTheirRange) {
  // Three pages of text with no NUL before the last byte; only the middle
  // page is image. The format and the string both end at the page's end.
  long page = sysconf(_SC_PAGESIZE);
  auto* p = static_cast<char*>(mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE,
                                    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(p, MAP_FAILED);
  std::memset(p, 'z', 3 * page);
  p[3 * page - 1] = '\0';
  kvf::image_add_range(TestImage::addr(p + page), page);
  char* last5 = p + 2 * page - 5;
  EXPECT_EQ(message("<%s>", Args().u64(TestImage::addr(last5))), "<zzzzz>");
  Expanded e = run(TestImage::addr(last5), Args());
  EXPECT_TRUE(e.ok);
  EXPECT_EQ(e.message, "zzzzz");
  munmap(p, 3 * page);
}

}  // namespace
