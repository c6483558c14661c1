// render_test.cpp -- the record layouts byte for byte, records that point
// outside the image, and the time column. (The headers are checked with the
// walks.)
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "test_image.h"
#include "viewer/render.h"

namespace {

using viewer_test::Args;
using viewer_test::Capture;
using viewer_test::Record;
using viewer_test::TestImage;

// 2026-03-15 12:00:00 UTC, the fixed "now" of these tests.
constexpr std::int64_t kNow = 1773576000;
std::int64_t g_clock = kNow;
std::int64_t test_clock() { return g_clock; }

std::int64_t utc(int year, int month, int day, int h, int m, int s) {
  std::tm tm{};
  tm.tm_year = year - 1900, tm.tm_mon = month - 1, tm.tm_mday = day, tm.tm_hour = h, tm.tm_min = m, tm.tm_sec = s;
  return timegm(&tm);
}

class Render : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    g_clock = kNow;
    kvf::set_time_source(test_clock);
    slot = image.alloc(160);
  }
  void TearDown() override { kvf::set_time_source(nullptr); }

  std::string print(const Record& r, bool dorvel, bool full, bool expect_ok = true) {
    image.write(slot, r);
    Capture capture;
    EXPECT_EQ(kvf::kvf_print_record(slot, dorvel, full), expect_ok);
    return capture.text();
  }

  // A record in the wide columns' every field.
  Record full_record() {
    return {.file = image.string("bufmgr.c"), .line = 1234, .time = utc(2026, 3, 15, 9, 5, 3), .stamp = 4000000000u,
            .component = 2, .feature = 15, .pid = 4321, .csvr = 1, .thrd = 56, .session = 77,
            .trans = (1ull << 32) + 255, .rstcb = 0x7f00deadbeefull, .format = image.string("page %d"),
            .args = Args().i32(5)};
  }
  Record dorvel_record() {
    Record r = full_record();
    r.component = 18, r.feature = 4, r.format = image.string("native %s");
    r.args = Args().u64(image.string("first")).u64(image.string("second")).i32(-12).i32(0xabc);
    r.args.u64(1).u64(0xdeadbeef).u64(0).u64(UINT64_MAX).u64(0x1234567890ull);
    return r;
  }

  TestImage image{1u << 20};
  unsigned char* slot = nullptr;
};

