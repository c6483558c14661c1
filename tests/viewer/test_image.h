// test_image.h -- a small server image in ordinary memory for the viewer
// tests: registered as the mapped image, with a root record, shmcb, trace
// control block, ring and records laid out as the server lays them out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/image_builder.h"
#include "viewer/walk_sink.h"

namespace viewer_test {

// Records and their packed arguments as the stand-in server writes them.
using Args = kvf::sim::ArgPacker;
using Record = kvf::sim::Record;

class TestImage {
 public:
  // Maps `size` shared bytes (a forked walk sees later writes) as the whole
  // image, with root record, shmcb and control block laid out.
  explicit TestImage(std::size_t size = 8u << 20);
  ~TestImage();
  TestImage(const TestImage&) = delete;
  TestImage& operator=(const TestImage&) = delete;

  // Bump allocation inside the image.
  unsigned char* alloc(std::size_t n, std::size_t align = 16);
  std::uint64_t string(const std::string& s);
  // The last `text.size()` bytes of the image, set to `text`: a string put
  // there with no NUL of its own runs off the end of the image.
  std::uint64_t at_end(const std::string& text);
  static std::uint64_t addr(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

  unsigned char* control_block() const { return block_; }
  // A ring of `size` zeroed slots, in the image and in the control block.
  unsigned char* make_ring(std::int32_t size);
  // A new ring of `size` records fill(i, 1000 + i) at head, tail.
  unsigned char* ring(std::int32_t size, std::uint32_t head, std::uint32_t tail);
  void set_ring(std::uint64_t ring, std::int32_t size);
  void set_indexes(std::uint32_t head, std::uint32_t tail);
  unsigned char* slot(std::int32_t i) const;
  void write(std::int32_t i, const Record& r) { write(slot(i), r); }
  void write(unsigned char* slot, const Record& r);
  // A plain record at slot i: file "f<i>", line i, no message.
  void fill(std::int32_t i, std::uint32_t stamp = 1);
  void set_stamp(std::int32_t i, std::uint32_t stamp);
  void set_server_pid(std::uint32_t pid);

 private:
  unsigned char* base_;
  std::size_t size_;
  std::size_t used_ = 0;
  unsigned char* block_ = nullptr;
  unsigned char* server_ = nullptr;
  unsigned char* ring_ = nullptr;
};

// The narrow column header, and the narrow lines of fill(i) for i in [from, to].
inline constexpr char kHeader[] = "File       Line session \n";
// The reader's notes between the lines.
inline constexpr char kSkipped[] = "buffer overrun or formatting error, records skipped\n";
inline constexpr char kSkipAhead[] = "possible buffer overrun, skipping ahead\n";
inline constexpr char kMaxSkip[] = "possible buffer overrun, max skip ahead reached\n";
std::string line(int i);
std::string lines(int from, int to);

// The address column that starts a hex-dump line of the byte at `address`.
std::string dump_address(std::uint64_t address);

// Everything written to `fd` from its start.
std::string read_all(int fd);

// A walk sink that keeps each event as words, in order: "record 3",
// "ahead 49>20", "max 49>40", "skipped 30", "replaced 50 at 1234" (the new
// ring's size and address), "gone 1234". Its record handler reads the first byte of the
// record's file name, as a view would, so that a name the tool cannot read
// faults there. With `fd`, each event is written there too as a line as it
// comes (a tail walk runs in a child process, and ends it).
class Events {
 public:
  explicit Events(int fd = -1) : fd_(fd) {}
  kvf::WalkSink sink() { return {this, record, ahead, max, skipped, replaced, gone, flush}; }
  std::vector<std::string> seen;

 private:
  void add(std::string event);
  static bool record(void* context, const unsigned char* slot, std::int32_t index);
  static void ahead(void* context, std::int32_t from, std::int32_t to);
  static void max(void* context, std::int32_t from, std::int32_t to);
  static void skipped(void* context, std::int32_t index);
  static void replaced(void* context, std::uint64_t ring, std::int32_t size);
  static void gone(void* context, std::int32_t pid);
  static void flush(void*) {}

  int fd_;
};

// The events an Events sink wrote as lines.
std::vector<std::string> events_in(const std::string& lines);

// A page the image counts as mapped that cannot be read: whatever points
// into it faults. It lies between two more such pages that the image does
// not count, so that it never joins the image's range next to it.
class Hole {
 public:
  Hole();
  ~Hole();
  Hole(const Hole&) = delete;
  Hole& operator=(const Hole&) = delete;
  std::uint64_t address() const { return TestImage::addr(p_) + page_; }

 private:
  void* p_;
  std::size_t page_;
};

// Sends the views' output to a memory file while alive.
class Capture {
 public:
  Capture();
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;
  std::string text();  // everything written so far (flushes first)

 private:
  int fd_;
};

}  // namespace viewer_test
