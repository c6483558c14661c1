// expand_test.cpp -- the record message language: escapes, conversions and
// what they consume, the hex dump and its output order, failed conversions,
// and addresses outside the image.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include <sys/mman.h>
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

TEST_F(Expand, EscapesAndClosingMarks) {
  EXPECT_EQ(message("%d items\\n", Args().i32(3)), "3 items\n");
  EXPECT_EQ(message("\\a\\b\\f\\n\\r\\t\\v\\\\"), "\a\b\f\n\r\t\v\\");
  EXPECT_EQ(message("\\q"), "q");
  EXPECT_EQ(message("ab\\"), "ab");   // a closing backslash ends the text
  EXPECT_EQ(message("ab%"), "ab%");   // a closing percent sign is copied
  EXPECT_EQ(message("100%%"), "100%");
}

TEST_F(Expand, NoFormatIsAnEmptyMessage) {
  Expanded e = run(0, Args().i32(1));
  EXPECT_TRUE(e.ok);
  EXPECT_EQ(e.message, "");
  EXPECT_EQ(message(""), "");
}

TEST_F(Expand, FourByteConversions) {
  Args a;
  a.i32(-5).i32(7).i32(8).i32(255).i32(255).i32(0x141).i32(-1);
  EXPECT_EQ(message("%d %i %o %x %X %c %o", a), "-5 7 10 ff ff A 37777777777");
  EXPECT_EQ(message("%d", Args().i32(INT32_MIN)), "-2147483648");
  // A NUL character adds nothing.
  EXPECT_EQ(message("<%c>", Args().i32(0x100)), "<>");
}

TEST_F(Expand, StringThenNumberAreUnaligned) {
  std::uint64_t s = image.string("abc");
  EXPECT_EQ(message("%s=%x", Args().u64(s).i32(42)), "abc=2a");
  EXPECT_EQ(message("%d %s", Args().i32(5).u64(s)), "5 abc");
  EXPECT_EQ(message("[%s]", Args().u64(0)), "[(null)]");
}

TEST_F(Expand, PointersAreSixteenUppercaseDigits) {
  EXPECT_EQ(message("%p", Args().u64(0xabc123)), "0000000000ABC123");
  EXPECT_EQ(message("%p", Args().u64(UINT64_MAX)), "FFFFFFFFFFFFFFFF");
}

TEST_F(Expand, LongConversionsAndWhatTheyConsume) {
  EXPECT_EQ(message("%ld", Args().u64(7)), "7d");
  EXPECT_EQ(message("%l", Args().u64(0x1FFFFFFFFull)), "-1");  // a long is 32 bits
  EXPECT_EQ(message("%llu", Args().u64(UINT64_MAX)), "18446744073709551615");
  EXPECT_EQ(message("%llx", Args().u64(UINT64_MAX)), "ffffffffffffffff");
  EXPECT_EQ(message("%ll", Args().u64(UINT64_MAX)), "-1");
  EXPECT_EQ(message("%lld", Args().u64(UINT64_MAX)), "-1d");
  EXPECT_EQ(message("%l %d", Args().u64(3).i32(4)), "3 4");
}

TEST_F(Expand, UnknownConversionsConsumeNothing) {
  EXPECT_EQ(message("%5d %d", Args().i32(9)), "%5d 9");
  EXPECT_EQ(message("%u %-10s %hd %d", Args().i32(1)), "%u %-10s %hd 1");
}

TEST_F(Expand, FloatingConversions) {
  Args a;
  a.f64(1.5).f64(1.5).f64(1.5).f64(0.0001).f64(1e-10);
  EXPECT_EQ(message("%f %e %g %E %G", a), "1.500000 1.500000e+00 1.5 1.000000E-04 1E-10");
}

TEST_F(Expand, ConversionThatDoesNotFitShowsFmterr) {
  EXPECT_EQ(message("[%f] %d", Args().f64(1e200).i32(6)), "[**FMTERR**] 6");
  EXPECT_EQ(message("%e", Args().f64(1e200)), "1.000000e+200");
  // The longest text that fits is 127 bytes.
  char fits[160];
  ASSERT_EQ(std::snprintf(fits, sizeof fits, "%f", 1e120), 127);
  EXPECT_EQ(message("%f", Args().f64(1e120)), fits);
  EXPECT_EQ(message("%f", Args().f64(1e121)), "**FMTERR**");
}

TEST_F(Expand, InfinitiesAndNansAreSpelledAsTheCLibrarySpellsThem) {
  double inf = HUGE_VAL, nan = std::nan("");
  Args a;
  a.f64(inf).f64(-inf).f64(nan).f64(-nan).f64(inf).f64(nan);
  EXPECT_EQ(message("%f %e %g %f %E %G", a), "inf -inf nan -nan INF NAN");
}

TEST_F(Expand, ConversionsBeyondTheArgumentAreaShowFmterr) {
  Args a;
  for (int i = 0; i < 20; ++i) a.i32(i);
  std::string f, want;
  for (int i = 0; i < 20; ++i) {
    f += "%d ";
    want += std::to_string(i) + " ";
  }
  EXPECT_EQ(message(f + "%d %%", a), want + "**FMTERR** %");
  // 76 bytes used: an 8-byte %s no longer fits, and nothing after it does.
  Args b;
  for (int i = 0; i < 19; ++i) b.i32(i);
  EXPECT_EQ(message(f.substr(0, 3 * 19) + "%s %d %llx.", b),
            want.substr(0, want.find("19 ")) + "**FMTERR** **FMTERR** **FMTERR**.");
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
}

TEST_F(Expand, HexDumpOfNothingStillRestartsTheText) {
  Expanded e = run(image.string("x%ry"), Args().u64(0).i32(0));
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

TEST_F(Expand, LongTextIsCutAtTheBuffer) {
  std::string big(5000, 'q');
  std::uint64_t s = image.string(big);
  std::string m = message("%s%s!", Args().u64(s).u64(s));
  EXPECT_EQ(m, std::string(kvf::kMessageSize - 1, 'q'));
}

}  // namespace
