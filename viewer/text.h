// text.h -- bounded text assembly and the number formats of the views,
// written by hand so that every line is built without printf.
//
// The formats are those of the server's platform C library: `long` is 32
// bits, a pointer shows as 16 uppercase hex digits with no prefix, a null
// string shows as "(null)". A Text never writes past its buffer: what does
// not fit is dropped, and the text always stays NUL-terminated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "viewer/digits.h"

namespace kvf::text {

class Text {
 public:
  // `capacity` counts the terminating NUL, so at most capacity - 1 bytes of
  // text are kept.
  Text(char* buffer, std::size_t capacity) : buf_(buffer), cap_(capacity) { buf_[0] = '\0'; }

  const char* data() const { return buf_; }
  std::size_t size() const { return len_; }
  bool full() const { return len_ + 1 >= cap_; }
  void clear() { len_ = 0; buf_[0] = '\0'; }

  void put(char c) {
    if (len_ + 1 < cap_) {
      buf_[len_++] = c;
      buf_[len_] = '\0';
    }
  }
  void append(const char* p, std::size_t n) {
    std::size_t room = cap_ - 1 - len_;
    if (n > room) n = room;
    std::memcpy(buf_ + len_, p, n);
    len_ += n;
    buf_[len_] = '\0';
  }
  void append(const char* s) { append(s, std::strlen(s)); }
  void fill(char c, std::size_t n) {
    std::size_t room = cap_ - 1 - len_;
    if (n > room) n = room;
    std::memset(buf_ + len_, c, n);
    len_ += n;
    buf_[len_] = '\0';
  }

  // "%-Ns": the bytes, then blanks up to `width`.
  void left(const char* p, std::size_t n, std::size_t width) {
    append(p, n);
    if (n < width) fill(' ', width - n);
  }
  // "%Ns": blanks up to `width`, then the bytes.
  void right(const char* p, std::size_t n, std::size_t width) {
    if (n < width) fill(' ', width - n);
    append(p, n);
  }
  // "%-Nd" of a 32-bit int; "%-Nu"/"%-Nlu" of a u32; "%-Nx" of a u32.
  void left_int(std::int32_t v, std::size_t width) {
    char d[kDigitsMax];
    left(d, signed_decimal(d, v), width);
  }
  void left_unsigned(std::uint32_t v, std::size_t width) {
    char d[kDigitsMax];
    left(d, unsigned_decimal(d, v), width);
  }
  void left_hex(std::uint32_t v, std::size_t width) {
    char d[kDigitsMax];
    left(d, lower_hex(d, v), width);
  }
  // "%p": 16 digits, so any width up to 16 never pads.
  void pointer(std::uint64_t v) {
    char d[kDigitsMax];
    append(d, pointer_hex(d, v));
  }
  // "%0Nd": sign first, then zeros up to `width` in all.
  void zero_padded(std::int64_t v, std::size_t width);

 private:
  char* buf_;
  std::size_t cap_;
  std::size_t len_ = 0;
};

}  // namespace kvf::text
