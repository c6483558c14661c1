// expand.h -- a record's message text from its format and its packed
// argument area, written in place into the record's output line.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvf {

// Most bytes of message text in a line, NUL included as in the server's
// own buffer: text beyond 4095 bytes (a long string argument, a long text
// before a %r) is dropped; the walk over the format goes on, so later
// arguments are still checked and a later %r still writes its dump.
inline constexpr std::size_t kMessageSize = 4096;

// Most bytes of the columns before the message.
inline constexpr std::size_t kColumnsMax = 1024;

// A record line being written in place at the end of the output buffer
// (out::begin_line): its columns from `start`, then its message text from
// `message` up to `at`. Nothing of it is output until the caller ends it.
struct Line {
  char* start;
  char* message;
  char* at;
};

// What a line reserves: columns, message text, newline, and 32 bytes that a
// padded column or a number may write past what it keeps.
inline constexpr std::size_t kLineRoom = kColumnsMax + kMessageSize + 32;

// A new line with no columns yet.
Line begin_record_line();

// Writes the message text of the format at server address `format` at
// `line.at`, taking arguments from `args` (the record's 80-byte area). A hex
// dump (%r) outputs the text so far and its dump lines, then starts a new
// line that carries the same columns and an empty text. Returns false when
// the format or a string argument lies outside the image or runs off it
// before its NUL, or a dump block leaves the image; the record must then be
// reported as unreadable. What a %r wrote before stays written: the text
// before it, and of a block that leaves the image part-way the lines of the
// bytes that could be read.
bool kvf_expand_message(Line& line, std::uint64_t format, const unsigned char* args);

// Called for each hex dump (%r) an expansion writes, after its lines, with
// the bytes they showed: the whole block, or the part of it the image holds
// when it leaves the image part-way (not called when that is nothing). None
// is set for the views. kavrex-export keeps the bytes of each dump.
void set_hex_dump_observer(void (*observer)(const unsigned char* bytes, std::int32_t count));

}  // namespace kvf
