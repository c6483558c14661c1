// dump_file.cpp -- reads a dump (segments back to back, the count in the
// shmcb of the first) into one buffer and keeps where each segment's bytes
// start in it, as shm/dump_layout.h finds them. A file cut short keeps the
// bytes it has.
#include "bench/dump_file.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "shm/dump_layout.h"

namespace bench {

DumpFile::DumpFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    throw std::runtime_error("cannot stat " + path);
  }
  bytes_.resize(static_cast<std::size_t>(st.st_size));
  std::size_t got = 0;
  while (got < bytes_.size()) {
    ssize_t n = ::read(fd, bytes_.data() + got, bytes_.size() - got);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  bytes_.resize(got);

  // The segment table as the dump's own headers give it; a segment the
  // file cuts short keeps the bytes it has.
  kvf::DumpMemory memory(bytes_.data(), bytes_.size());
  kvf::DumpLayout layout = kvf::read_dump_layout(memory);
  if (layout.shape == kvf::DumpShape::not_a_dump || layout.shape == kvf::DumpShape::unreadable)
    throw std::runtime_error("not a dump: " + path);
  root_ = layout.root;
  for (const kvf::DumpSegment& s : layout.segments)
    segments_.push_back({s.base, std::min<std::uint64_t>(s.size, bytes_.size() - s.offset), s.offset});
}

const unsigned char* DumpFile::at(std::uint64_t address, std::size_t length) const {
  for (const Segment& s : segments_) {
    if (address >= s.base && address - s.base < s.size && length <= s.size - (address - s.base))
      return bytes_.data() + s.offset + (address - s.base);
  }
  throw BadAddress("address outside the dump");
}

const char* DumpFile::string(std::uint64_t address) const {
  const unsigned char* p = at(address, 1);
  for (const Segment& s : segments_) {
    if (address >= s.base && address - s.base < s.size) {
      std::size_t left = static_cast<std::size_t>(s.size - (address - s.base));
      if (!std::memchr(p, 0, left)) throw BadAddress("string runs off its segment");
      break;
    }
  }
  return reinterpret_cast<const char*>(p);
}

}  // namespace bench
