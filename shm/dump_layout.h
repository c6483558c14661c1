// dump_layout.h -- what a dump file's own headers say about it, read without
// placing it in memory: its segments and where each lies in the file,
// whether the file holds all of them, and the trace ring that the chain of
// control blocks leads to. Server addresses are translated to file offsets
// through the segment table; every offset is checked against the file size
// before anything is read there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kvf {

// The bytes of a dump: how many there are, and a reader of any range.
class DumpBytes {
 public:
  virtual ~DumpBytes() = default;
  virtual std::uint64_t size() const = 0;
  // Copies the n bytes at `offset` (offset + n <= size()) to `out`; false,
  // with errno set, when they cannot be read.
  virtual bool read(std::uint64_t offset, void* out, std::size_t n) const = 0;
};

// A dump held in memory (the caller keeps it alive).
class DumpMemory : public DumpBytes {
 public:
  DumpMemory(const void* data, std::size_t size) : data_(static_cast<const unsigned char*>(data)), size_(size) {}
  std::uint64_t size() const override { return size_; }
  bool read(std::uint64_t offset, void* out, std::size_t n) const override;

 private:
  const unsigned char* data_;
  std::size_t size_;
};

// A dump file, read through the platform's file layer.
class DumpFileBytes : public DumpBytes {
 public:
  DumpFileBytes() = default;
  ~DumpFileBytes() override;
  DumpFileBytes(const DumpFileBytes&) = delete;
  DumpFileBytes& operator=(const DumpFileBytes&) = delete;
  // Opens `path` and finds its size; false with errno set.
  bool open(const char* path);
  std::uint64_t size() const override { return size_; }
  bool read(std::uint64_t offset, void* out, std::size_t n) const override;

 private:
  int fd_ = -1;
  std::uint64_t size_ = 0;
};

enum class DumpShape {
  whole,       // every segment the headers name is in the file
  truncated,   // the file ends before the last of them does
  not_a_dump,  // the headers make no sense as a dump's (see dump_layout.cpp)
  unreadable,  // a read failed (errno in `error`)
};

struct DumpSegment {
  std::uint64_t base;    // the server's address of the segment
  std::uint64_t size;    // bytes, its header's size field
  std::uint64_t offset;  // where its bytes start in the file
};

struct DumpLayout {
  DumpShape shape = DumpShape::not_a_dump;
  // Which rule a file that is not a dump broke, in a few words.
  const char* why = "";
  int error = 0;
  // The segment count of the shmcb, and the segments whose headers the
  // file holds, in file order.
  int count = 0;
  std::vector<DumpSegment> segments;
  // Bytes the headers say the dump has. When the file ends before a
  // segment's header, that segment and every later one are counted as
  // their headers alone: the least the file would hold.
  std::uint64_t expected = 0;
  std::uint64_t file_size = 0;
  std::uint64_t root = 0;  // the shmcb's rhead
};

DumpLayout read_dump_layout(const DumpBytes& bytes);

// The file offset of the `length` bytes at server address `address`, when
// they lie wholly within the file's segments (a run of segments that
// continue each other's addresses counts as one) and within the file.
std::optional<std::uint64_t> dump_offset(const DumpLayout& layout, std::uint64_t address, std::uint64_t length);

// The trace ring, reached as the tool reaches it: root record, shmcb,
// trace control block, ring header, records.
struct DumpRing {
  enum class Link { none, root_record, shmcb, trace_block, ring };
  // The first link that lies outside the dump, and its address; for the
  // ring, its records may be what lies outside (or it has none).
  Link outside = Link::none;
  std::uint64_t at = 0;
  bool unreadable = false;  // a read failed, with this errno:
  int error = 0;
  bool has_block = false;   // the shmcb points to a trace control block
  bool has_ring = false;    // the block points to a ring
  std::int32_t size = 0;    // the block's ring_size
  std::uint32_t head = 0, tail = 0;
};

// For a layout whose shape is whole.
DumpRing read_dump_ring(const DumpLayout& layout, const DumpBytes& bytes);

}  // namespace kvf
