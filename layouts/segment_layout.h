// segment_layout.h -- the segment header `segment_t` that begins every
// segment of the server's shared memory.
//
//   offset  width  field
//        0  u16    mark, 0xE0B7 (checked by live attach only)
//        8  i32[]  ids of the further pieces of this segment, ended by a
//                  negative value
//      544  u64    base: the address at which the server maps the segment
//      552  u64    overhead: offset, from the start of the first segment, of
//                  the end of the shmcb (first segment only)
//      592  u64    address of the next segment
//      600  u32    id of the next segment; 0xFFFFFF9D (-99) continues the
//                  current one
//      608  u64    size of the segment in bytes, this header included
//      624  u64    piece size
//
// Little-endian; the server writes every field when it creates the segment.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvf::segment {

inline constexpr std::size_t kSize = 736;

inline constexpr std::size_t kMark = 0;
inline constexpr std::size_t kPieceIds = 8;
inline constexpr std::size_t kBase = 544;
inline constexpr std::size_t kOverhead = 552;
inline constexpr std::size_t kNextAddress = 592;
inline constexpr std::size_t kNextId = 600;
inline constexpr std::size_t kSegmentSize = 608;
inline constexpr std::size_t kPieceSize = 624;

// The piece-id list runs from kPieceIds up to the base field at most.
inline constexpr std::size_t kMaxPieceIds = (kBase - kPieceIds) / 4;

inline constexpr std::uint16_t kMarkValue = 0xE0B7;
inline constexpr std::uint32_t kContinuation = 0xFFFFFF9D;  // -99

static_assert(kSize == 0x2E0);
static_assert(kPieceSize + 8 <= kSize);
static_assert(kMaxPieceIds == 134);

}  // namespace kvf::segment
