// kavrex-snap-write.cpp -- the snapshot's segment plan (the segment chain of
// the attached image) and its atomic write: temporary file, fsync, rename.
// The bytes go from the mapped segments straight to write(2).
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include <fcntl.h>
#include <unistd.h>

#include "layouts/field.h"
#include "shm/image.h"
#include "layouts/segment_layout.h"
#include "layouts/shmcb_layout.h"
#include "tools/kavrex-snap.h"

namespace kavrex_snap {
namespace {

constexpr std::uint64_t kChunk = 4 << 20;
// Below this the write is over before a progress line would be read.
constexpr std::uint64_t kProgressFrom = 16 << 20;

volatile std::sig_atomic_t g_stop = 0;

std::string hex(std::uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(v));
  return text;
}

void draw_progress(std::uint64_t done, std::uint64_t total) {
  unsigned percent = static_cast<unsigned>(done * 100 / total);
  std::fprintf(stderr, "\rkavrex-snap: %llu of %llu MiB (%u%%)", static_cast<unsigned long long>(done >> 20),
               static_cast<unsigned long long>(total >> 20), percent);
}

// Writes n bytes from p; 0 or the errno value.
int write_all(int fd, const unsigned char* p, std::uint64_t n) {
  while (n > 0) {
    if (g_stop) return EINTR;
    ssize_t done = ::write(fd, p, n);
    if (done < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (done == 0) return EIO;
    p += done;
    n -= static_cast<std::uint64_t>(done);
  }
  return 0;
}

}  // namespace

void request_stop() { g_stop = 1; }

bool plan_segments(std::vector<Span>& spans, std::string& error) {
  using namespace kvf;
  spans.clear();
  std::uint64_t root = root_pointer();
  if (!image_contains(root, root::kUsedSize)) {
    error = "root record at " + hex(root) + " is not attached";
    return false;
  }
  std::uint64_t cb = load<std::uint64_t>(address(root), root::kShmcb);
  if (!image_contains(cb, shmcb::kSize)) {
    error = "shared-memory control block at " + hex(cb) + " is not attached";
    return false;
  }
  int count = load<std::int16_t>(address(cb), shmcb::kSegmentCount);
  std::uint64_t at = load<std::uint64_t>(address(cb), shmcb::kFirstBase);
  for (int n = 1; n <= count; ++n) {
    if (at == 0 || !image_contains(at, segment::kSize)) {
      error = "segment " + std::to_string(n) + " of " + std::to_string(count) + " at " + hex(at) +
              " is not attached";
      return false;
    }
    std::uint64_t size = load<std::uint64_t>(address(at), segment::kSegmentSize);
    if (size < segment::kSize || !image_contains(at, size)) {
      error = "segment " + std::to_string(n) + " at " + hex(at) + " claims " + std::to_string(size) +
              " bytes, more than is attached there";
      return false;
    }
    spans.push_back({at, size});
    at = load<std::uint64_t>(address(at), segment::kNextAddress);
  }
  if (spans.empty()) {
    error = "the shared-memory control block counts " + std::to_string(count) + " segments";
    return false;
  }
  return true;
}

int write_snapshot(const std::string& path, const std::vector<Span>& spans, bool progress,
                   std::string& error) {
  namespace fs = std::filesystem;
  fs::path target(path);
  fs::path dir = target.parent_path();
  if (dir.empty()) dir = ".";
  std::string temp = (dir / ("." + target.filename().string() + ".XXXXXX")).string();
  int fd = ::mkstemp(temp.data());
  if (fd < 0) {
    error = "cannot create a temporary file in " + dir.string();
    return errno;
  }
  auto fail = [&](const char* step, int code) {
    ::close(fd);
    ::unlink(temp.c_str());
    error = std::string(step) + " " + path;
    return code;
  };
  std::uint64_t total = 0;
  for (const Span& s : spans) total += s.size;
  progress = progress && total >= kProgressFrom;
  std::uint64_t done = 0;
  for (const Span& s : spans) {
    for (std::uint64_t off = 0; off < s.size; off += kChunk) {
      std::uint64_t n = s.size - off < kChunk ? s.size - off : kChunk;
      if (int code = write_all(fd, kvf::address(s.base + off), n)) {
        if (progress) std::fputc('\n', stderr);
        return fail("cannot write", code);
      }
      done += n;
      if (progress) draw_progress(done, total);
    }
  }
  if (progress) std::fputc('\n', stderr);
  // A full disk or an I/O error may only show when the data reaches it.
  if (::fsync(fd) != 0) return fail("cannot sync", errno);
  if (::close(fd) != 0) {
    int code = errno;
    ::unlink(temp.c_str());
    error = "cannot close " + path;
    return code;
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    int code = errno;
    ::unlink(temp.c_str());
    error = "cannot rename the temporary file to " + path;
    return code;
  }
  // The rename itself is durable once the directory is synced.
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return 0;
}

}  // namespace kavrex_snap
