// vem_layout.h -- the message catalogue file (.vem). Every integer is
// big-endian. Written by kavrex-msgc, read by the catalogue lookup.
//
//   offset  width  field
//   0       2      magic, unsigned: 0xFE68 narrow index, 0xFE69 wide index
//   2       2      entry count N, signed (0..32767)
//   4       N*W    index, ascending by message number (signed comparison)
//   ...            message texts, anywhere after the index, no terminator
//
//   narrow entry (W = 8)             wide entry (W = 10)
//   0  2  message number, signed     0  4  message number, signed
//   2  2  text length, signed        4  2  text length, signed
//   4  4  text file offset, signed   6  4  text file offset, signed
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvf::vem {

inline constexpr std::uint16_t kMagicNarrow = 0xFE68;
inline constexpr std::uint16_t kMagicWide = 0xFE69;

inline constexpr std::size_t kHeaderMagic = 0;
inline constexpr std::size_t kHeaderCount = 2;
inline constexpr std::size_t kHeaderSize = 4;

inline constexpr std::size_t kNarrowNumber = 0;
inline constexpr std::size_t kNarrowLength = 2;
inline constexpr std::size_t kNarrowOffset = 4;
inline constexpr std::size_t kNarrowSize = 8;

inline constexpr std::size_t kWideNumber = 0;
inline constexpr std::size_t kWideLength = 4;
inline constexpr std::size_t kWideOffset = 6;
inline constexpr std::size_t kWideSize = 10;

inline constexpr int kMaxEntries = 32767;
inline constexpr int kMaxText = 32767;
inline constexpr int kNarrowMinNumber = -32768;
inline constexpr int kNarrowMaxNumber = 32767;

// The lookup keeps a block of up to this many index entries.
inline constexpr int kBlockEntries = 8;
inline constexpr std::size_t kBlockBytes = 80;

static_assert(kHeaderSize == kHeaderCount + 2);
static_assert(kNarrowSize == kNarrowOffset + 4);
static_assert(kWideSize == kWideOffset + 4);
static_assert(kBlockBytes == kBlockEntries * kWideSize);

inline std::uint16_t get_u16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}
inline std::int16_t get_i16(const unsigned char* p) { return static_cast<std::int16_t>(get_u16(p)); }
inline std::int32_t get_i32(const unsigned char* p) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(p[0]) << 24 |
                                   static_cast<std::uint32_t>(p[1]) << 16 |
                                   static_cast<std::uint32_t>(p[2]) << 8 | p[3]);
}
inline void put_u16(unsigned char* p, std::uint16_t v) {
  p[0] = static_cast<unsigned char>(v >> 8);
  p[1] = static_cast<unsigned char>(v);
}
inline void put_i32(unsigned char* p, std::int32_t v) {
  auto u = static_cast<std::uint32_t>(v);
  p[0] = static_cast<unsigned char>(u >> 24);
  p[1] = static_cast<unsigned char>(u >> 16);
  p[2] = static_cast<unsigned char>(u >> 8);
  p[3] = static_cast<unsigned char>(u);
}

// One decoded index entry.
struct Entry {
  std::int32_t number;
  std::int16_t length;
  std::int32_t offset;
};

inline Entry decode_entry(const unsigned char* p, std::size_t width) {
  if (width == kWideSize)
    return {get_i32(p + kWideNumber), get_i16(p + kWideLength), get_i32(p + kWideOffset)};
  return {get_i16(p + kNarrowNumber), get_i16(p + kNarrowLength), get_i32(p + kNarrowOffset)};
}

}  // namespace kvf::vem
