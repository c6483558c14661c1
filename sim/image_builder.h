// image_builder.h -- lays out a complete server image (segments, shmcb, root
// and server records, trace control block, ring, records and the strings they
// point to) at chosen server addresses.
//
// The image lives either in ordinary memory owned by the builder (tests build
// dump files this way) or in memory that is already mapped at the server
// addresses (the stand-in server builds its shared memory with it). Every
// pointer written into the image is a server address.
//
// A dump in a few lines:
//
//   kvf::sim::ImageBuilder image({.ring_records = 8});
//   kvf::sim::Record r = image.record("heap.c", 12, "%d items");
//   r.args.i32(3);
//   image.append_record(r);
//   image.write_dump(dir.file("dump"));
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kvf::sim {

// An address range no process uses on x86-64 Linux, above the sanitizer's
// shadow memory (which ends at 0x10007fff7fff).
inline constexpr std::uint64_t kDefaultBase = 0x200000000000ull;

// The packed argument area of a record: arguments one after another, no
// alignment, at most 80 bytes. Adding past the end throws std::length_error.
class ArgPacker {
 public:
  ArgPacker& i32(std::int32_t v);        // %d %i %o %x %X %c
  ArgPacker& ptr(std::uint64_t address);  // %s %p
  ArgPacker& f64(double v);              // %e %E %f %g %G
  ArgPacker& i64(std::int64_t v);        // %l %ll %lld
  ArgPacker& u64(std::uint64_t v);       // %llu %llx
  ArgPacker& block(std::uint64_t address, std::int32_t count);  // %r
  ArgPacker& raw(const void* bytes, std::size_t n);

  const std::array<unsigned char, 80>& bytes() const { return bytes_; }
  std::size_t used() const { return used_; }

 private:
  std::array<unsigned char, 80> bytes_{};
  std::size_t used_ = 0;
};

// One trace record; addresses are server addresses (0 where absent).
struct Record {
  std::uint64_t file = 0;
  std::int32_t line = 0;
  std::int64_t time = 0;
  std::uint32_t stamp = 0;
  std::uint32_t component = 0;
  std::uint32_t feature = 0;
  std::int32_t pid = 0;
  std::int32_t csvr = 0;
  std::int32_t thrd = 0;
  std::int64_t session = 0;
  std::uint64_t trans = 0;
  std::uint64_t rstcb = 0;
  std::uint64_t format = 0;
  ArgPacker args;
};

// Writes `r` into the 160-byte slot in the writer's order: file cleared,
// the fields and arguments, the stamp, file last. `file` and `stamp` are
// single atomic stores, since a reader may be looking at the slot.
void store_record(unsigned char* slot, const Record& r);

struct SegmentOptions {
  std::uint64_t size = 0;        // bytes, header included; 0: just enough (first only)
  std::uint64_t piece_size = 0;  // 0: the segment is one piece
  bool continues = false;        // -99: continues the span of the segment before
  std::int32_t id = -1;          // next-segment id written by the segment before; -1: 1000 + index
  std::vector<std::int32_t> piece_ids{};  // ids of the pieces after the first
};

struct ImageOptions {
  std::uint64_t base = kDefaultBase;
  std::vector<SegmentOptions> segments{};  // empty: one segment, sized to fit
  std::int32_t ring_records = 16;     // 0: no ring (null pointer)
  std::size_t string_area = 64 * 1024;  // room for strings and other allocations
  std::uint32_t pid = 4242;           // the server record's pid
  std::int16_t attach_value = 1;      // the root record's value at 480
  bool control_block = true;          // false: the shmcb's block pointer is 0
  std::int32_t min_piece_size = 65536;
};

struct SegmentInfo {
  std::uint64_t base;
  std::uint64_t size;
  std::uint64_t piece_size;
  bool continues;
};

class ImageBuilder {
 public:
  enum class Memory {
    owned,     // ordinary buffers of the builder's own
    in_place,  // already mapped at the server addresses, zero-filled
  };

  // Sizes and places the segments as `options` says and writes every structure.
  // Throws std::invalid_argument when the image cannot be laid out so.
  explicit ImageBuilder(const ImageOptions& options, Memory memory = Memory::owned);

  // Where the segments go for `options` (sizes filled in), without building.
  static std::vector<SegmentInfo> plan(const ImageOptions& options);

  const std::vector<SegmentInfo>& segments() const { return segments_; }

  // Our pointer to `length` bytes at server address `address`; throws
  // std::out_of_range when they are not wholly inside one segment.
  unsigned char* local(std::uint64_t address, std::size_t length = 1);

  // Server addresses of the structures.
  std::uint64_t shmcb() const { return shmcb_; }
  std::uint64_t root() const { return root_; }
  std::uint64_t server_record() const { return server_record_; }
  std::uint64_t control_block() const { return control_; }  // 0 without one
  std::uint64_t ring() const;     // the control block's ring pointer
  std::int32_t ring_size() const;

  // Room in the image: `size` bytes aligned to `align`, zero-filled; throws
  // std::length_error when the image is full.
  std::uint64_t allocate(std::size_t size, std::size_t align = 8);
  // A NUL-terminated copy of `text` (the same text twice gives one copy).
  std::uint64_t string(std::string_view text);
  std::uint64_t bytes(const void* data, std::size_t n);

  // A new ring of `records` slots, installed as the control block's ring with
  // ring_size and requested_size set to `records`; returns its header.
  std::uint64_t make_ring(std::int32_t records);

  // Control-block fields.
  void set_cell(int component, int feature, std::uint32_t value);
  std::uint32_t cell(int component, int feature);
  void set_trace_on(std::uint32_t on);
  void set_alloc_failed(std::uint32_t value);
  void set_session_filter(std::uint32_t on, std::int64_t id);
  void set_requested_size(std::int32_t size);

  // Ring indexes and slots of the current ring.
  void set_indexes(std::uint32_t head, std::uint32_t tail);
  std::uint32_t head();
  std::uint32_t tail();
  std::uint64_t slot(std::uint32_t index);
  void write_record(std::uint32_t index, const Record& r);
  // Writes at head, advances head and, when it meets tail, tail too (the
  // ring keeps size - 1 records). Gives a fresh stamp when r.stamp is 0.
  void append_record(Record r);

  // A record with its strings placed in the image and some plausible ids.
  Record record(std::string_view file, std::int32_t line, std::string_view format = {});

  // The segments back to back, each as many bytes as its header's size.
  std::string dump() const;
  void write_dump(const std::string& path) const;

 private:
  struct Segment {
    SegmentInfo info;
    std::unique_ptr<unsigned char[]> owned;
    unsigned char* data;
  };
  void write_structures(const ImageOptions& options);

  std::vector<SegmentInfo> segments_;
  std::vector<Segment> memory_;
  std::size_t alloc_segment_ = 0;  // bump allocation: segment and offset
  std::uint64_t alloc_offset_ = 0;
  std::map<std::string, std::uint64_t, std::less<>> strings_;
  std::uint32_t next_stamp_ = 1;
  std::uint64_t shmcb_ = 0, root_ = 0, server_record_ = 0, control_ = 0;
};

}  // namespace kvf::sim
