// dump_layout.cpp -- reads a dump file's segment headers, its shmcb and the
// chain to the trace ring at file offsets, never mapping the file.
//
// A dump has no header, mark or trailer of its own: it is the server's
// segments back to back, the first holding the shmcb that counts them. So
// whether a file is a dump at all is decided by the structures it must
// begin with. A file is taken for a dump when
//
//   1. it holds at least the first segment's header (736 bytes);
//   2. that header carries the segment mark (0xE0B7), a base address other
//      than 0, and an overhead that puts a whole shmcb after the header and
//      inside the segment (736 + 439904 <= overhead <= segment size);
//   3. the shmcb carries its own mark (0xE0B6), counts at least one
//      segment, and names the header's base as the first segment's;
//   4. every later segment header that the file holds carries the segment
//      mark, a base other than 0 and a size that holds at least the header,
//      and the sizes add up without overflow.
//
// A file that breaks one of these is not a dump. One that keeps them as far
// as it goes but ends before the last segment does is truncated: a file cut
// inside the shmcb (the count unknown) by the first segment's size, one cut
// before a later header by the segments before it plus that header and
// every later one (their sizes unknown), otherwise by the sum of the sizes.
// Bytes after the last segment are not the dump's; the reader ignores them
// and so does this.
#include "shm/dump_layout.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>

#include "layouts/control_block_layout.h"
#include "layouts/field.h"
#include "layouts/ring_layout.h"
#include "layouts/segment_layout.h"
#include "layouts/shmcb_layout.h"
#include "platform/files.h"
#include "platform/sys.h"

namespace kvf {

bool DumpMemory::read(std::uint64_t offset, void* out, std::size_t n) const {
  if (offset > size_ || n > size_ - offset) {
    errno = EINVAL;
    return false;
  }
  std::memcpy(out, data_ + offset, n);
  return true;
}

DumpFileBytes::~DumpFileBytes() {
  if (fd_ >= 0) sys::file_close(fd_);
}

bool DumpFileBytes::open(const char* path) {
  fd_ = sys::file_open(path, O_RDONLY);
  if (fd_ < 0) return false;
  // Only a regular file has a size to hold the headers against.
  struct stat st;
  if (sys::status(fd_, st) != 0) return false;
  if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : ESPIPE;
    return false;
  }
  size_ = static_cast<std::uint64_t>(st.st_size);
  return true;
}

