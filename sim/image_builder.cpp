// image_builder.cpp -- places segments and writes the server's structures into
// them through the layout headers' offsets. The first segment holds, in this
// order: its header, the shmcb (ending at `overhead`), the root record, the
// server record, the trace control block, the first ring and the string area;
// what does not fit there goes on into the later segments.
#include "sim/image_builder.h"

#include <cstring>
#include <fstream>
#include <stdexcept>

#include "layouts/control_block_layout.h"
#include "layouts/field.h"
#include "layouts/ring_layout.h"
#include "layouts/segment_layout.h"
#include "layouts/shmcb_layout.h"

namespace kvf::sim {
namespace {

constexpr std::uint64_t kPage = 4096;
// The shmcb starts on the first page boundary after the segment header.
constexpr std::uint64_t kShmcbOffset = kPage;
constexpr std::uint64_t kOverhead = kShmcbOffset + shmcb::kSize;
constexpr std::size_t kRootSize = 1024;

std::uint64_t align_up(std::uint64_t v, std::uint64_t a) { return (v + a - 1) / a * a; }

std::uint64_t first_segment_need(const ImageOptions& options) {
  std::uint64_t ring = options.ring_records > 0
                           ? ring::kHeaderSize + 16 + static_cast<std::uint64_t>(options.ring_records) * record::kSize
                           : 0;
  return align_up(kOverhead + kRootSize + server_record::kUsedSize + 8 + control::kUsedSize + 8 + ring +
                      options.string_area,
                  kPage);
}

}  // namespace

// ---- ArgPacker ----

ArgPacker& ArgPacker::raw(const void* bytes, std::size_t n) {
  if (n > bytes_.size() - used_) throw std::length_error("record arguments beyond 80 bytes");
  std::memcpy(bytes_.data() + used_, bytes, n);
  used_ += n;
  return *this;
}
ArgPacker& ArgPacker::i32(std::int32_t v) { return raw(&v, sizeof v); }
ArgPacker& ArgPacker::ptr(std::uint64_t address) { return raw(&address, sizeof address); }
ArgPacker& ArgPacker::f64(double v) { return raw(&v, sizeof v); }
ArgPacker& ArgPacker::i64(std::int64_t v) { return raw(&v, sizeof v); }
ArgPacker& ArgPacker::u64(std::uint64_t v) { return raw(&v, sizeof v); }
ArgPacker& ArgPacker::block(std::uint64_t address, std::int32_t count) {
  if (12 > bytes_.size() - used_) throw std::length_error("record arguments beyond 80 bytes");
  ptr(address);
  return i32(count);
}

void store_record(unsigned char* slot, const Record& r) {
  store_shared<std::uint64_t>(slot, record::kFile, 0);
  store<std::int32_t>(slot, record::kLine, r.line);
  store<std::int64_t>(slot, record::kTime, r.time);
  store<std::uint32_t>(slot, record::kComponent, r.component);
  store<std::uint32_t>(slot, record::kFeature, r.feature);
  store<std::int32_t>(slot, record::kPid, r.pid);
  store<std::int32_t>(slot, record::kCsvr, r.csvr);
  store<std::int32_t>(slot, record::kThrd, r.thrd);
  store<std::int64_t>(slot, record::kSession, r.session);
  store<std::uint64_t>(slot, record::kTrans, r.trans);
  store<std::uint64_t>(slot, record::kRstcb, r.rstcb);
  store<std::uint64_t>(slot, record::kFormat, r.format);
  std::memcpy(slot + record::kArgs, r.args.bytes().data(), record::kArgsSize);
  store_shared<std::uint32_t>(slot, record::kStamp, r.stamp);
  std::atomic_thread_fence(std::memory_order_release);
  store_shared<std::uint64_t>(slot, record::kFile, r.file);
}

// ---- ImageBuilder ----

std::vector<SegmentInfo> ImageBuilder::plan(const ImageOptions& options) {
  std::vector<SegmentOptions> shapes = options.segments;
  if (shapes.empty()) shapes.push_back({});
  if (shapes[0].continues) throw std::invalid_argument("the first segment cannot be a continuation");
  if (options.base % kPage) throw std::invalid_argument("base address not page-aligned");
  std::vector<SegmentInfo> out;
  std::uint64_t at = options.base;
  for (std::size_t i = 0; i < shapes.size(); ++i) {
    const SegmentOptions& s = shapes[i];
    std::uint64_t size = s.size;
    if (size == 0) {
      if (i != 0) throw std::invalid_argument("only the first segment may be sized to fit");
      size = first_segment_need(options);
      if (s.piece_size) size = align_up(size, s.piece_size);
    }
    if (size < segment::kSize || (i == 0 && size < kOverhead))
      throw std::invalid_argument("segment too small for its header");
    if (i > 0 && !s.continues) at = align_up(at, kPage);
    out.push_back({at, size, s.piece_size ? s.piece_size : size, s.continues});
    at += size;
  }
  return out;
}

ImageBuilder::ImageBuilder(const ImageOptions& options, Memory memory) : segments_(plan(options)) {
  for (const SegmentInfo& info : segments_) {
    Segment seg{info, nullptr, nullptr};
    if (memory == Memory::owned) {
      seg.owned.reset(new unsigned char[info.size]());
      seg.data = seg.owned.get();
    } else {
      seg.data = reinterpret_cast<unsigned char*>(static_cast<std::uintptr_t>(info.base));
    }
    memory_.push_back(std::move(seg));
  }
  write_structures(options);
}

void ImageBuilder::write_structures(const ImageOptions& options) {
  std::vector<SegmentOptions> shapes = options.segments;
  if (shapes.empty()) shapes.push_back({});
  const std::uint64_t first = segments_[0].base;

  // Segment headers, each pointing at the next.
  for (std::size_t i = 0; i < segments_.size(); ++i) {
    unsigned char* h = memory_[i].data;
    const SegmentInfo& s = segments_[i];
    store<std::uint16_t>(h, segment::kMark, segment::kMarkValue);
    std::vector<std::int32_t> ids = shapes[i].piece_ids;
    if (ids.empty()) {
      std::int32_t own = shapes[i].id >= 0 ? shapes[i].id : static_cast<std::int32_t>(1000 + i);
      for (std::uint64_t off = s.piece_size; off < s.size; off += s.piece_size)
        ids.push_back(own + static_cast<std::int32_t>(off / s.piece_size));
    }
    if (ids.size() >= segment::kMaxPieceIds) throw std::invalid_argument("too many pieces");
    for (std::size_t k = 0; k < ids.size(); ++k) store<std::int32_t>(h, segment::kPieceIds + 4 * k, ids[k]);
    store<std::int32_t>(h, segment::kPieceIds + 4 * ids.size(), -1);
    store<std::uint64_t>(h, segment::kBase, s.base);
    if (i == 0) store<std::uint64_t>(h, segment::kOverhead, kOverhead);
    if (i + 1 < segments_.size()) {
      const SegmentOptions& n = shapes[i + 1];
      std::uint32_t id = n.continues ? segment::kContinuation
                                     : static_cast<std::uint32_t>(n.id >= 0 ? n.id : 1000 + i + 1);
      store<std::uint64_t>(h, segment::kNextAddress, segments_[i + 1].base);
      store<std::uint32_t>(h, segment::kNextId, id);
    }
    store<std::uint64_t>(h, segment::kSegmentSize, s.size);
    store<std::uint64_t>(h, segment::kPieceSize, s.piece_size);
  }

  alloc_segment_ = 0;
  alloc_offset_ = kOverhead;

  shmcb_ = first + kShmcbOffset;
  root_ = allocate(kRootSize);
  server_record_ = allocate(server_record::kUsedSize);
  control_ = options.control_block ? allocate(control::kUsedSize) : 0;

  unsigned char* cb = local(shmcb_, shmcb::kSize);
  store<std::uint16_t>(cb, shmcb::kMark, shmcb::kMarkValue);
  store<std::int16_t>(cb, shmcb::kSegmentCount, static_cast<std::int16_t>(segments_.size()));
  store<std::uint64_t>(cb, shmcb::kFirstBase, first);
  store<std::int32_t>(cb, shmcb::kMinPieceSize, options.min_piece_size);
  store<std::uint64_t>(cb, shmcb::kRootHead, root_);
  store<std::uint64_t>(cb, shmcb::kTraceBlock, control_);

  unsigned char* root = local(root_, kRootSize);
  store<std::uint64_t>(root, root::kServerRecord, server_record_);
  store<std::uint64_t>(root, root::kShmcb, shmcb_);
  store<std::int16_t>(root, root::kAttachValue, options.attach_value);
  store<std::uint32_t>(local(server_record_, server_record::kUsedSize), server_record::kPid, options.pid);

  if (control_ && options.ring_records > 0) make_ring(options.ring_records);
}

unsigned char* ImageBuilder::local(std::uint64_t address, std::size_t length) {
  for (Segment& s : memory_) {
    if (address >= s.info.base && address - s.info.base <= s.info.size &&
        length <= s.info.size - (address - s.info.base))
      return s.data + (address - s.info.base);
  }
  throw std::out_of_range("address not inside one segment of the image");
}

std::uint64_t ImageBuilder::allocate(std::size_t size, std::size_t align) {
  while (alloc_segment_ < segments_.size()) {
    const SegmentInfo& s = segments_[alloc_segment_];
    std::uint64_t at = align_up(alloc_offset_, align);
    if (at <= s.size && size <= s.size - at) {
      alloc_offset_ = at + size;
      // Fresh memory every time, and every segment starts zero-filled (owned
      // buffers are value-initialised, new segments are zero): no clearing,
      // so a large ring in a new segment costs no pages until it is used.
      return s.base + at;
    }
    ++alloc_segment_;
    alloc_offset_ = segment::kSize;
  }
  throw std::length_error("image full");
}

std::uint64_t ImageBuilder::string(std::string_view text) {
  auto it = strings_.find(text);
  if (it != strings_.end()) return it->second;
  std::uint64_t at = allocate(text.size() + 1, 1);
  std::memcpy(local(at, text.size() + 1), text.data(), text.size());
  strings_.emplace(std::string(text), at);
  return at;
}

std::uint64_t ImageBuilder::bytes(const void* data, std::size_t n) {
  std::uint64_t at = allocate(n ? n : 1, 1);
  if (n) std::memcpy(local(at, n), data, n);
  return at;
}

std::uint64_t ImageBuilder::make_ring(std::int32_t records) {
  if (!control_) throw std::logic_error("no control block");
  if (records <= 0) throw std::invalid_argument("ring size");
  std::uint64_t header = allocate(ring::kHeaderSize);
  std::uint64_t slots = allocate(static_cast<std::size_t>(records) * record::kSize, 16);
  store<std::uint64_t>(local(header, ring::kHeaderSize), ring::kRecords, slots);
  unsigned char* cb = local(control_, control::kUsedSize);
  store_shared<std::uint64_t>(cb, control::kRing, header);
  store_shared<std::int32_t>(cb, control::kRingSize, records);
  store_shared<std::int32_t>(cb, control::kRequestedSize, records);
  return header;
}

std::uint64_t ImageBuilder::ring() const {
  if (!control_) return 0;
  return load_shared<std::uint64_t>(const_cast<ImageBuilder*>(this)->local(control_, control::kUsedSize),
                                    control::kRing);
}

std::int32_t ImageBuilder::ring_size() const {
  if (!control_) return 0;
  return load_shared<std::int32_t>(const_cast<ImageBuilder*>(this)->local(control_, control::kUsedSize),
                                   control::kRingSize);
}

void ImageBuilder::set_cell(int component, int feature, std::uint32_t value) {
  store_shared<std::uint32_t>(local(control_, control::kUsedSize), control::cell_offset(component, feature),
                              value);
}
std::uint32_t ImageBuilder::cell(int component, int feature) {
  return load_shared<std::uint32_t>(local(control_, control::kUsedSize), control::cell_offset(component, feature));
}
void ImageBuilder::set_trace_on(std::uint32_t on) {
  store_shared<std::uint32_t>(local(control_, control::kUsedSize), control::kTraceOn, on);
}
void ImageBuilder::set_alloc_failed(std::uint32_t value) {
  store_shared<std::uint32_t>(local(control_, control::kUsedSize), control::kAllocFailed, value);
}
void ImageBuilder::set_session_filter(std::uint32_t on, std::int64_t id) {
  unsigned char* cb = local(control_, control::kUsedSize);
  store_shared<std::int64_t>(cb, control::kSessionId, id);
  store_shared<std::uint32_t>(cb, control::kSessionFilterOn, on);
}
void ImageBuilder::set_requested_size(std::int32_t size) {
  store_shared<std::int32_t>(local(control_, control::kUsedSize), control::kRequestedSize, size);
}

void ImageBuilder::set_indexes(std::uint32_t head, std::uint32_t tail) {
  unsigned char* h = local(ring(), ring::kHeaderSize);
  store_shared<std::uint32_t>(h, ring::kTail, tail);
  store_shared<std::uint32_t>(h, ring::kHead, head);
}
std::uint32_t ImageBuilder::head() { return load_shared<std::uint32_t>(local(ring(), ring::kHeaderSize), ring::kHead); }
std::uint32_t ImageBuilder::tail() { return load_shared<std::uint32_t>(local(ring(), ring::kHeaderSize), ring::kTail); }

std::uint64_t ImageBuilder::slot(std::uint32_t index) {
  std::int32_t size = ring_size();
  if (size <= 0 || index >= static_cast<std::uint32_t>(size)) throw std::out_of_range("ring slot");
  return load<std::uint64_t>(local(ring(), ring::kHeaderSize), ring::kRecords) +
         static_cast<std::uint64_t>(index) * record::kSize;
}

void ImageBuilder::write_record(std::uint32_t index, const Record& r) {
  store_record(local(slot(index), record::kSize), r);
}

void ImageBuilder::append_record(Record r) {
  if (r.stamp == 0) r.stamp = next_stamp_++;
  std::uint32_t size = static_cast<std::uint32_t>(ring_size());
  std::uint32_t h = head(), t = tail();
  write_record(h, r);
  std::uint32_t next = (h + 1) % size;
  if (next == t) t = (t + 1) % size;
  set_indexes(next, t);
}

Record ImageBuilder::record(std::string_view file, std::int32_t line, std::string_view format) {
  Record r;
  r.file = string(file);
  r.line = line;
  r.time = 1700000000;
  r.component = 20;  // KVF_SHMEM
  r.feature = 2;
  r.pid = 4242;
  r.csvr = 1;
  r.thrd = 7;
  r.session = 11;
  r.trans = 0x2000dead0000ull;
  r.rstcb = 0x2000beef0000ull;
  r.format = format.empty() ? 0 : string(format);
  return r;
}

std::string ImageBuilder::dump() const {
  std::string out;
  for (const Segment& s : memory_) out.append(reinterpret_cast<const char*>(s.data), s.info.size);
  return out;
}

void ImageBuilder::write_dump(const std::string& path) const {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  for (const Segment& s : memory_) f.write(reinterpret_cast<const char*>(s.data), static_cast<std::streamsize>(s.info.size));
  if (!f) throw std::runtime_error("cannot write dump " + path);
}

}  // namespace kvf::sim
