// shmcb_layout.h -- the shared-memory control block `shmcb` and the root
// record it points to.
//
// shmcb (439904 bytes), inside the first segment, ending at its `overhead`:
//   offset  width  field
//        0  u16    mark, 0xE0B6 (checked by live attach only)
//       32  i16    number of segments
//       40  u64    base address of the first segment
//       56  i32    minimum piece size in bytes
//      208  u64    rhead: address of the root record
//   439560  u64    address of the trace control block, or 0
//
// Root record (the record rhead points to):
//        0  u64    address of the record that holds the server's pid
//      192  u64    address of the shmcb
//      480  i16    value compared with the attach minimum
// Server record (the record the root record's first word points to):
//     2472  u32    the server's process id
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvf::shmcb {

inline constexpr std::size_t kSize = 439904;

inline constexpr std::size_t kMark = 0;
inline constexpr std::size_t kSegmentCount = 32;
inline constexpr std::size_t kFirstBase = 40;
inline constexpr std::size_t kMinPieceSize = 56;
inline constexpr std::size_t kRootHead = 208;
inline constexpr std::size_t kTraceBlock = 439560;

inline constexpr std::uint16_t kMarkValue = 0xE0B6;

static_assert(kSize == 0x6B660);
static_assert(kTraceBlock + 8 <= kSize);

}  // namespace kvf::shmcb

namespace kvf::root {

inline constexpr std::size_t kServerRecord = 0;
inline constexpr std::size_t kShmcb = 192;
inline constexpr std::size_t kAttachValue = 480;
// Bytes of the root record the tool reads.
inline constexpr std::size_t kUsedSize = kAttachValue + 2;

}  // namespace kvf::root

namespace kvf::server_record {

inline constexpr std::size_t kPid = 2472;
inline constexpr std::size_t kUsedSize = kPid + 4;

}  // namespace kvf::server_record
