// dump_file.cpp -- reads a dump (segments back to back, the count in the
// shmcb of the first) into one buffer and keeps where each segment's bytes
// start in it. A file cut short keeps the bytes it has.
#include "bench/dump_file.h"

#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "layouts/field.h"
#include "layouts/segment_layout.h"
#include "layouts/shmcb_layout.h"

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

  using namespace kvf;
  if (bytes_.size() < segment::kSize) throw std::runtime_error("no segment header in " + path);
  std::uint64_t overhead = load<std::uint64_t>(bytes_.data(), segment::kOverhead);
  if (overhead < shmcb::kSize || overhead > bytes_.size()) throw std::runtime_error("no shmcb in " + path);
  const unsigned char* cb = bytes_.data() + (overhead - shmcb::kSize);
  root_ = load<std::uint64_t>(cb, shmcb::kRootHead);
  int count = load<std::int16_t>(cb, shmcb::kSegmentCount);
  std::uint64_t offset = 0;
  for (int i = 0; i < count && offset + segment::kSize <= bytes_.size(); ++i) {
    const unsigned char* h = bytes_.data() + offset;
    std::uint64_t size = load<std::uint64_t>(h, segment::kSegmentSize);
    if (size == 0) break;
    std::uint64_t have = std::min<std::uint64_t>(size, bytes_.size() - offset);
    segments_.push_back({load<std::uint64_t>(h, segment::kBase), have, offset});
    offset += size;
  }
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
