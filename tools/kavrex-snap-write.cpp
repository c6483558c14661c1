// kavrex-snap-write.cpp -- the snapshot's segment plan (the segment chain of
// the attached image) and its atomic write: temporary file, fsync, rename.
// The bytes go from the mapped segments straight to write(2).
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "layouts/field.h"
#include "layouts/segment_layout.h"
#include "layouts/shmcb_layout.h"
#include "platform/files.h"
#include "shm/image.h"
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
  // The rename itself is durable once the directory is synced.
  kvf::sys::Replacement how{.temp = (dir / (std::string(".").append(target.filename().string()) + ".XXXXXX")).string(),
                            .sync_directory = true};
  std::uint64_t total = 0;
  for (const Span& s : spans) total += s.size;
  progress = progress && total >= kProgressFrom;
  int code = kvf::sys::replace_file(path.c_str(), how, [&](int fd) {
    std::uint64_t done = 0;
    for (const Span& s : spans) {
      for (std::uint64_t off = 0; off < s.size; off += kChunk) {
        std::uint64_t n = s.size - off < kChunk ? s.size - off : kChunk;
        if (int failed = kvf::sys::write_all(fd, kvf::address(s.base + off), n, &g_stop)) {
          if (progress) std::fputc('\n', stderr);
          return failed;
        }
        done += n;
        if (progress) draw_progress(done, total);
      }
    }
    if (progress) std::fputc('\n', stderr);
    return 0;
  });
  if (code == 0) return 0;
  switch (how.failed) {
    case kvf::sys::ReplaceStep::create: error = "cannot create a temporary file in " + dir.string(); break;
    case kvf::sys::ReplaceStep::write: error = "cannot write " + path; break;
    case kvf::sys::ReplaceStep::sync: error = "cannot sync " + path; break;
    case kvf::sys::ReplaceStep::close: error = "cannot close " + path; break;
    case kvf::sys::ReplaceStep::rename: error = "cannot rename the temporary file to " + path; break;
  }
  return code;
}

}  // namespace kavrex_snap
