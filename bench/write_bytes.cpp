// write_bytes.cpp -- the output limit for the views: moves a file's bytes (a
// view's output, rendered beforehand) to standard output through one 64 KiB
// buffer, in writes of 64 KiB, the size the tool's output buffer hands to the
// kernel. Reading each chunk from the page cache into the buffer stands for
// the least work of producing the bytes in memory; a write of them to
// /dev/null alone costs next to nothing.
//
//   write_bytes [--time] [--chunk BYTES] FILE
//
// --time prints the time from the first read to the last write to standard
// error as "write_ns N".
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

std::int64_t now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int usage() {
  std::fputs("usage: write_bytes [--time] [--chunk BYTES] FILE\n", stderr);
  return 2;
}

// Reads up to `n` bytes, fewer only at the end of the file; -1 on an error.
ssize_t read_full(int fd, char* p, std::size_t n) {
  std::size_t have = 0;
  while (have < n) {
    ssize_t got = ::read(fd, p + have, n - have);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    have += static_cast<std::size_t>(got);
  }
  return static_cast<ssize_t>(have);
}

}  // namespace

int main(int argc, char** argv) {
  bool timed = false;
  std::size_t chunk = 64 * 1024;
  const char* path = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--time") == 0) timed = true;
    else if (std::strcmp(argv[i], "--chunk") == 0 && i + 1 < argc) chunk = std::strtoul(argv[++i], nullptr, 10);
    else if (argv[i][0] != '-' && !path) path = argv[i];
    else return usage();
  }
  if (!path || chunk == 0) return usage();

  int fd = ::open(path, O_RDONLY);
  if (fd < 0) {
    std::fprintf(stderr, "write_bytes: cannot open %s: %s\n", path, std::strerror(errno));
    return 1;
  }
  std::vector<char> buffer(chunk);
  std::int64_t start = now_ns();
  for (;;) {
    ssize_t n = read_full(fd, buffer.data(), chunk);
    if (n < 0) {
      std::perror("write_bytes: read");
      return 1;
    }
    if (n == 0) break;
    for (ssize_t at = 0; at < n;) {
      ssize_t w = ::write(STDOUT_FILENO, buffer.data() + at, static_cast<std::size_t>(n - at));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) {
        std::perror("write_bytes: write");
        return 1;
      }
      at += w;
    }
  }
  if (timed) std::fprintf(stderr, "write_ns %lld\n", static_cast<long long>(now_ns() - start));
  ::close(fd);
  return 0;
}
