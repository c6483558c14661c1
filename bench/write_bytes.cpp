// write_bytes.cpp -- the output limit for the views: writes a file's bytes
// (a view's output, rendered beforehand) to standard output in writes of
// 64 KiB, the size the tool's output buffer hands to the kernel.
//
//   write_bytes [--time] [--chunk BYTES] FILE
//
// The file is read whole before the clock starts; --time prints the time of
// the writes alone to standard error as "write_ns N".
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
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
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    std::fprintf(stderr, "write_bytes: cannot read %s\n", path);
    return 1;
  }
  std::vector<char> bytes(static_cast<std::size_t>(st.st_size));
  std::size_t have = 0;
  while (have < bytes.size()) {
    ssize_t n = ::read(fd, bytes.data() + have, bytes.size() - have);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    have += static_cast<std::size_t>(n);
  }
  ::close(fd);

  std::int64_t start = now_ns();
  for (std::size_t at = 0; at < have;) {
    std::size_t want = have - at < chunk ? have - at : chunk;
    ssize_t n = ::write(STDOUT_FILENO, bytes.data() + at, want);
    if (n < 0) {
      if (errno == EINTR) continue;
      std::perror("write_bytes: write");
      return 1;
    }
    at += static_cast<std::size_t>(n);
  }
  if (timed) std::fprintf(stderr, "write_ns %lld\n", static_cast<long long>(now_ns() - start));
  return 0;
}
