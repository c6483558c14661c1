// output.cpp -- the buffered standard output of the views. Between calls the
// buffer holds less than one 64 KiB piece; a line reserved in place may run
// up to kLineMax bytes past it before the piece goes out. A thread with a
// capture fills that instead, under the same rules with its own room.
#include "viewer/output.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/files.h"

namespace kvf::out {
namespace {

constexpr std::size_t kPiece = 64 * 1024;
// The pipe a view writes into, when it writes into one, is made this large
// first (where the system allows): a threaded walk writes a part of up to
// a few hundred KiB at a time, which a pipe of the usual 64 KiB takes in
// as many turns of its reader, each a wake-up of both sides.
constexpr int kPipeRoom = 1024 * 1024;

char g_buffer[kPiece + kLineMax];
std::size_t g_used = 0;
int g_fd = 1;
bool g_stdio_flushed = false;
int g_pipe_checked = -1;  // the descriptor whose pipe was grown (or is none)

// The calling thread's capture, or nullptr for standard output.
thread_local Capture* t_capture = nullptr;

void captured(Capture& c) {
  if (c.used >= c.room) c.full(c);
}

void write_all(const char* p, std::size_t n) {
  if (!g_stdio_flushed) {
    // Whatever the C library still buffers for standard output was written
    // before the view began, so it goes first.
    std::fflush(stdout);
    g_stdio_flushed = true;
  }
  if (g_pipe_checked != g_fd) {
    sys::grow_pipe(g_fd, kPipeRoom);
    g_pipe_checked = g_fd;
  }
  // Standard output is gone: nothing more can be shown.
  if (sys::write_all(g_fd, p, n) != 0) std::_Exit(1);
}

// Once a whole piece is buffered it goes out; what follows it moves to the
// front.
void write_piece() {
  write_all(g_buffer, kPiece);
  g_used -= kPiece;
  std::memmove(g_buffer, g_buffer + kPiece, g_used);
}

}  // namespace

void flush() {
  if (t_capture || g_used == 0) return;
  std::size_t n = g_used;
  g_used = 0;
  write_all(g_buffer, n);
}

void write(const char* p, std::size_t n) {
  if (Capture* c = t_capture) {
    while (n > 0) {
      std::size_t take = c->room - c->used < n ? c->room - c->used : n;
      std::memcpy(c->buffer + c->used, p, take);
      c->used += take;
      p += take;
      n -= take;
      captured(*c);
    }
    return;
  }
  // A piece or more (a part of a threaded walk) goes out from where it is,
  // after what is buffered, rather than through the buffer.
  if (n >= kPiece) {
    flush();
    write_all(p, n);
    return;
  }
  while (n > 0) {
    std::size_t take = kPiece - g_used < n ? kPiece - g_used : n;
    std::memcpy(g_buffer + g_used, p, take);
    g_used += take;
    p += take;
    n -= take;
    if (g_used == kPiece) write_piece();
  }
}

void write(const char* s) { out::write(s, std::strlen(s)); }

void put(char c) {
  if (Capture* to = t_capture) {
    to->buffer[to->used++] = c;
    captured(*to);
    return;
  }
  g_buffer[g_used++] = c;
  if (g_used == kPiece) write_piece();
}

char* begin_line() {
  if (Capture* c = t_capture) return c->buffer + c->used;
  return g_buffer + g_used;
}

void end_line(const char* end) {
  if (Capture* c = t_capture) {
    c->used = static_cast<std::size_t>(end - c->buffer);
    captured(*c);
    return;
  }
  g_used = static_cast<std::size_t>(end - g_buffer);
  if (g_used >= kPiece) write_piece();
}

bool pending() {
  if (Capture* c = t_capture) return c->used != 0;
  return g_used != 0;
}

void capture(Capture* to) { t_capture = to; }

void set_fd(int fd) {
  flush();
  g_fd = fd;
}

}  // namespace kvf::out