bool DumpFileBytes::read(std::uint64_t offset, void* out, std::size_t n) const {
  if (offset > size_ || n > size_ - offset) {
    errno = EINVAL;
    return false;
  }
  if (sys::file_seek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) return false;
  auto* p = static_cast<unsigned char*>(out);
  while (n > 0) {
    ssize_t got = sys::file_read(fd_, p, n);
    if (got < 0) return false;
    if (got == 0) {  // the file shrank under us
      errno = EIO;
      return false;
    }
    p += got;
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

namespace {

DumpLayout& not_a_dump(DumpLayout& layout, const char* why) {
  layout.shape = DumpShape::not_a_dump;
  layout.why = why;
  return layout;
}

DumpLayout& unreadable(DumpLayout& layout) {
  layout.shape = DumpShape::unreadable;
  layout.error = errno;
  return layout;
}

}  // namespace

DumpLayout read_dump_layout(const DumpBytes& bytes) {
  DumpLayout layout;
  layout.file_size = bytes.size();
  // 1. The first segment's header.
  unsigned char header[segment::kSize];
  if (layout.file_size < segment::kSize) return not_a_dump(layout, "shorter than a segment header");
  if (!bytes.read(0, header, sizeof header)) return unreadable(layout);
  // 2. Its fields.
  std::uint64_t base = load<std::uint64_t>(header, segment::kBase);
  std::uint64_t overhead = load<std::uint64_t>(header, segment::kOverhead);
  std::uint64_t first_size = load<std::uint64_t>(header, segment::kSegmentSize);
  if (load<std::uint16_t>(header, segment::kMark) != segment::kMarkValue)
    return not_a_dump(layout, "no segment mark");
  if (base == 0) return not_a_dump(layout, "first segment at address 0");
  if (overhead < segment::kSize + shmcb::kSize || overhead > first_size)
    return not_a_dump(layout, "no room for the shmcb in the first segment");
  // 3. The shmcb, when the file reaches its end.
  if (layout.file_size < overhead) {
    layout.shape = DumpShape::truncated;
    layout.expected = first_size;
    return layout;
  }
  std::uint64_t cb = overhead - shmcb::kSize;
  unsigned char mark[2], count[2], first_base[8], root[8];
  if (!bytes.read(cb + shmcb::kMark, mark, sizeof mark) ||
      !bytes.read(cb + shmcb::kSegmentCount, count, sizeof count) ||
      !bytes.read(cb + shmcb::kFirstBase, first_base, sizeof first_base) ||
      !bytes.read(cb + shmcb::kRootHead, root, sizeof root))
    return unreadable(layout);
  if (load<std::uint16_t>(mark, 0) != shmcb::kMarkValue) return not_a_dump(layout, "no shmcb mark");
  layout.count = load<std::int16_t>(count, 0);
  if (layout.count < 1) return not_a_dump(layout, "no segments counted");
  if (load<std::uint64_t>(first_base, 0) != base) return not_a_dump(layout, "shmcb names another first segment");
  layout.root = load<std::uint64_t>(root, 0);
  // 4. The segments, one after the other.
  std::uint64_t offset = 0;
  for (int i = 0; i < layout.count; ++i) {
    if (layout.file_size - offset < segment::kSize) {
      layout.shape = DumpShape::truncated;
      layout.expected = offset + static_cast<std::uint64_t>(layout.count - i) * segment::kSize;
      return layout;
    }
    if (i > 0 && !bytes.read(offset, header, sizeof header)) return unreadable(layout);
    std::uint64_t size = load<std::uint64_t>(header, segment::kSegmentSize);
    if (load<std::uint16_t>(header, segment::kMark) != segment::kMarkValue)
      return not_a_dump(layout, "no segment mark");
    if (load<std::uint64_t>(header, segment::kBase) == 0) return not_a_dump(layout, "segment at address 0");
    if (size < segment::kSize) return not_a_dump(layout, "segment smaller than its header");
    layout.segments.push_back({load<std::uint64_t>(header, segment::kBase), size, offset});
    std::uint64_t end;
    if (__builtin_add_overflow(offset, size, &end)) return not_a_dump(layout, "segment sizes overflow");
    offset = end;
    if (offset > layout.file_size && i + 1 < layout.count) {
      // Cut inside this segment: the later headers are not there.
      std::uint64_t rest = static_cast<std::uint64_t>(layout.count - i - 1) * segment::kSize;
      layout.shape = DumpShape::truncated;
      layout.expected = __builtin_add_overflow(offset, rest, &end) ? UINT64_MAX : end;
      return layout;
    }
  }
  layout.expected = offset;
  layout.shape = offset > layout.file_size ? DumpShape::truncated : DumpShape::whole;
  return layout;
}

std::optional<std::uint64_t> dump_offset(const DumpLayout& layout, std::uint64_t address, std::uint64_t length) {
  const auto& segs = layout.segments;
  for (std::size_t i = 0; i < segs.size(); ++i) {
    if (address < segs[i].base || address - segs[i].base >= segs[i].size) continue;
    std::uint64_t offset = segs[i].offset + (address - segs[i].base);
    // Bytes available from `address` on: the rest of this segment, and of
    // each following one that starts where the one before ends.
    std::uint64_t room = segs[i].size - (address - segs[i].base);
    for (std::size_t j = i + 1; room < length && j < segs.size(); ++j) {
      if (segs[j].base != segs[j - 1].base + segs[j - 1].size) break;
      room += segs[j].size;
    }
    if (room < length || offset > layout.file_size || length > layout.file_size - offset) return std::nullopt;
    return offset;
  }
  return std::nullopt;
}

DumpRing read_dump_ring(const DumpLayout& layout, const DumpBytes& bytes) {
  DumpRing ring;
  // One field of the structure at file offset `start` (little-endian, as
  // the host), read once the whole structure is known to be in the dump.
  auto field = [&](std::uint64_t start, std::size_t at, auto& out) {
    if (!ring.unreadable && !bytes.read(start + at, &out, sizeof out)) {
      ring.unreadable = true;
      ring.error = errno;
    }
  };
  auto outside = [&](DumpRing::Link link, std::uint64_t address) {
    ring.outside = link;
    ring.at = address;
    return ring;
  };
  std::optional<std::uint64_t> at = dump_offset(layout, layout.root, root::kUsedSize);
  if (!at) return outside(DumpRing::Link::root_record, layout.root);
  std::uint64_t cb = 0;
  field(*at, root::kShmcb, cb);
  if (ring.unreadable) return ring;
  if (!(at = dump_offset(layout, cb, shmcb::kSize))) return outside(DumpRing::Link::shmcb, cb);
  std::uint64_t block = 0;
  field(*at, shmcb::kTraceBlock, block);
  if (ring.unreadable || block == 0) return ring;
  ring.has_block = true;
  if (!(at = dump_offset(layout, block, control::kUsedSize))) return outside(DumpRing::Link::trace_block, block);
  std::uint64_t header = 0;
  field(*at, control::kRing, header);
  field(*at, control::kRingSize, ring.size);
  if (ring.unreadable || header == 0) return ring;
  ring.has_ring = true;
  if (!(at = dump_offset(layout, header, ring::kHeaderSize))) return outside(DumpRing::Link::ring, header);
  std::uint64_t records = 0;
  field(*at, ring::kHead, ring.head);
  field(*at, ring::kTail, ring.tail);
  field(*at, ring::kRecords, records);
  if (ring.unreadable) return ring;
  // Readable as the walk takes a ring: slots there, all of them in the dump.
  if (ring.size < 1 || records == 0 ||
      !dump_offset(layout, records, static_cast<std::uint64_t>(ring.size) * record::kSize))
    return outside(DumpRing::Link::ring, header);
  return ring;
}

}  // namespace kvf
