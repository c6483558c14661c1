// output.cpp -- the buffered standard output of the views.
#include "viewer/output.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

namespace kvf::out {
namespace {

constexpr std::size_t kCapacity = 64 * 1024;

char g_buffer[kCapacity];
std::size_t g_used = 0;
int g_fd = 1;
bool g_stdio_flushed = false;

void write_all(const char* p, std::size_t n) {
  if (!g_stdio_flushed) {
    // Whatever the C library still buffers for standard output was written
    // before the view began, so it goes first.
    std::fflush(stdout);
    g_stdio_flushed = true;
  }
  while (n > 0) {
    ssize_t done = ::write(g_fd, p, n);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) std::_Exit(1);  // standard output is gone: nothing more can be shown
    p += done;
    n -= static_cast<std::size_t>(done);
  }
}

}  // namespace

void flush() {
  if (g_used == 0) return;
  std::size_t n = g_used;
  g_used = 0;
  write_all(g_buffer, n);
}

void write(const char* p, std::size_t n) {
  if (n > kCapacity - g_used) {
    flush();
    if (n >= kCapacity) {
      write_all(p, n);
      return;
    }
  }
  std::memcpy(g_buffer + g_used, p, n);
  g_used += n;
}

void write(const char* s) { write(s, std::strlen(s)); }

void put(char c) {
  if (g_used == kCapacity) flush();
  g_buffer[g_used++] = c;
}

bool pending() { return g_used != 0; }

void set_fd(int fd) {
  flush();
  g_fd = fd;
}

}  // namespace kvf::out
