// test_image.cpp -- the in-memory image and output capture of the viewer tests.
#include "test_image.h"

#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include <sys/mman.h>
#include <unistd.h>

#include "layouts/control_block_layout.h"
#include "layouts/field.h"
#include "layouts/ring_layout.h"
#include "layouts/shmcb_layout.h"
#include "shm/image.h"
#include "viewer/output.h"

namespace viewer_test {

TestImage::TestImage(std::size_t size) : size_(size) {
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::runtime_error("mmap");
  base_ = static_cast<unsigned char*>(p);
  kvf::image_clear();
  kvf::image_add_range(addr(base_), size);
  unsigned char* root = alloc(kvf::root::kUsedSize);
  unsigned char* shmcb = alloc(kvf::shmcb::kSize);
  block_ = alloc(kvf::control::kUsedSize);
  server_ = alloc(kvf::server_record::kUsedSize);
  kvf::store<std::uint64_t>(root, kvf::root::kShmcb, addr(shmcb));
  kvf::store<std::uint64_t>(root, kvf::root::kServerRecord, addr(server_));
  kvf::store<std::uint64_t>(shmcb, kvf::shmcb::kTraceBlock, addr(block_));
  kvf::set_root_pointer(addr(root));
}

TestImage::~TestImage() {
  kvf::image_clear();
  munmap(base_, size_);
}

unsigned char* TestImage::alloc(std::size_t n, std::size_t align) {
  used_ = (used_ + align - 1) / align * align;
  if (n > size_ - used_) throw std::runtime_error("test image full");
  unsigned char* p = base_ + used_;
  used_ += n;
  return p;
}

std::uint64_t TestImage::string(const std::string& s) {
  unsigned char* p = alloc(s.size() + 1, 1);
  std::memcpy(p, s.c_str(), s.size() + 1);
  return addr(p);
}

std::uint64_t TestImage::at_end(const std::string& text) {
  if (text.size() > size_ - used_) throw std::runtime_error("test image full");
  unsigned char* p = base_ + size_ - text.size();
  std::memcpy(p, text.data(), text.size());
  return addr(p);
}

unsigned char* TestImage::make_ring(std::int32_t size) {
  ring_ = alloc(kvf::ring::kHeaderSize);
  unsigned char* records = alloc(static_cast<std::size_t>(size) * kvf::record::kSize);
  kvf::store<std::uint64_t>(ring_, kvf::ring::kRecords, addr(records));
  set_ring(addr(ring_), size);
  return ring_;
}

void TestImage::set_ring(std::uint64_t ring, std::int32_t size) {
  ring_ = reinterpret_cast<unsigned char*>(static_cast<std::uintptr_t>(ring));
  kvf::store<std::uint64_t>(block_, kvf::control::kRing, ring);
  kvf::store<std::int32_t>(block_, kvf::control::kRingSize, size);
}

void TestImage::set_indexes(std::uint32_t head, std::uint32_t tail) {
  kvf::store<std::uint32_t>(ring_, kvf::ring::kTail, tail);
  kvf::store<std::uint32_t>(ring_, kvf::ring::kHead, head);
}

unsigned char* TestImage::slot(std::int32_t i) const {
  auto records = kvf::load<std::uint64_t>(ring_, kvf::ring::kRecords);
  return reinterpret_cast<unsigned char*>(static_cast<std::uintptr_t>(records)) +
         static_cast<std::size_t>(i) * kvf::record::kSize;
}

void TestImage::write(unsigned char* s, const Record& r) {
  std::memset(s, 0, kvf::record::kSize);
  kvf::sim::store_record(s, r);
}

void TestImage::fill(std::int32_t i, std::uint32_t stamp) {
  write(i, {.file = string(std::string("f").append(std::to_string(i))), .line = i, .stamp = stamp, .args = {}});
}

unsigned char* TestImage::ring(std::int32_t size, std::uint32_t head, std::uint32_t tail) {
  unsigned char* r = make_ring(size);
  for (std::int32_t i = 0; i < size; ++i) fill(i, 1000 + static_cast<std::uint32_t>(i));
  set_indexes(head, tail);
  return r;
}

void TestImage::set_stamp(std::int32_t i, std::uint32_t stamp) {
  kvf::store<std::uint32_t>(slot(i), kvf::record::kStamp, stamp);
}

void TestImage::set_server_pid(std::uint32_t pid) {
  kvf::store<std::uint32_t>(server_, kvf::server_record::kPid, pid);
}

std::string line(int i) {
  char text[64];
  std::snprintf(text, sizeof text, "f%-9d %-4d 0       \n", i, i);
  return text;
}

std::string lines(int from, int to) {
  std::string s;
  for (int i = from; i <= to; ++i) s += line(i);
  return s;
}

std::string dump_address(std::uint64_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "%8x:", static_cast<unsigned>(address));
  return text;
}

void Events::add(std::string event) {
  if (fd_ >= 0) {
    std::string line = event + "\n";
    if (::write(fd_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) throw std::runtime_error("write");
  }
  seen.push_back(std::move(event));
}

bool Events::record(void* context, const unsigned char* slot, std::int32_t index) {
  auto file = kvf::load<std::uint64_t>(slot, kvf::record::kFile);
  (void)*reinterpret_cast<const volatile unsigned char*>(static_cast<std::uintptr_t>(file));
  static_cast<Events*>(context)->add("record " + std::to_string(index));
  return true;
}

void Events::ahead(void* context, std::int32_t from, std::int32_t to) {
  static_cast<Events*>(context)->add("ahead " + std::to_string(from) + ">" + std::to_string(to));
}

void Events::max(void* context, std::int32_t from, std::int32_t to) {
  static_cast<Events*>(context)->add("max " + std::to_string(from) + ">" + std::to_string(to));
}

void Events::skipped(void* context, std::int32_t index) {
  static_cast<Events*>(context)->add("skipped " + std::to_string(index));
}

void Events::replaced(void* context, std::uint64_t ring, std::int32_t size) {
  static_cast<Events*>(context)->add("replaced " + std::to_string(size) + " at " + std::to_string(ring));
}

void Events::gone(void* context, std::int32_t pid) {
  static_cast<Events*>(context)->add("gone " + std::to_string(pid));
}

std::vector<std::string> events_in(const std::string& lines) {
  std::vector<std::string> out;
  std::istringstream in(lines);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

Hole::Hole() : page_(static_cast<std::size_t>(sysconf(_SC_PAGESIZE))) {
  p_ = mmap(nullptr, 3 * page_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p_ == MAP_FAILED) throw std::runtime_error("mmap");
  kvf::image_add_range(address(), page_);
}

Hole::~Hole() { munmap(p_, 3 * page_); }

Capture::Capture() {
  fd_ = memfd_create("viewer-output", 0);
  if (fd_ < 0) throw std::runtime_error("memfd_create");
  kvf::out::set_fd(fd_);
}

Capture::~Capture() {
  kvf::out::set_fd(1);
  close(fd_);
}

std::string Capture::text() {
  kvf::out::flush();
  return read_all(fd_);
}

std::string read_all(int fd) {
  std::string s;
  char buf[4096];
  for (off_t at = 0;;) {
    ssize_t n = pread(fd, buf, sizeof buf, at);
    if (n <= 0) break;
    s.append(buf, static_cast<std::size_t>(n));
    at += n;
  }
  return s;
}

}  // namespace viewer_test
