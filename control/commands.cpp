// commands.cpp -- set_level, set_session, the size argument and show_info,
// working in place on the trace control block.
#include "control/commands.h"

#include <cctype>
#include <cstring>
#include <limits>

#include "control/catalogues.h"
#include "control/control_block.h"
#include "layouts/control_block_layout.h"

namespace kvf {
namespace {

// A list of distinct ids in the order first given. A name given again is not
// appended again: writing its cells twice would change nothing, and so a
// list never needs more room than there are rows or columns.
template <int Capacity>
struct IdList {
  std::int32_t ids[Capacity];
  int count = 0;
  void add(std::int32_t id) {
    for (int i = 0; i < count; ++i)
      if (ids[i] == id) return;
    ids[count++] = id;
  }
  void fill_all() {
    for (int i = 0; i < Capacity; ++i) ids[i] = i;
    count = Capacity;
  }
};

}  // namespace

CommandResult set_level(unsigned char* block, int level, int argc, char** argv) {
  IdList<control::kComponentRows> components;
  IdList<control::kFeatureColumns> features;
  enum { none, component, feature } mode = none;
  for (int i = 2; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "-c") == 0) {
      mode = component;
    } else if (std::strcmp(arg, "-f") == 0) {
      mode = feature;
    } else if (mode == component) {
      std::int32_t id = component_id(arg);
      if (id < 0) return {CommandStatus::unknown_component, arg};
      components.add(id);
    } else if (mode == feature) {
      std::int32_t id = feature_id(arg);
      if (id < 0) return {CommandStatus::unknown_feature, arg};
      features.add(id);
    } else {
      return {CommandStatus::usage, arg};
    }
  }
  if (components.count == 0) components.fill_all();
  if (features.count == 0) features.fill_all();
  for (int c = 0; c < components.count; ++c)
    for (int f = 0; f < features.count; ++f)
      set_cell_level(block, components.ids[c], features.ids[f], level);
  return {};
}

CommandResult set_session(unsigned char* block, int argc, char** argv) {
  if (argc < 3) {
    clear_session_filter(block);
    return {};
  }
  std::uint32_t value = 0;
  for (const char* p = argv[2]; *p; ++p) {
    if (*p < '0' || *p > '9') return {CommandStatus::usage, argv[2]};
    value = value * 10u + static_cast<std::uint32_t>(*p - '0');
  }
  set_session_filter(block, static_cast<std::int32_t>(value));
  return {};
}

std::int32_t read_decimal(const char* text) {
  const char* p = text;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  // Accumulate the magnitude, stopping once it is past either bound.
  constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  std::int64_t magnitude = 0;
  for (; *p >= '0' && *p <= '9'; ++p)
    if (magnitude <= kLimit) magnitude = magnitude * 10 + (*p - '0');
  std::int64_t value = negative ? -magnitude : magnitude;
  if (value > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
  if (value < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(value);
}

void show_info(const unsigned char* block, std::FILE* out) {
  std::int32_t current = ring_size(block);
  std::int32_t requested = requested_size(block);
  if (current == requested) {
    std::fprintf(out, "kavrex size %d\n", current);
  } else {
    std::fprintf(out, "kavrex current size               : %d\n", current);
    std::fprintf(out, "kavrex size after next trace event: %d\n", requested);
  }
  if (session_filter_on(block) != 0)
    std::fprintf(out, "kavrex session %d\n", static_cast<std::int32_t>(session_id(block)));
  for (const auto& c : component_catalogue()) {
    for (const auto& f : feature_catalogue()) {
      int level = cell_level(block, c.id, f.id);
      if (level == 0) continue;
      if (const char* name = level_name(level))
        std::fprintf(out, "kavrex %s -c %s -f %s\n", name, c.name, f.name);
      else
        std::fprintf(out, "kavrex %d -c %s -f %s\n", level, c.name, f.name);
    }
  }
  std::fputs(trace_on(block) != 0 ? "kavrex on\n" : "kavrex off\n", out);
}

}  // namespace kvf