TEST_F(Render, RecordLayoutsInTheFourViews) {
  static const char secret[] = "tool memory";
  const std::uint64_t outside = TestImage::addr(secret);
  const Record native = full_record(), dorvel = dorvel_record();
  // An unnamed component past every named id, an unnamed feature, and wide
  // values push the columns right; low 32 bits of session are -1.
  Record unnamed = native;
  unnamed.component = 300, unnamed.feature = 0, unnamed.session = (5ll << 32) - 1, unnamed.line = -7;
  unnamed.file = image.string("a_very_long_file_name.c"), unnamed.format = 0;
  Record dorvel_nulls = dorvel;  // the dorvel layout ignores file and shows null strings
  dorvel_nulls.file = 0, dorvel_nulls.args = Args().u64(0).u64(0).i32(3).i32(0);
  Record no_file = native, bad_file = native, bad_format = native, bad_string = native, bad_dorvel = dorvel;
  no_file.file = 0, bad_file.file = outside, bad_format.format = outside;
  bad_string.format = image.string("%s"), bad_string.args = Args().u64(outside);
  bad_dorvel.args = Args().u64(image.string("ok")).u64(outside);
  const Record long_file{.file = image.string(std::string(300, 'n')), .line = 1, .args = {}};
  // Strings whose NUL is not in the image: each put at the image's end, so
  // that the next one overwrites the last bytes with more text.
  Record file_off_end = native, long_file_off_end = native, format_off_end = native;
  Record first_off_end = dorvel, second_off_end = dorvel;
  file_off_end.file = image.at_end("off_end.c");
  long_file_off_end.file = image.at_end(std::string(300, 'n'));
  first_off_end.args = Args().u64(image.at_end("first")).u64(image.string("second"));
  second_off_end.args = Args().u64(image.string("first")).u64(image.at_end("second"));
  format_off_end.format = image.at_end("page %d");

  // Feature 15 is KVF_INFO; trans 2^32 + 255 shows its low 32 bits.
  const std::string columns =
      "bufmgr.c   1234  4321  09:05:03 4000000000   1    56   ff       deadbeef 77      ";
  const std::string values =
      "0000000000000001 00000000DEADBEEF 0000000000000000 FFFFFFFFFFFFFFFF 0000001234567890\n";
  const std::string zeros = "0000000000000000 0000000000000000 0000000000000000 0000000000000000 0000000000000000\n";
  struct Case {
    const char* what;
    const Record& r;
    bool dorvel, full;
    std::string want;
    bool ok = true;
  };
  const Case cases[] = {
      {"native narrow", native, false, false, "bufmgr.c   1234 77      page 5\n"},
      {"native narrow, dorvel view", native, true, false, "bufmgr.c   1234 77      page 5\n"},
      {"native wide", native, false, true, "KVF_BFR_MGR KVF_INFO   " + columns + "page 5\n"},
      {"native wide, dorvel view", native, true, true, "KVF_BFR_MGR KVF_INFO   " + columns + "page 5\n"},
      {"unnamed", unnamed, false, true,
       "                      a_very_long_file_name.c -7    4321  09:05:03 4000000000   1    56   "
       "ff       deadbeef -1      \n"},
      {"dorvel narrow, native view", dorvel, false, false, "bufmgr.c   1234 77      native first\n"},
      {"dorvel wide, native view", dorvel, false, true, "KVF_DORVEL KVF_MSG    " + columns + "native first\n"},
      {"dorvel narrow", dorvel, true, false, "second     -12  77         first " + values},
      {"dorvel wide", dorvel, true, true,
       "first      KVF_MSG    second     -12  4321  09:05:03 abc   1    56   ff       deadbeef 77      " +
           values},
      {"dorvel nulls", dorvel_nulls, true, false, "(null)     3    77        (null) " + zeros},
      {"no file, wide", no_file, false, true, ""},
      {"no file, narrow", no_file, false, false, ""},
      {"file cut at 256 bytes", long_file, false, false, std::string(256, 'n') + " 1    0       \n"},
      // Pointers outside the image: the record is unreadable and nothing is written.
      {"file outside", bad_file, false, true, "", false},
      {"format outside", bad_format, false, false, "", false},
      {"string outside", bad_string, false, true, "", false},
      {"dorvel string outside", bad_dorvel, true, false, "", false},
      // Strings that run off the end of the image: unreadable too.
      {"file runs off the image", file_off_end, false, true, "", false},
      {"long file runs off the image", long_file_off_end, false, false, "", false},
      {"format runs off the image", format_off_end, false, false, "", false},
      {"dorvel first string runs off the image", first_off_end, true, false, "", false},
      {"dorvel second string runs off the image", second_off_end, true, true, "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(print(c.r, c.dorvel, c.full, c.ok), c.want);
  }
}

// The number columns against the C library's "%-Nd ", at the edges of
// each digit count and of the 32-bit range.
TEST_F(Render, NumberColumnsAreTheCLibrarys) {
  Record r = full_record();
  for (std::int32_t v : {0, 9, 10, 99, 100, 999, 1000, 9999, 10000, 99999, 100000, -1, -9, -10, -9999, -10000,
                         INT32_MIN, INT32_MAX}) {
    r.line = v, r.pid = v, r.session = v;
    char want[64];
    std::snprintf(want, sizeof want, "bufmgr.c   %-4d %-7d page 5\n", v, v);
    EXPECT_EQ(print(r, false, false), want) << v;
    std::snprintf(want, sizeof want, " %-5d %-5d ", v, v);
    EXPECT_NE(print(r, false, true).find(want), std::string::npos) << v;
  }
  // Stamps one up from the last (each digit carried, a digit more, the
  // largest and 0 after it), the same again, and stamps that jump; pids
  // that share a kept slot, in turns.
  const std::uint32_t stamps[] = {8, 9, 10, 11, 99, 100, 100, 7, 999999999, 1000000000, 1000000001, 4294967294u,
                                  4294967295u, 0, 1, 0, 55};
  const std::int32_t pids[] = {31001, 31001 + 64, 31001, -31001, INT32_MIN, 4194304, 31001 + 64};
  std::size_t i = 0;
  for (std::uint32_t stamp : stamps) {
    r.stamp = stamp, r.pid = pids[i++ % std::size(pids)];
    char want[64];
    std::snprintf(want, sizeof want, " %-5d %s %-12u ", r.pid, "09:05:03", stamp);
    EXPECT_NE(print(r, false, true).find(want), std::string::npos) << stamp << " " << r.pid;
  }
}

TEST_F(Render, HexDumpComesBeforeTheColumns) {
  Record r{.file = image.string("f"), .line = 1, .format = image.string("dump%rdone"), .args = {}};
  unsigned char* block = image.alloc(2);
  block[0] = 0xab;
  block[1] = 0x01;
  r.args.u64(TestImage::addr(block)).i32(2);
  EXPECT_EQ(print(r, false, false),
            "dump\n" + viewer_test::dump_address(TestImage::addr(block)) + " ab  1f          1    0       done\n");
}

TEST_F(Render, LinesAndDumpsAcrossManyOutputPieces) {
  // Lines written in place with dump lines between them, past several
  // 64 KiB pieces of the output buffer: every copy stays whole.
  Record r{.file = image.string("piece.c"), .line = 7, .format = image.string("head %d %r tail %s"), .args = {}};
  unsigned char* block = image.alloc(40);
  for (int i = 0; i < 40; ++i) block[i] = static_cast<unsigned char>(3 * i);
  r.args.i32(-3).u64(TestImage::addr(block)).i32(40).u64(image.string(std::string(300, 's')));
  std::string one = print(r, false, true);
  ASSERT_NE(one.find("tail sss"), std::string::npos);
  image.write(slot, r);
  Capture capture;
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(kvf::kvf_print_record(slot, false, true));
  std::string all = capture.text();
  ASSERT_EQ(all.size(), 1000 * one.size());
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(all.compare(i * one.size(), one.size(), one), 0) << "copy " << i;
}

TEST_F(Render, TimeIsClockTimeTodayAndADateOtherwise) {
  EXPECT_STREQ(kvf::kvf_time_string(utc(2026, 3, 15, 9, 5, 3)), "09:05:03");
  EXPECT_STREQ(kvf::kvf_time_string(utc(2026, 3, 15, 0, 0, 0)), "00:00:00");
  EXPECT_STREQ(kvf::kvf_time_string(utc(2025, 12, 31, 23, 59, 59)), "12/31/2025");
  EXPECT_STREQ(kvf::kvf_time_string(utc(2025, 3, 15, 9, 5, 3)), "03/15/2025");  // same day, other year
  EXPECT_STREQ(kvf::kvf_time_string(utc(2026, 3, 16, 0, 0, 1)), "03/16/2026");
  EXPECT_STREQ(kvf::kvf_time_string(INT64_MAX), "--/--/----");
}

TEST_F(Render, TimeFollowsTheClockAcrossMidnight) {
  std::int64_t t = utc(2026, 3, 15, 23, 59, 58);
  g_clock = t + 1;
  EXPECT_STREQ(kvf::kvf_time_string(t), "23:59:58");
  g_clock = t + 3;  // the next day
  EXPECT_STREQ(kvf::kvf_time_string(t), "03/15/2026");
  EXPECT_STREQ(kvf::kvf_time_string(t + 2), "00:00:00");
}

TEST_F(Render, TimeMatchesTheLocalClockAcrossOffsetChanges) {
  // Every 37 seconds (runs within a minute, and across minutes, hours and
  // days) of three days around each change of a zone with summer time,
  // seen from the change day and the day after, against the C library's
  // own conversion.
  setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
  tzset();
  for (std::int64_t change : {utc(2026, 3, 8, 7, 0, 0), utc(2026, 11, 1, 6, 0, 0)}) {
    for (std::int64_t now : {change + 3600, change + 86400}) {
      g_clock = now;
      kvf::set_time_source(test_clock);
      std::tm today;
      std::time_t n = now;
      localtime_r(&n, &today);
      for (std::int64_t t = change - 86400 - 7 * 3600; t < change + 2 * 86400; t += 37) {
        std::time_t tt = t;
        std::tm tm;
        localtime_r(&tt, &tm);
        char want[16];
        bool same = tm.tm_year == today.tm_year && tm.tm_yday == today.tm_yday;
        std::strftime(want, sizeof want, same ? "%H:%M:%S" : "%m/%d/%Y", &tm);
        ASSERT_STREQ(kvf::kvf_time_string(t), want) << "time " << t << ", now " << now;
      }
    }
  }
}

}  // namespace
