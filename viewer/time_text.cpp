// time_text.cpp -- the time column: clock time for a record of the current
// local day, the date for any other, through localtime_r. The day of "now"
// and the text of the last record second are cached.
#include <ctime>

#include "viewer/render.h"
#include "viewer/text.h"

namespace kvf {
namespace {

std::int64_t system_now() { return static_cast<std::int64_t>(std::time(nullptr)); }

std::int64_t (*g_now)() = system_now;

// Local day of the current time, refreshed when the clock moves on.
std::int64_t g_now_second = -1;
bool g_now_valid = false;
int g_today_year = 0, g_today_yday = 0;

// The last text made, for record second `g_text_second` against the day
// `g_text_year`/`g_text_yday`.
char g_text[32];
bool g_text_cached = false;
std::int64_t g_text_second = 0;
int g_text_year = 0, g_text_yday = 0;

// A record time that the local-time conversion rejects shows this
// (10 places, the width of a date).
constexpr char kBadTime[] = "--/--/----";

}  // namespace

void set_time_source(std::int64_t (*now)()) {
  g_now = now ? now : system_now;
  g_now_second = -1;
  g_text_cached = false;
}

const char* kvf_time_string(std::int64_t time) {
  std::int64_t now = g_now();
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
  if (g_text_cached && time == g_text_second && g_now_valid && g_text_year == g_today_year &&
      g_text_yday == g_today_yday)
    return g_text;

  std::time_t t = static_cast<std::time_t>(time);
  std::tm tm;
  text::Text out(g_text, sizeof g_text);
  if (localtime_r(&t, &tm) == nullptr) {
    out.append(kBadTime);
    g_text_cached = false;
    return g_text;
  }
  if (g_now_valid && tm.tm_year == g_today_year && tm.tm_yday == g_today_yday) {
    out.zero_padded(tm.tm_hour, 2);
    out.put(':');
    out.zero_padded(tm.tm_min, 2);
    out.put(':');
    out.zero_padded(tm.tm_sec, 2);
  } else {
    out.zero_padded(tm.tm_mon + 1, 2);
    out.put('/');
    out.zero_padded(tm.tm_mday, 2);
    out.put('/');
    out.zero_padded(static_cast<std::int64_t>(tm.tm_year) + 1900, 4);
  }
  g_text_cached = g_now_valid;
  g_text_second = time;
  g_text_year = g_today_year;
  g_text_yday = g_today_yday;
  return g_text;
}

}  // namespace kvf
