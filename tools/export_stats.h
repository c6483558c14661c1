// export_stats.h -- --stats: counts of the records that passed the filters,
// by component, feature, session and process, their time span, and the
// reader's overruns and skipped records, written as one JSON object.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "tools/kavrex-export.h"

namespace kavrex_export {

class Stats {
 public:
  void add(const Record& record);
  void overrun() { ++overruns_; }
  void skipped() { ++skipped_; }
  // Whether anything has been counted since the last reset.
  bool empty() const { return records_ == 0 && overruns_ == 0 && skipped_ == 0; }
  void reset() { *this = Stats(); }

  // One line: {"kind":"stats","records":N,"first_time":T,"last_time":T,
  // "components":{...},"features":{...},"sessions":{...},"pids":{...},
  // "overruns":N,"skipped":N}. The times are the earliest and the latest
  // record time (seconds since 1970), null without records. A component
  // or feature is keyed by its catalogue name, or by its number when the
  // catalogue has none; sessions and pids by their numbers. Keys go in
  // ascending numeric order.
  std::string json() const;

 private:
  std::int64_t records_ = 0, overruns_ = 0, skipped_ = 0;
  std::int64_t first_time_ = 0, last_time_ = 0;
  std::map<std::uint32_t, std::int64_t> components_, features_;
  std::map<std::int64_t, std::int64_t> sessions_;
  std::map<std::int32_t, std::int64_t> pids_;
};

}  // namespace kavrex_export
