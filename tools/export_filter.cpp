// export_filter.cpp -- reading the filter options' values, and the test
// each record meets before it is written or counted.
#include "tools/export_filter.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "control/catalogues.h"

namespace kavrex_export {
namespace {

// A whole decimal integer within [lo, hi]: an optional '-', then digits
// only (no sign '+', no spaces, nothing after).
std::optional<std::int64_t> integer(const std::string& text, std::int64_t lo, std::int64_t hi) {
  const char* p = text.c_str();
  const char* digits = *p == '-' ? p + 1 : p;
  if (*digits < '0' || *digits > '9') return std::nullopt;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(p, &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return std::nullopt;
  return v;
}

// The items of a comma-separated list, each handed to `add`, which returns
// "" or the problem. An empty item (",,", a leading or trailing comma, an
// empty list) is a problem of its own.
template <typename Add>
std::string each_item(const char* list, const char* what, Add add) {
  std::string all(list);
  std::size_t at = 0;
  for (;;) {
    std::size_t comma = all.find(',', at);
    std::string item = all.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    if (item.empty()) return std::string("empty ") + what + " in '" + all + "'";
    if (std::string problem = add(item); !problem.empty()) return problem;
    if (comma == std::string::npos) return "";
    at = comma + 1;
  }
}

// A catalogue name, or any 32-bit number: records may carry ids the
// catalogue does not list.
std::string add_ids(std::vector<std::uint32_t>& to, const char* list, const char* what,
                    std::int32_t (*lookup)(const char*)) {
  return each_item(list, what, [&](const std::string& item) -> std::string {
    if (auto n = integer(item, 0, UINT32_MAX)) {
      to.push_back(static_cast<std::uint32_t>(*n));
      return "";
    }
    std::int32_t id = lookup(item.c_str());
    if (id < 0) return std::string("unknown ") + what + " '" + item + "'";
    to.push_back(static_cast<std::uint32_t>(id));
    return "";
  });
}

template <typename T>
bool listed(const std::vector<T>& list, T v) {
  return list.empty() || std::find(list.begin(), list.end(), v) != list.end();
}

// Reads exactly `n` digits at p into `out`.
bool digits(const char*& p, int n, int& out) {
  out = 0;
  for (int i = 0; i < n; ++i, ++p) {
    if (*p < '0' || *p > '9') return false;
    out = out * 10 + (*p - '0');
  }
  return true;
}

std::string bad_time(const char* text) {
  return std::string("bad time '") + text + "' (YYYY-MM-DD[THH:MM[:SS]] or @SECONDS)";
}

// The message as written: the text before and with each hex dump, then the
// rest. Most messages have no dump and are matched where they lie; the two
// pieces of the others are joined in a buffer kept for the next record.
bool message_matches(const regex_t& re, const Record& r) {
  static std::string joined;
  const char* text = r.text;
  std::size_t size = r.text_size;
  if (r.dump_text_size > 0) {
    joined.assign(r.dump_text, r.dump_text_size);
    joined.append(r.text, r.text_size);
    text = joined.data();
    size = joined.size();
  }
  // The bounds rather than a terminating NUL: the pieces are not
  // terminated, and a message may hold a NUL byte of its own.
  regmatch_t bounds{0, static_cast<regoff_t>(size)};
  return regexec(&re, text, 1, &bounds, REG_STARTEND) == 0;
}

}  // namespace

Filter::~Filter() {
  if (has_grep) regfree(&grep);
}

std::string add_components(Filter& f, const char* list) {
  return add_ids(f.components, list, "component", kvf::component_id);
}

std::string add_features(Filter& f, const char* list) {
  return add_ids(f.features, list, "feature", kvf::feature_id);
}

std::string add_sessions(Filter& f, const char* list) {
  return each_item(list, "session", [&](const std::string& item) -> std::string {
    auto n = integer(item, INT64_MIN, INT64_MAX);
    if (!n) return "bad session '" + item + "'";
    f.sessions.push_back(*n);
    return "";
  });
}

std::string add_pids(Filter& f, const char* list) {
  return each_item(list, "process id", [&](const std::string& item) -> std::string {
    auto n = integer(item, INT32_MIN, INT32_MAX);
    if (!n) return "bad process id '" + item + "'";
    f.pids.push_back(static_cast<std::int32_t>(*n));
    return "";
  });
}

std::optional<std::int64_t> parse_time(const char* text) {
  if (text[0] == '@') return integer(text + 1, INT64_MIN, INT64_MAX);
  const char* p = text;
  int year, month, day, hour = 0, minute = 0, second = 0;
  if (!digits(p, 4, year) || *p++ != '-' || !digits(p, 2, month) || *p++ != '-' || !digits(p, 2, day))
    return std::nullopt;
  if (*p == 'T') {
    ++p;
    if (!digits(p, 2, hour) || *p++ != ':' || !digits(p, 2, minute)) return std::nullopt;
    if (*p == ':' && (++p, !digits(p, 2, second))) return std::nullopt;
  }
  if (*p != '\0') return std::nullopt;
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59)
    return std::nullopt;
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;  // whatever the zone's rule is on that day
  errno = 0;
  std::time_t t = std::mktime(&tm);
  if (t == -1 && errno != 0) return std::nullopt;
  // mktime carries a day past the month's end into the next month: such a
  // date does not exist. (An hour in a daylight-saving gap is moved, not
  // refused, as mktime does.)
  if (tm.tm_mday != day || tm.tm_mon != month - 1) return std::nullopt;
  return static_cast<std::int64_t>(t);
}

std::string set_since(Filter& f, const char* time) {
  f.since = parse_time(time);
  return f.since ? "" : bad_time(time);
}

std::string set_until(Filter& f, const char* time) {
  f.until = parse_time(time);
  return f.until ? "" : bad_time(time);
}

std::string set_grep(Filter& f, const char* expression) {
  if (f.has_grep) regfree(&f.grep);
  f.has_grep = false;
  int code = regcomp(&f.grep, expression, REG_EXTENDED | REG_NOSUB);
  if (code != 0) {
    char why[256];
    regerror(code, &f.grep, why, sizeof why);
    return std::string("bad regular expression '") + expression + "': " + why;
  }
  f.has_grep = true;
  return "";
}

std::string set_limit(Filter& f, const char* count) {
  auto n = integer(count, 0, INT64_MAX);
  if (!n) return std::string("bad limit '") + count + "'";
  f.limit = *n;
  return "";
}

bool passes(const Filter& f, const Record& r) {
  return listed(f.components, r.component) && listed(f.features, r.feature) && listed(f.sessions, r.session) &&
         listed(f.pids, r.pid) && (!f.since || r.time >= *f.since) && (!f.until || r.time < *f.until) &&
         (!f.has_grep || message_matches(f.grep, r));
}

}  // namespace kavrex_export
