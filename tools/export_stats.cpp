// export_stats.cpp -- the counts behind --stats and their JSON object.
// Catalogue names are plain identifiers and every other key is a number,
// so nothing here needs escaping.
#include "tools/export_stats.h"

#include <type_traits>

#include "control/catalogues.h"

namespace kavrex_export {
namespace {

template <typename Key>
void counts(std::string& out, const char* name, const std::map<Key, std::int64_t>& by,
            const char* (*catalogue)(std::uint32_t) = nullptr) {
  out += ",\"";
  out += name;
  out += "\":{";
  bool first = true;
  for (const auto& [key, count] : by) {
    if (!first) out += ',';
    first = false;
    const char* named = nullptr;
    if constexpr (std::is_same_v<Key, std::uint32_t>) named = catalogue ? catalogue(key) : nullptr;
    out += '"';
    out += named ? std::string(named) : std::to_string(key);
    out += "\":";
    out += std::to_string(count);
  }
  out += '}';
}

}  // namespace

void Stats::add(const Record& r) {
  if (records_ == 0 || r.time < first_time_) first_time_ = r.time;
  if (records_ == 0 || r.time > last_time_) last_time_ = r.time;
  ++records_;
  ++components_[r.component];
  ++features_[r.feature];
  ++sessions_[r.session];
  ++pids_[r.pid];
}

std::string Stats::json() const {
  std::string out = "{\"kind\":\"stats\",\"records\":" + std::to_string(records_);
  if (records_ > 0)
    out += ",\"first_time\":" + std::to_string(first_time_) + ",\"last_time\":" + std::to_string(last_time_);
  else
    out += ",\"first_time\":null,\"last_time\":null";
  counts(out, "components", components_, kvf::component_name);
  counts(out, "features", features_, kvf::feature_name);
  counts(out, "sessions", sessions_);
  counts(out, "pids", pids_);
  out += ",\"overruns\":" + std::to_string(overruns_) + ",\"skipped\":" + std::to_string(skipped_) + "}\n";
  return out;
}

}  // namespace kavrex_export
