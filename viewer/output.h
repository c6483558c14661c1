// output.h -- the views' standard output: a buffer of our own, written out
// with write(2) in 64 KiB pieces as it fills, and whole when a tail walk
// waits and when a view ends. A failed write ends the program with status 1.
// Only one thread writes standard output; other threads may gather their
// output in memory (Capture).
#pragma once

#include <cstddef>

namespace kvf::out {

// Most bytes a line may reserve at once.
inline constexpr std::size_t kLineMax = 8 * 1024;

void write(const char* p, std::size_t n);
void write(const char* s);
void put(char c);
// Writes out what is buffered. Before the first byte of a view, anything the
// C library holds for standard output is flushed too, so that order is kept.
void flush();
bool pending();

// A line written in place: begin_line gives room for kLineMax bytes at the
// end of the buffer; the bytes become output only when end_line is called
// with the end of what was written. A line that is not ended is dropped by
// the next begin_line or write.
char* begin_line();
void end_line(const char* end);

// The descriptor written to: 1 unless a test redirects it.
void set_fd(int fd);

// Output gathered in memory instead: a thread that renders part of a walk
// sends its lines here, and the walk writes the parts out in their order.
// `buffer` holds `room` bytes and kLineMax more past them, for a line
// reserved in place. Once `used` reaches `room`, `full` is called on the
// gathering thread; it must take the bytes away and set `used` to 0, so
// that the memory a part takes stays bounded however much it prints.
struct Capture {
  char* buffer;
  std::size_t room;
  std::size_t used;
  void (*full)(Capture& capture);
  void* context;  // the owner's, for `full`
};

// From now on the calling thread's output goes to `capture`; with nullptr
// it goes to standard output again. Flushing a capture does nothing: its
// bytes go out when its owner writes them.
void capture(Capture* capture);

}  // namespace kvf::out
