// ring_layout.h -- the trace ring header `kvf_ring` and the 160-byte trace
// record `kvf_record`.
//
// Ring header:                      Record:
//   0  u32  head (next slot)          0  u64  file (0: not written/complete)
//   4  u32  tail (oldest kept)        8  i32  line
//   8  u64  records (slot array)     16  i64  time (seconds since 1970, UTC)
//                                    24  u32  stamp (new on every rewrite)
//                                    28  u32  component
//                                    32  u32  feature
//                                    36  i32  pid
//                                    40  i32  csvr
//                                    44  i32  thrd
//                                    48  i64  session
//                                    56  u64  trans
//                                    64  u64  rstcb
//                                    72  u64  format (0: no message)
//                                    80  80   args, packed, unaligned
//
// The server writes a record in this order: clear file, fill the fields,
// new stamp, file last. Records of component 18 (KVF_DORVEL) also carry the
// fixed argument layout below, read by offset.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvf::ring {

inline constexpr std::size_t kHead = 0;
inline constexpr std::size_t kTail = 4;
inline constexpr std::size_t kRecords = 8;
inline constexpr std::size_t kHeaderSize = 16;

}  // namespace kvf::ring

namespace kvf::record {

inline constexpr std::size_t kSize = 160;

inline constexpr std::size_t kFile = 0;
inline constexpr std::size_t kLine = 8;
inline constexpr std::size_t kTime = 16;
inline constexpr std::size_t kStamp = 24;
inline constexpr std::size_t kComponent = 28;
inline constexpr std::size_t kFeature = 32;
inline constexpr std::size_t kPid = 36;
inline constexpr std::size_t kCsvr = 40;
inline constexpr std::size_t kThrd = 44;
inline constexpr std::size_t kSession = 48;
inline constexpr std::size_t kTrans = 56;
inline constexpr std::size_t kRstcb = 64;
inline constexpr std::size_t kFormat = 72;
inline constexpr std::size_t kArgs = 80;
inline constexpr std::size_t kArgsSize = 80;

inline constexpr std::uint32_t kDorvelComponent = 18;

// KVF_DORVEL argument layout.
inline constexpr std::size_t kDorvelFirst = 80;    // u64 string address
inline constexpr std::size_t kDorvelSecond = 88;   // u64 string address
inline constexpr std::size_t kDorvelLine = 96;     // i32
inline constexpr std::size_t kDorvelStamp = 100;   // u32, shown in hex
inline constexpr std::size_t kDorvelValues = 104;  // 5 x u64 pointers
inline constexpr int kDorvelValueCount = 5;

static_assert(kArgs + kArgsSize == kSize);
static_assert(kDorvelValues + kDorvelValueCount * 8 <= kSize);

}  // namespace kvf::record
