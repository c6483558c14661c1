// trace_points.h -- the stand-in server's trace points: each belongs to one
// component, feature and level, and fills its record's message arguments.
// Between them the formats use every conversion of the message language.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/image_builder.h"

namespace kvf::sim {

// Server addresses that arguments point to, placed in the image once.
struct ArgumentSources {
  std::vector<std::uint64_t> names;  // NUL-terminated strings
  std::uint64_t block = 0;           // bytes for %r dumps
  std::int32_t block_size = 0;
};

struct TracePoint {
  std::uint32_t component;
  std::uint32_t feature;
  int level;                 // 1 lite, 2 med, 3 heavy
  std::uint64_t file;        // server addresses, set by place_trace_points
  std::int32_t line;
  std::uint64_t format;      // 0: a point without a message
  // Fills r.args (and, for KVF_DORVEL, the fixed layout) for the n-th event.
  void (*fill)(Record& r, std::uint64_t n, const ArgumentSources& src);
};

// Places the strings of every trace point and of the argument sources in
// `image` and returns the points.
std::vector<TracePoint> place_trace_points(ImageBuilder& image, ArgumentSources& sources);

// The trace-point rule: a point records when the block exists, tracing is on
// and the level in its cell is at least the point's level.
bool trace_point_enabled(const unsigned char* control_block, const TracePoint& point);

}  // namespace kvf::sim
