// time_text.cpp -- the time column: clock time for a record of the current
// local day, the date for any other, through localtime_r. The day of "now"
// is kept until the clock moves on; the local days that records fall in are
// kept too, so that most records need no conversion at all.
#include <ctime>

#include "platform/process.h"
#include "viewer/digits.h"
#include "viewer/render.h"
#include "viewer/text.h"

namespace kvf {
namespace {

std::int64_t system_now() { return static_cast<std::int64_t>(sys::now()); }

std::int64_t (*g_now)() = system_now;

// Local day of the current time, refreshed when the clock moves on. This
// and the kept days below are each thread's own, so that threads rendering
// records at once share nothing but the time source.
thread_local std::int64_t g_now_second = -1;
thread_local bool g_now_valid = false;
thread_local int g_today_year = 0, g_today_yday = 0;

// A local day whose seconds [begin, end) all have one UTC offset, so that
// the clock time of any of them is its distance from `begin`: a day with a
// change of offset (or a leap second) is never kept. `date` is its
// "MM/DD/YYYY", longer for a year past 9999.
struct Day {
  std::int64_t begin = 0, end = 0;
  int year = 0, yday = 0;
  char date[32] = {};
  std::size_t date_size = 0;
};

// Days by (time / 86400) modulo their number: records of one ring seldom
// span more than a few days. Emptied when the time source or the zone may
// have changed (set_time_source).
constexpr int kDays = 8;
thread_local Day g_days[kDays];

// The text handed out last, the current time it was made for, and the
// record times that show the same text while the current time stays: the
// second it was made for, or the whole of a kept day shown as its date.
// Records of one ring come in runs of such times, which then need nothing
// but the comparison. When the text is the clock time of a kept day,
// `g_minute` is the first second of its minute: a record of the same
// minute needs only its seconds written over the last two digits.
thread_local char g_text[32];
static_assert(sizeof g_text >= kTimeTextRoom);
thread_local std::int64_t g_last_now = -1;
thread_local std::string_view g_last_text;
thread_local std::int64_t g_same_begin = 0;
thread_local std::uint64_t g_same_count = 0;
constexpr std::int64_t kNoMinute = INT64_MIN;
thread_local std::int64_t g_minute = kNoMinute;

// A record time that the local-time conversion rejects shows this
// (10 places, the width of a date). Every buffer a text is handed out
// from holds kTimeTextRoom bytes at least.
constexpr char kBadTime[kTimeTextRoom] = "--/--/----";
static_assert(sizeof(Day::date) >= kTimeTextRoom);

void two_digits(char* out, int v) {
  out[0] = static_cast<char>('0' + v / 10);
  out[1] = static_cast<char>('0' + v % 10);
}

// "MM/DD/YYYY" of `tm` (the year zero-padded to four places, sign first);
// returns its length.
std::size_t date_text(char* out, std::size_t size, const std::tm& tm) {
  text::Text t(out, size);
  t.zero_padded(tm.tm_mon + 1, 2);
  t.put('/');
  t.zero_padded(tm.tm_mday, 2);
  t.put('/');
  t.zero_padded(static_cast<std::int64_t>(tm.tm_year) + 1900, 4);
  return t.size();
}

bool same_day(const std::tm& a, const std::tm& b) {
  return a.tm_year == b.tm_year && a.tm_yday == b.tm_yday && a.tm_gmtoff == b.tm_gmtoff;
}

// Keeps the local day of `time` (local time `tm`) in `day` when its first
// and last second show the same date and offset as `time`.
void keep_day(Day& day, std::int64_t time, const std::tm& tm) {
  std::int64_t begin = time - (tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec);
  std::int64_t end = begin + 86400;
  std::time_t first = static_cast<std::time_t>(begin), last = static_cast<std::time_t>(end - 1);
  std::tm a, b;
  if (localtime_r(&first, &a) == nullptr || localtime_r(&last, &b) == nullptr) return;
  if (!same_day(a, tm) || !same_day(b, tm) || a.tm_hour != 0 || a.tm_min != 0 || a.tm_sec != 0 ||
      b.tm_hour != 23 || b.tm_min != 59 || b.tm_sec != 59)
    return;
  day.begin = begin;
  day.end = end;
  day.year = tm.tm_year;
  day.yday = tm.tm_yday;
  day.date_size = date_text(day.date, sizeof day.date, tm);
}

bool today(int year, int yday) { return g_now_valid && year == g_today_year && yday == g_today_yday; }

// "HH:MM:SS" of the second `s` of a day.
std::string_view clock_text(std::int64_t s) {
  int h = static_cast<int>(s / 3600), m = static_cast<int>(s / 60 % 60), sec = static_cast<int>(s % 60);
  two_digits(g_text, h);
  g_text[2] = ':';
  two_digits(g_text + 3, m);
  g_text[5] = ':';
  two_digits(g_text + 6, sec);
  g_text[8] = '\0';
  return {g_text, 8};
}

}  // namespace

void set_time_source(std::int64_t (*now)()) {
  g_now = now ? now : system_now;
  g_now_second = -1;
  g_last_now = -1;
  g_minute = kNoMinute;
  for (Day& d : g_days) d = Day{};
}

namespace {

std::string_view time_text(std::int64_t time, std::int64_t now) {
  if (now != g_now_second || g_now_second == -1) {
    std::time_t t = static_cast<std::time_t>(now);
    std::tm tm;
    g_now_valid = localtime_r(&t, &tm) != nullptr;
    if (g_now_valid) {
      g_today_year = tm.tm_year;
      g_today_yday = tm.tm_yday;
    }
    g_now_second = now;
  }
  std::int64_t n = time / 86400 - (time % 86400 < 0);
  Day& day = g_days[static_cast<std::uint64_t>(n) % kDays];
  if (time < day.begin || time >= day.end) {
    std::time_t t = static_cast<std::time_t>(time);
    std::tm tm;
    if (localtime_r(&t, &tm) == nullptr) return {kBadTime, 10};
    keep_day(day, time, tm);
    if (time < day.begin || time >= day.end) {
      // A day that is not kept: this record's own conversion.
      if (today(tm.tm_year, tm.tm_yday)) return clock_text(tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec);
      return {g_text, date_text(g_text, sizeof g_text, tm)};
    }
  }
  if (today(day.year, day.yday)) {
    std::int64_t second = time - day.begin;
    // Minutes of a kept day lie wholly inside it: it starts at a minute.
    g_minute = time - second % 60;
    return clock_text(second);
  }
  g_same_begin = day.begin;
  g_same_count = static_cast<std::uint64_t>(day.end - day.begin);
  return {day.date, day.date_size};
}

}  // namespace

std::string_view kvf_time_text(std::int64_t time) {
  std::int64_t now = g_now();
  if (now == g_last_now && now != -1) {
    if (static_cast<std::uint64_t>(time) - static_cast<std::uint64_t>(g_same_begin) < g_same_count)
      return g_last_text;
    if (g_minute != kNoMinute && time >= g_minute &&
        static_cast<std::uint64_t>(time) - static_cast<std::uint64_t>(g_minute) < 60) {
      two_digits(g_text + 6, static_cast<int>(time - g_minute));
      g_same_begin = time;
      g_same_count = 1;
      return g_last_text;
    }
  }
  g_minute = kNoMinute;
  g_same_begin = time;
  g_same_count = 1;
  g_last_text = time_text(time, now);
  g_last_now = now;
  return g_last_text;
}

const char* kvf_time_string(std::int64_t time) { return kvf_time_text(time).data(); }

}  // namespace kvf
