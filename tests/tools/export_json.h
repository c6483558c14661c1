// export_json.h -- a small strict JSON parser for the export tests: one
// value per line, every string checked to be valid UTF-8.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace export_test {

struct Json {
  enum class Type { null, boolean, number, string, array, object } type = Type::null;
  bool boolean = false;
  std::string number;  // as written, so that 64-bit integers stay exact
  std::string string;
  std::vector<Json> array;
  std::map<std::string, Json> object;

  bool has(const std::string& key) const { return object.count(key) != 0; }
  const Json& at(const std::string& key) const { return object.at(key); }
  std::int64_t i64() const { return std::stoll(number); }
  std::uint64_t u64() const { return std::stoull(number); }
  bool is_null() const { return type == Type::null; }
};

// Parses exactly one value filling the whole text (blanks around allowed);
// throws std::runtime_error saying where it is not valid JSON.
Json parse_json(const std::string& text);

// Splits the output into lines and parses each one.
std::vector<Json> parse_lines(const std::string& output);

}  // namespace export_test
