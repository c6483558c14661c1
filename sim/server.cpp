// server.cpp -- the stand-in server's shared memory and writers. Writers run
// trace points at the chosen rate, apply the trace-point rule, and under one
// lock bring the ring to the requested size, apply the session filter and
// fill the next slot in the order the reader relies on.
#include "sim/server.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "layouts/control_block_layout.h"
#include "layouts/field.h"
#include "layouts/infofile_layout.h"
#include "layouts/ring_layout.h"

namespace kvf::sim {

Server::Server(const Options& options) : options_(options) {
  const std::uint64_t area_bytes = ring::kHeaderSize + 16 + static_cast<std::uint64_t>(options.max_records) * record::kSize;
  Layout layout;
  layout.base = options.base;
  layout.segments = options.segments;
  layout.pieces = options.pieces;
  layout.continuation = options.continuation;
  layout.ring_records = 0;  // the two ring areas come below
  layout.extra_bytes = 2 * area_bytes + 64 * 1024 + options.threads * 1024;
  layout.attach_value = options.attach_value;
  layout.key = options.key;
  image_ = std::make_unique<SharedImage>(layout);
  key_ = image_->key();
  ImageBuilder& b = image_->image();
  block_ = b.local(b.control_block(), control::kUsedSize);

  for (RingArea& a : areas_) {
    a.header = b.allocate(ring::kHeaderSize);
    a.slots = b.allocate(static_cast<std::size_t>(options.max_records) * record::kSize, 16);
    store<std::uint64_t>(b.local(a.header, ring::kHeaderSize), ring::kRecords, a.slots);
  }
  prepare_slot(areas_[0].header, 0);
  store_shared<std::uint64_t>(block_, control::kRing, areas_[0].header);
  store_shared<std::int32_t>(block_, control::kRingSize, options.records);
  store_shared<std::int32_t>(block_, control::kRequestedSize, options.records);
  store_shared<std::uint32_t>(block_, control::kTraceOn, options.on ? 1 : 0);
  store_shared<std::uint32_t>(block_, control::kAllocFailed, options.alloc_failed ? 1 : 0);
  for (int c = 0; c < control::kComponentRows; ++c)
    for (int f = 0; f < control::kFeatureColumns; ++f)
      store_shared<std::uint32_t>(block_, control::cell_offset(c, f), static_cast<std::uint32_t>(options.level));

  points_ = place_trace_points(b, sources_);
  for (int t = 0; t < options.threads; ++t) thread_blocks_.push_back(b.allocate(1024, 64));

  // The information file, in <dir>/etc (made when missing).
  std::string etc = options.dir + "/etc";
  if (mkdir(etc.c_str(), 0755) != 0 && errno != EEXIST)
    throw std::system_error(errno, std::generic_category(), "cannot make " + etc);
  info_path_ = etc + "/" + infofile::kSuffix + options.server;
  if (!image_->write_info_file(info_path_) || !identify_file(info_path_, info_file_))
    throw std::system_error(errno, std::generic_category(), "cannot write " + info_path_);
}

Server::~Server() { shut_down(); }

void Server::start() {
  for (int t = 0; t < options_.threads; ++t) writers_.emplace_back([this, t] { writer(t); });
}

void Server::stop() {
  stopping_ = true;
  for (std::thread& w : writers_)
    if (w.joinable()) w.join();
  writers_.clear();
}

bool Server::finished() const {
  return options_.count > 0 && ended_.load() == options_.threads;
}

Counters Server::counters() const {
  return {trace_points_.load(), records_.load(), filtered_.load(), replacements_.load()};
}

void Server::writer(int index) {
  using clock = std::chrono::steady_clock;
  const auto period = options_.rate > 0 ? std::chrono::nanoseconds(static_cast<std::int64_t>(
                                              1e9 * options_.threads / options_.rate))
                                        : std::chrono::nanoseconds(0);
  auto due = clock::now();
  for (std::uint64_t k = 0; !stopping_.load(std::memory_order_relaxed); ++k) {
    if (options_.count > 0 && claimed_.fetch_add(1) >= options_.count) break;
    if (period.count() > 0) {
      due += period;
      auto now = clock::now();
      if (due > now) std::this_thread::sleep_until(due);
      else if (now - due > std::chrono::seconds(1)) due = now;  // no burst after a stall
    }
    const std::uint64_t n = k * static_cast<std::uint64_t>(options_.threads) + static_cast<std::uint64_t>(index);
    const TracePoint& point = points_[(k + 3 * static_cast<std::uint64_t>(index)) % points_.size()];
    trace_points_.fetch_add(1, std::memory_order_relaxed);
    if (!trace_point_enabled(block_, point)) continue;
    std::int64_t session = 1 + static_cast<std::int64_t>((k + static_cast<std::uint64_t>(index)) %
                                                         static_cast<std::uint64_t>(options_.sessions));
    record(point, index, n, session);
  }
  ended_.fetch_add(1);
}

// Brings the ring to requested_size: a new ring in the other area, empty,
// installed by its pointer and then its size. Called with ring_mutex_ held.
void Server::apply_requested_size() {
  std::int32_t requested = load_shared<std::int32_t>(block_, control::kRequestedSize);
  std::int32_t current = load_shared<std::int32_t>(block_, control::kRingSize);
  if (requested == current) return;
  // A request beyond the room of a ring area gets the largest ring there is,
  // and a request below one record none at all; either way requested_size
  // then says what the server did.
  if (requested < 1) {
    store_shared<std::int32_t>(block_, control::kRequestedSize, current);
    return;
  }
  if (requested > options_.max_records) {
    requested = options_.max_records;
    store_shared<std::int32_t>(block_, control::kRequestedSize, requested);
    if (requested == current) return;
  }
  ImageBuilder& b = image_->image();
  area_ ^= 1;
  const RingArea& a = areas_[area_];
  unsigned char* slots = b.local(a.slots, static_cast<std::size_t>(requested) * record::kSize);
  for (std::int32_t i = 0; i < requested; ++i) store_shared<std::uint64_t>(slots + i * record::kSize, record::kFile, 0);
  unsigned char* h = b.local(a.header, ring::kHeaderSize);
  store_shared<std::uint32_t>(h, ring::kTail, 0);
  store_shared<std::uint32_t>(h, ring::kHead, 0);
  prepare_slot(a.header, 0);
  store_shared<std::uint64_t>(block_, control::kRing, a.header);
  store_shared<std::int32_t>(block_, control::kRingSize, requested);
  replacements_.fetch_add(1, std::memory_order_relaxed);
}

void Server::record(const TracePoint& point, int thread, std::uint64_t n, std::int64_t session) {
  Record r;
  r.file = point.file;
  r.line = point.line;
  r.time = static_cast<std::int64_t>(std::time(nullptr));
  r.component = point.component;
  r.feature = point.feature;
  r.pid = static_cast<std::int32_t>(getpid());
  r.csvr = 1;
  r.thrd = thread + 1;
  r.session = session;
  r.rstcb = thread_blocks_[static_cast<std::size_t>(thread)];
  r.trans = r.rstcb + 512;
  r.format = point.format;
  point.fill(r, n, sources_);

  std::lock_guard<std::mutex> lock(ring_mutex_);
  apply_requested_size();
  if (load_shared<std::uint32_t>(block_, control::kSessionFilterOn) != 0 &&
      load_shared<std::int64_t>(block_, control::kSessionId) != session) {
    filtered_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  ImageBuilder& b = image_->image();
  const std::uint64_t ring_address = load_shared<std::uint64_t>(block_, control::kRing);
  const std::uint32_t size = static_cast<std::uint32_t>(load_shared<std::int32_t>(block_, control::kRingSize));
  if (size == 0) return;  // never made by this server; nothing to fill
  unsigned char* h = b.local(ring_address, ring::kHeaderSize);
  // The tool may have emptied the ring or written indexes of its own; keep
  // them inside the ring.
  std::uint32_t head = load_shared<std::uint32_t>(h, ring::kHead) % size;
  std::uint32_t tail = load_shared<std::uint32_t>(h, ring::kTail) % size;
  stamp_ = next_stamp();
  r.stamp = stamp_;
  std::uint64_t slots = load<std::uint64_t>(h, ring::kRecords);
  store_record(b.local(slots + static_cast<std::uint64_t>(head) * record::kSize, record::kSize), r);
  std::uint32_t next = (head + 1) % size;
  if (next == tail) store_shared<std::uint32_t>(h, ring::kTail, (tail + 1) % size);
  store_shared<std::uint32_t>(h, ring::kHead, next);
  prepare_slot(ring_address, next);
  records_.fetch_add(1, std::memory_order_relaxed);
}

std::uint32_t Server::next_stamp() const { return stamp_ + 1 == 0 ? 1 : stamp_ + 1; }

// The slot at head is the one the next record fills. It is marked incomplete
// and given the stamp that record will carry, so that a reader waiting there
// for the next record sees that record arrive, not a rewritten slot. Called
// with ring_mutex_ held (or before the writers start).
void Server::prepare_slot(std::uint64_t ring_header, std::uint32_t index) {
  ImageBuilder& b = image_->image();
  std::uint64_t slots = load<std::uint64_t>(b.local(ring_header, ring::kHeaderSize), ring::kRecords);
  unsigned char* slot = b.local(slots + static_cast<std::uint64_t>(index) * record::kSize, record::kSize);
  store_shared<std::uint64_t>(slot, record::kFile, 0);
  store_shared<std::uint32_t>(slot, record::kStamp, next_stamp());
}

bool Server::write_dump(const std::string& path) {
  std::string tmp = path + ".new";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = true;
  {
    // Whole records only: no writer is inside the ring while we copy.
    std::lock_guard<std::mutex> lock(ring_mutex_);
    for (const SegmentInfo& s : image_->image().segments()) {
      const char* p = reinterpret_cast<const char*>(image_->image().local(s.base, s.size));
      std::uint64_t done = 0;
      while (ok && done < s.size) {
        ssize_t n = ::write(fd, p + done, s.size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ok = false;
        else done += static_cast<std::uint64_t>(n);
      }
    }
  }
  int e = errno;
  if (close(fd) != 0) ok = false, e = errno;
  if (ok && rename(tmp.c_str(), path.c_str()) != 0) ok = false, e = errno;
  if (!ok) {
    unlink(tmp.c_str());
    errno = e;
  }
  return ok;
}

int Server::shut_down() {
  if (removed_) return 0;
  stop();
  removed_ = true;
  int failed = 0;
  // The file goes only while it is still ours: a newer server of the same
  // name may have written its own since.
  if (!remove_file_if_same(info_file_)) ++failed;
  failed += image_->remove();
  return failed;
}

}  // namespace kvf::sim
