// shared_image.cpp -- creates and places the segments of a server image, then
// hands them to the image builder, which writes the structures in place.
// Segments are created directly with the system calls: this is the server's
// side, not the tool's segment layer.
#include "sim/shared_image.h"

#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include "layouts/field.h"
#include "layouts/infofile_layout.h"

namespace kvf::sim {
namespace {

constexpr std::uint64_t kPage = 4096;
std::uint64_t align_up(std::uint64_t v, std::uint64_t a) { return (v + a - 1) / a * a; }

[[noreturn]] void fail(const char* what, std::uint64_t address) {
  int e = errno;
  char text[96];
  std::snprintf(text, sizeof text, "%s at 0x%llx", what, static_cast<unsigned long long>(address));
  throw std::system_error(e, std::generic_category(), text);
}

void* at(std::uint64_t address) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(address)); }

}  // namespace

std::string info_record(std::uint16_t type, std::uint16_t subtype, std::uint32_t key, std::uint64_t base) {
  std::string r(infofile::kRecordSize, '\0');
  store<std::uint16_t>(r.data(), infofile::kType, type);
  store<std::uint16_t>(r.data(), infofile::kSubtype, subtype);
  store<std::uint32_t>(r.data(), infofile::kKey, key);
  store<std::uint64_t>(r.data(), infofile::kBase, base);
  return r;
}

std::string server_info_record(std::int32_t key, std::uint64_t base) {
  return info_record(infofile::kServerType, infofile::kServerSubtype, static_cast<std::uint32_t>(key), base);
}

std::string segment_info_record(std::uint16_t index, std::int32_t id, std::uint64_t base, std::uint64_t size) {
  std::string r = info_record(infofile::kSegmentType, index, static_cast<std::uint32_t>(id), base);
  store<std::uint64_t>(r.data(), infofile::kSegmentSize, size);
  return r;
}

SharedImage::SharedImage(const Layout& layout) {
  if (layout.segments < 1 || layout.pieces < 1 || layout.pieces > 128)
    throw std::invalid_argument("segments and pieces");

  // The first segment holds the whole image; its pieces are equal and whole
  // pages, and a continuation is one more piece of the same size.
  ImageOptions options;
  options.base = layout.base;
  options.ring_records = layout.ring_records;
  options.string_area = layout.extra_bytes;
  options.attach_value = layout.attach_value;
  options.pid = layout.pid ? layout.pid : static_cast<std::uint32_t>(getpid());
  options.control_block = layout.control_block;
  const std::uint64_t need = ImageBuilder::plan(options)[0].size;
  const std::uint64_t p = align_up((need + layout.pieces - 1) / layout.pieces, kPage);
  options.segments.push_back({.size = p * layout.pieces, .piece_size = p});
  if (layout.continuation) options.segments.push_back({.size = p, .piece_size = p, .continues = true});
  const std::uint64_t q = align_up((layout.further_size + layout.pieces - 1) / layout.pieces, kPage);
  for (int i = 1; i < layout.segments; ++i) options.segments.push_back({.size = q * layout.pieces, .piece_size = q});

  try {
    create(layout, options);
  } catch (...) {
    remove();
    throw;
  }
}

SharedImage::~SharedImage() { remove(); }

// Creates one segment and tells the helper about it before anything else
// can go wrong. Returns the id, or -1 with errno set.
int SharedImage::make_segment(key_t key, std::uint64_t size, mode_t mode) {
  int id = shmget(key, size, IPC_CREAT | IPC_EXCL | static_cast<int>(mode));
  if (id < 0) return -1;
  reaper_.watch_segment(id);
  ids_.push_back(id);
  pieces_.push_back({id, 0});
  return id;
}

bool SharedImage::create_first_span(const std::vector<SegmentInfo>& plan, std::int32_t key, mode_t mode,
                                    std::uint64_t piece_size) {
  std::uint64_t span = plan[0].size + (plan.size() > 1 && plan[1].continues ? plan[1].size : 0);
  std::int32_t k = key;
  for (std::uint64_t offset = 0; offset < span; offset += piece_size, ++k) {
    int id = make_segment(static_cast<key_t>(k), piece_size, mode);
    if (id < 0) {
      if (errno == EEXIST) return false;
      fail("shmget", plan[0].base + offset);
    }
    if (shmat(id, at(plan[0].base + offset), 0) == reinterpret_cast<void*>(-1))
      fail("shmat", plan[0].base + offset);
    pieces_.back().address = plan[0].base + offset;
  }
  return true;
}

