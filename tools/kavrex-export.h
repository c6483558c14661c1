// kavrex-export.h -- the parts of kavrex-export: JSON lines built in fixed
// buffers (a fault may jump out of a record half built, so nothing on the
// heap), and the walks that hand each record to them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kavrex_export {

// One JSON object on one line, built into a caller's buffer. Strings are
// escaped and invalid UTF-8 becomes U+FFFD; when the buffer runs short a
// string is cut, so that the object can always be closed.
class JsonLine {
 public:
  JsonLine(char* buffer, std::size_t capacity) : buf_(buffer), cap_(capacity) {}

  void begin();
  void string(const char* key, const char* text, std::size_t n);
  void string(const char* key, const char* text);
  void number(const char* key, std::int64_t v);
  void unsigned_number(const char* key, std::uint64_t v);
  void null(const char* key);
  // Opens a string value and appends pieces of it; each piece is checked on
  // its own, so a character must not be split between pieces.
  void open_string(const char* key);
  void string_piece(const char* text, std::size_t n);
  void close_string();
  // "key":[[b,...],...]: the bytes of each hex dump, dump k ending at
  // ends[k] in `bytes`. Cut, like a string, when the buffer runs short.
  void byte_arrays(const char* key, const unsigned char* bytes, const std::uint32_t* ends, std::size_t dumps);
  // "}\n"; returns the whole line.
  void end();

  const char* data() const { return buf_; }
  std::size_t size() const { return len_; }

 private:
  void raw(const char* p, std::size_t n);
  void key(const char* k);
  std::size_t room() const;

  char* buf_;
  std::size_t cap_;
  std::size_t len_ = 0;
  bool first_ = true;
};

// Writes seconds since 1970 as "YYYY-MM-DDTHH:MM:SSZ" into `out` (21 bytes
// with the NUL); false for a time outside the years 0000 to 9999.
bool iso_utc(std::int64_t seconds, char* out);

// The export of the record in `slot` (a whole 160-byte slot in the image) at
// ring index `index`; the hex-dump lines that expanding its message writes
// out come first in the message text, and the dumps' bytes go in hex_dumps. False when the file name, the format
// or a string or block it points to lies outside the image.
bool record_line(JsonLine& line, const unsigned char* slot, std::int32_t index);

// The line for the record at `index` that was not handed on (record_line
// gave false, or a fault): kind and index, and when the views printed part
// of it before the fault (a hex dump), that text as message and the dumps'
// bytes as hex_dumps.
void skipped_line(JsonLine& line, std::int32_t index);

// The walks: the ring once, or followed until the server goes (the program
// then ends with status 0). Every line goes to standard output.
// walk_once returns 0, or 1 after a message when the ring lies outside the
// image.
int walk_once();
[[noreturn]] void walk_tail();

// Where the viewer's own output (the reader's overrun notes, the hex-dump
// lines of a message) is caught so that it becomes part of the JSON; set up
// before a walk. False when no capture file could be made.
bool start_capture();
// Takes what was caught since the last call: at most `cap` bytes into
// `out`, the rest dropped; returns the byte count.
std::size_t take_capture(char* out, std::size_t cap);

// Writes a finished line to standard output; a write that fails ends the
// program with status 1.
void emit(const JsonLine& line);
void flush_output();

}  // namespace kavrex_export
