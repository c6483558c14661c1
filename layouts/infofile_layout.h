// infofile_layout.h -- the records of a server's information file,
// $VELMORANDIR/etc/.infos.<server>.
//
// The file is a run of 272-byte records with no header. The server writes
// one server record for itself and one record for each of its segments.
//
//   offset  width  field
//        0  u16    type: 1 server record, 2 segment record
//        2  u16    subtype: 0 in the server record
//       12  u32    key of the server's first segment (server record);
//                  the segment's id (segment record)
//       16  u64    address at which the server maps that segment
//       24  u64    segment size (segment record; written by the stand-in
//                  server for people reading the file, never read by the tool)
//
// Little-endian. The tool reads type, subtype, key and address only, and
// only from the first record of type 1 with subtype 0.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvf::infofile {

inline constexpr std::size_t kRecordSize = 272;

inline constexpr std::size_t kType = 0;
inline constexpr std::size_t kSubtype = 2;
inline constexpr std::size_t kKey = 12;
inline constexpr std::size_t kBase = 16;
inline constexpr std::size_t kSegmentSize = 24;

inline constexpr std::uint16_t kServerType = 1;
inline constexpr std::uint16_t kServerSubtype = 0;
inline constexpr std::uint16_t kSegmentType = 2;

// The file-kind suffix of the information file.
inline constexpr const char* kSuffix = ".infos.";

static_assert(kBase + 8 <= kRecordSize && kSegmentSize + 8 <= kRecordSize);

}  // namespace kvf::infofile
