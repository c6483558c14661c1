// export_filter.h -- which records kavrex-export writes: lists of
// components, features, sessions and process ids, a time range and a
// regular expression on the message, all of which a record must pass, and
// the values of the options that set them, read and checked here.
#pragma once

#include <regex.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/kavrex-export.h"

namespace kavrex_export {

// Each list passes a record whose field is one of its values; an empty list
// passes every record. A record must pass every list, both time bounds and
// the expression.
struct Filter {
  std::vector<std::uint32_t> components, features;
  std::vector<std::int64_t> sessions;
  std::vector<std::int32_t> pids;
  std::optional<std::int64_t> since;  // seconds since 1970; time >= since
  std::optional<std::int64_t> until;  // time < until
  bool has_grep = false;
  regex_t grep{};  // POSIX extended, compiled by add_grep
  std::optional<std::int64_t> limit;  // records to write before the end

  Filter() = default;
  Filter(const Filter&) = delete;
  Filter& operator=(const Filter&) = delete;
  ~Filter();
};

// Each adds the values of one option to `filter`. LIST is comma-separated;
// a component or feature is its catalogue name (exact, as --names spells
// it) or a number. An option given twice adds to its list; a second time
// bound, expression or limit replaces the first. Each returns "" or the
// problem, naming the value, for a usage error.
std::string add_components(Filter& filter, const char* list);
std::string add_features(Filter& filter, const char* list);
std::string add_sessions(Filter& filter, const char* list);
std::string add_pids(Filter& filter, const char* list);
std::string set_since(Filter& filter, const char* time);
std::string set_until(Filter& filter, const char* time);
std::string set_grep(Filter& filter, const char* expression);
std::string set_limit(Filter& filter, const char* count);

// TIME as the options take it: "YYYY-MM-DD[THH:MM[:SS]]" in local time, or
// "@SECONDS" since 1970. Empty for anything else, a date that does not
// exist (2026-02-30) included.
std::optional<std::int64_t> parse_time(const char* text);

// Whether `record` passes every part of `filter` (the limit is the
// caller's to count).
bool passes(const Filter& filter, const Record& record);

}  // namespace kavrex_export
