// The naive renderer is the reference the views are compared with byte for
// byte, so it is checked here on its own against hand-written lines: the
// column layouts, the message language, hex dumps, the time column, the
// KVF_DORVEL layout, where a walk starts and stops, and a bad address.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <string>

#include "sim/image_builder.h"
#include "support/process.h"

namespace {

using kvf::sim::ImageBuilder;
using kvf::sim::ImageOptions;
using kvf::sim::Record;

const std::string kNarrowHeader = "File       Line session \n";
const std::string kWideHeader =
    "Component  Feature    File       Line  Pid   Time     Stamp        csvr thrd trans    rstcb    session MESSAGE\n";

class NaiveRender : public ::testing::Test {
 protected:
  // Dates in the expected lines are UTC ones; the renderer inherits TZ.
  NaiveRender() {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }

  ImageBuilder image{ImageOptions{.ring_records = 128}};
  test::TempDir dir;

  // A view record: file "f", line 1, session 0, the given format.
  Record plain(const std::string& format) {
    Record r = image.record("f", 1, format);
    r.session = 0;
    return r;
  }

  std::string render(const std::string& word) {
    image.write_dump(dir.file("dump"));
    test::RunResult r = test::run({KAVREX_BIN_DIR "/naive_render", word, dir.file("dump")});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  }
};

TEST_F(NaiveRender, NarrowLineOfTheBufmgrExample) {
  Record r = image.record("bufmgr", 1234, "page %d");
  r.session = 77;
  r.args.i32(5);
  image.append_record(r);
  EXPECT_EQ(render("view"), kNarrowHeader + "bufmgr     1234 77      page 5\n");
}

TEST_F(NaiveRender, MessageLanguage) {
  struct Case {
    const char* format;
    void (*pack)(kvf::sim::ArgPacker&, ImageBuilder&);
    const char* text;
  };
  const Case cases[] = {
      {"%d items\\n", [](auto& a, auto&) { a.i32(3); }, "3 items\n"},
      {"%s=%x", [](auto& a, auto& b) { a.ptr(b.string("abc")).i32(255); }, "abc=ff"},
      {"%5d|%u|%-10s|%hd", [](auto& a, auto&) { a.i32(9); }, "%5d|%u|%-10s|%hd"},
      {"%ld", [](auto& a, auto&) { a.i64(7); }, "7d"},
      {"%ld", [](auto& a, auto&) { a.i64(0x100000000ll - 2); }, "-2d"},
      {"%llu", [](auto& a, auto&) { a.u64(std::numeric_limits<std::uint64_t>::max()); }, "18446744073709551615"},
      {"%llx", [](auto& a, auto&) { a.u64(std::numeric_limits<std::uint64_t>::max()); }, "ffffffffffffffff"},
      {"%ll", [](auto& a, auto&) { a.u64(std::numeric_limits<std::uint64_t>::max()); }, "-1"},
      {"%lld.", [](auto& a, auto&) { a.i64(-5); }, "-5d."},
      {"%X %o %i %c", [](auto& a, auto&) { a.i32(255).i32(8).i32(-5).i32(0x141); }, "ff 10 -5 A"},
      {"\\q\\t\\\\", [](auto&, auto&) {}, "q\t\\"},
      {"%s|%p", [](auto& a, auto&) { a.ptr(0).ptr(0x2000ABCDull); }, "(null)|000000002000ABCD"},
      {"%f %e %E %g %G", [](auto& a, auto&) { a.f64(1.5).f64(1.5).f64(-250.0).f64(0.0001).f64(1e20); },
       "1.500000 1.500000e+00 -2.500000E+02 0.0001 1E+20"},
      {"100%% and 50%", [](auto&, auto&) {}, "100% and 50%"},
      {"cut\\", [](auto&, auto&) {}, "cut"},
  };
  std::string want = kNarrowHeader;
  for (const Case& c : cases) {
    Record r = plain(c.format);
    c.pack(r.args, image);
    image.append_record(r);
    want += std::string("f          1    0       ") + c.text + "\n";
  }
  image.append_record(plain(""));  // no message at all, and an empty one
  want += "f          1    0       \n";
  EXPECT_EQ(render("view"), want);
}

TEST_F(NaiveRender, HexDumpComesBeforeTheColumnsOfItsRecord) {
  unsigned char bytes[20];
  for (int i = 0; i < 20; ++i) bytes[i] = static_cast<unsigned char>(i);
  bytes[3] = 0x80;
  std::uint64_t block = image.bytes(bytes, sizeof bytes);
  Record r = plain("buf %r end");
  r.args.block(block, 20);
  image.append_record(r);
  Record none = plain("x%ry");
  none.args.block(block, -1);
  image.append_record(none);

  char first[16], second[16];
  std::snprintf(first, sizeof first, "%8llx:", static_cast<unsigned long long>(block & 0xffffffff));
  std::snprintf(second, sizeof second, "%8llx:", static_cast<unsigned long long>((block + 16) & 0xffffffff));
  EXPECT_EQ(render("view"), kNarrowHeader + "buf \n" + first +
                                "  0  1  2 80  4  5  6  7  8  9  a  b  c  d  e  f\n" + second +
                                " 10 11 12 13f          1    0        end\n"
                                "xf          1    0       y\n");
}

TEST_F(NaiveRender, WideLineTimeAndLowBitsOfAddresses) {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  tm.tm_hour = 9, tm.tm_min = 5, tm.tm_sec = 3, tm.tm_isdst = -1;
  Record today = image.record("bufmgr", 1234, "hi");
  today.time = std::mktime(&tm);
  today.stamp = 7;
  today.component = 95;  // no name
  today.feature = 15;    // KVF_INFO before KVF_ARGS
  today.trans = (1ull << 32) + 255;
  image.append_record(today);

  std::tm eve{};
  eve.tm_year = tm.tm_year - 1, eve.tm_mon = 11, eve.tm_mday = 31, eve.tm_hour = 12, eve.tm_isdst = -1;
  Record old = image.record("a", -1);
  old.time = std::mktime(&eve);
  old.stamp = 4294967295u;
  old.component = 2;
  old.feature = 2;
  old.session = -(1ll << 32) - 3;  // low 32 bits: -3
  image.append_record(old);

  std::string year = std::to_string(eve.tm_year + 1900);
  EXPECT_EQ(render("fview"),
            kWideHeader +
                "           KVF_INFO   bufmgr     1234  4242  09:05:03 7            1    7    ff       beef0000 11      hi\n"
                "KVF_BFR_MGR KVF_MEM    a          -1    4242  12/31/" + year +
                " 4294967295   1    7    dead0000 beef0000 -3      \n");
}

TEST_F(NaiveRender, DorvelRecordsTakeTheirOwnLayoutOnlyUnderRviewAndFrview) {
  Record r = image.record("dv.c", 9, "%s %s %d %x %p %p %p %p %p");
  r.component = 18;
  r.feature = 3;
  r.time = 0x7fffffff;  // another day than today
  r.args.ptr(image.string("dvflush")).ptr(image.string("dvio.c")).i32(42).i32(0xabc);
  for (int i = 1; i <= 5; ++i) r.args.u64(static_cast<std::uint64_t>(i) << 40);
  image.append_record(r);

  const std::string values = "0000010000000000 0000020000000000 0000030000000000 0000040000000000 0000050000000000";
  EXPECT_EQ(render("view"), kNarrowHeader + "dv.c       9    11      dvflush dvio.c 42 abc " + values + "\n");
  EXPECT_EQ(render("rview"), kNarrowHeader + "dvio.c     42   11       dvflush " + values + "\n");
  std::string frview = render("frview");
  EXPECT_EQ(frview.substr(kWideHeader.size()),
            "dvflush    KVF_CALL   dvio.c     42   4242  01/19/2038 abc   1    7    dead0000 beef0000 11      " +
                values + "\n");
}

TEST_F(NaiveRender, WrappedRingStartsAGuardWindowPastTheTail) {
  image.make_ring(100);
  for (std::uint32_t i = 0; i < 100; ++i) image.write_record(i, image.record("f", static_cast<std::int32_t>(i)));
  image.set_indexes(39, 40);
  std::string want = kNarrowHeader;
  for (int i = 60; i < 100; ++i) want += "f          " + std::to_string(i) + std::string(i < 10 ? 3 : 2, ' ') + " 11      \n";
  for (int i = 0; i < 39; ++i) want += "f          " + std::to_string(i) + std::string(i < 10 ? 3 : 2, ' ') + " 11      \n";
  EXPECT_EQ(render("view"), want);
}

TEST_F(NaiveRender, BadAddressSkipsTheRecordAndAnIncompleteOneEndsTheWalk) {
  Record bad = plain("%s");
  bad.args.ptr(0x10);
  image.append_record(bad);
  image.append_record(plain("next"));
  Record incomplete = plain("never");
  incomplete.file = 0;
  image.append_record(incomplete);
  image.append_record(plain("after"));
  EXPECT_EQ(render("view"), kNarrowHeader + "buffer overrun or formatting error, records skipped\n"
                                            "f          1    0       next\n");
}

}  // namespace