void SharedImage::create(const Layout& layout, const ImageOptions& planned) {
  ImageOptions options = planned;
  const std::vector<SegmentInfo> plan = ImageBuilder::plan(options);
  mapped_ = true;
  if (layout.reaper && !reaper_.start()) fail("cannot start the clean-up helper", plan[0].base);

  // A run of free keys for the first span: the caller's, or one derived from
  // our pid, moving on while another process holds one of them.
  bool created = false;
  for (int attempt = 0; attempt < 64 && !created; ++attempt) {
    key_ = layout.key ? layout.key
                      : static_cast<std::int32_t>(0x4B560000u + ((((getpid() & 0x3FFF) * 4u + attempt) & 0xFFFFu) << 8));
    created = create_first_span(plan, key_, layout.mode, plan[0].piece_size);
    if (!created) {
      int e = errno;
      drop_segments();
      mapped_ = true;
      errno = e;
      if (layout.key) break;
    }
  }
  if (!created) fail("shmget: no free key", plan[0].base);
  options.segments[0].id = ids_[0];
  separate_.push_back({ids_[0], plan[0]});
  for (std::size_t k = 1; k * plan[0].piece_size < plan[0].size; ++k) options.segments[0].piece_ids.push_back(ids_[k]);

  // Further segments: private, attached by id.
  for (std::size_t s = 1; s < plan.size(); ++s) {
    if (plan[s].continues) continue;
    std::vector<int> own;
    for (std::uint64_t offset = 0; offset < plan[s].size; offset += plan[s].piece_size) {
      int id = make_segment(IPC_PRIVATE, plan[s].piece_size, layout.mode);
      if (id < 0) fail("shmget", plan[s].base + offset);
      if (shmat(id, at(plan[s].base + offset), 0) == reinterpret_cast<void*>(-1)) fail("shmat", plan[s].base + offset);
      pieces_.back().address = plan[s].base + offset;
      own.push_back(id);
    }
    options.segments[s].id = own[0];
    options.segments[s].piece_ids.assign(own.begin() + 1, own.end());
    separate_.push_back({own[0], plan[s]});
  }
  image_ = std::make_unique<ImageBuilder>(options, ImageBuilder::Memory::in_place);
}

std::string SharedImage::info_records() const {
  std::string out = server_info_record(key_, base());
  for (std::size_t i = 0; i < separate_.size(); ++i)
    out += segment_info_record(static_cast<std::uint16_t>(i), separate_[i].first, separate_[i].second.base,
                               separate_[i].second.size);
  return out;
}

bool SharedImage::write_info_file(const std::string& path) {
  std::string tmp = path + ".new";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  fchmod(fd, 0644);  // whatever the umask: every account may identify the server
  std::string data = info_records();
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int e = errno;
      close(fd);
      unlink(tmp.c_str());
      errno = e;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  if (close(fd) != 0 || rename(tmp.c_str(), path.c_str()) != 0) {
    int e = errno;
    unlink(tmp.c_str());
    errno = e;
    return false;
  }
  FileIdentity written;
  if (identify_file(path, written)) reaper_.also_remove(written);
  return true;
}

std::vector<std::uint64_t> SharedImage::addresses() const {
  std::vector<std::uint64_t> out;
  for (const Piece& p : pieces_)
    if (p.address) out.push_back(p.address);
  return out;
}

void SharedImage::unmap() {
  for (Piece& p : pieces_) {
    if (p.address) shmdt(at(p.address));
    p.address = 0;
  }
  mapped_ = false;
}

int SharedImage::remove() {
  int failed = drop_segments();
  reaper_.dismiss();
  return failed;
}

int SharedImage::drop_segments() {
  unmap();
  int failed = 0;
  for (const Piece& p : pieces_)
    if (shmctl(p.id, IPC_RMID, nullptr) != 0) ++failed;
  pieces_.clear();
  ids_.clear();
  separate_.clear();
  return failed;
}

}  // namespace kvf::sim
