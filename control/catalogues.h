// catalogues.h -- names of the trace components, features and levels.
#pragma once

#include <cstdint>
#include <span>

namespace kvf {

struct CatalogueEntry {
  const char* name;
  std::int32_t id;
};

// The catalogues in catalogue order (ascending id; feature 15 has two
// names, KVF_INFO first). No terminating entry: the span has the size.
std::span<const CatalogueEntry> component_catalogue();
std::span<const CatalogueEntry> feature_catalogue();

// Exact, case-sensitive lookup of a whole name; -1 when unknown.
std::int32_t component_id(const char* name);
std::int32_t feature_id(const char* name);

// Name of the first entry with the id, or nullptr for an id without one
// (shown as an empty name). Constant time.
const char* component_name(std::uint32_t id);
const char* feature_name(std::uint32_t id);

// "off", "lite", "med", "heavy" for levels 0 to 3; nullptr otherwise.
const char* level_name(int level);

}  // namespace kvf
