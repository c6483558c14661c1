// output.h -- the views' standard output: a buffer of our own, written out
// with write(2) in 64 KiB pieces as it fills, and whole when a tail walk
// waits and when a view ends. A failed write ends the program with status 1.
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

}  // namespace kvf::out
