// output.h -- the views' standard output: one 64 KiB buffer of our own,
// emptied with write(2) when it fills, when a tail walk waits and when a
// view ends. A failed write ends the program with status 1.
#pragma once

#include <cstddef>

namespace kvf::out {

void write(const char* p, std::size_t n);
void write(const char* s);
void put(char c);
// Writes out what is buffered. Before the first byte of a view, anything the
// C library holds for standard output is flushed too, so that order is kept.
void flush();
bool pending();

// The descriptor written to: 1 unless a test redirects it.
void set_fd(int fd);

}  // namespace kvf::out
