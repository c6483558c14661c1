// control_block_layout.h -- the trace control block `trace_control_block`.
//
//   offset  width          field              written by
//        0  126*49*4       levels             tool (low 4 bits of a cell)
//    24696  u32            trace_on           tool
//    24700  u32            alloc_failed       server
//    24704  u32            session_filter_on  tool
//    24708  4              (server's)
//    24712  i64            session_id         tool, before session_filter_on
//    24720  32             (server's)
//    24752  u64            ring               server
//    24760  8              (server's)
//    24768  i32            ring_size          server
//    24772  i32            requested_size     tool
//
// Cell of component c and feature f: levels + (c * 49 + f) * 4. The low 4
// bits hold the level, the upper 28 bits are the server's and survive every
// write. The tool touches nothing at or beyond kUsedSize.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvf::control {

inline constexpr int kComponentRows = 126;
inline constexpr int kFeatureColumns = 49;
inline constexpr int kCells = kComponentRows * kFeatureColumns;

inline constexpr std::size_t kLevels = 0;
inline constexpr std::size_t kTraceOn = 24696;
inline constexpr std::size_t kAllocFailed = 24700;
inline constexpr std::size_t kSessionFilterOn = 24704;
inline constexpr std::size_t kSessionId = 24712;
inline constexpr std::size_t kRing = 24752;
inline constexpr std::size_t kRingSize = 24768;
inline constexpr std::size_t kRequestedSize = 24772;
inline constexpr std::size_t kUsedSize = 24776;

inline constexpr std::uint32_t kLevelMask = 0xF;

inline constexpr std::size_t cell_offset(int component, int feature) {
  return kLevels + static_cast<std::size_t>(component * kFeatureColumns + feature) * 4;
}

static_assert(kCells == 6174);
static_assert(cell_offset(kComponentRows - 1, kFeatureColumns - 1) + 4 == kTraceOn);
static_assert(kSessionId % 8 == 0 && kRing % 8 == 0);
static_assert(kRequestedSize + 4 == kUsedSize);

}  // namespace kvf::control
