// expand.h -- a record's message text from its format and its packed
// argument area, written in place into a line the caller gives. The
// expansion writes nothing out itself: each hex dump (%r) is handed, with
// the text before it, to the caller's dump sink.
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

// A record line being written in place: its columns from `start`, then its
// message text from `message` up to `at`. The views write it at the end of
// their output buffer (begin_record_line, render.h); nothing of it is
// output until they end it.
struct Line {
  char* start;
  char* message;
  char* at;
};

// What a line reserves: columns, message text, newline, and 32 bytes that a
// padded column or a number may write past what it keeps.
inline constexpr std::size_t kLineRoom = kColumnsMax + kMessageSize + 32;

// A hex dump (%r) as the expansion meets it: the block's server address,
// its bytes in the image, the count the record gives (0 or less: no bytes),
// and how many of those bytes the image holds from the start. When `shown`
// is less than `count` the block leaves the image part-way (or lies outside
// it) and the record is unreadable after the dump; no byte past `shown` may
// be read.
struct HexDump {
  std::uint64_t address;
  const unsigned char* bytes;
  std::int32_t count;
  std::int32_t shown;
};

// Where an expansion hands its hex dumps. hex_dump gets `line` with the
// message text before the %r (from line.message to line.at) and the dump;
// it shows both as it likes and leaves in `line` where the text after the
// %r is to be written: a line whose message text is empty (line.at ==
// line.message), with a record line's room (kLineRoom from line.start).
struct DumpSink {
  void* context;
  void (*hex_dump)(void* context, Line& line, const HexDump& dump);
};

// Writes the message text of the format at server address `format` at
// `line.at`, taking arguments from `args` (the record's 80-byte area), and
// hands each hex dump to `dumps`. Returns false when the format or a string
// argument lies outside the image or runs off it before its NUL, or a dump
// block leaves the image; the record must then be reported as unreadable.
// The dumps handed on before that (the last one with what the image holds
// of its block) are the sink's to keep.
bool kvf_expand_message(Line& line, std::uint64_t format, const unsigned char* args, const DumpSink& dumps);

// kvf_expand_message for an image that nothing writes while it is shown (a
// loaded dump): the walk over each format is made once per thread and kept,
// by the format's address, so that a record's expansion only places its
// arguments between the format's pieces of text. The same text and result
// as kvf_expand_message, which a format that cannot be kept (one that runs
// off the image, or too long to keep) goes through each time.
bool kvf_expand_kept_message(Line& line, std::uint64_t format, const unsigned char* args, const DumpSink& dumps);

// What is kept for one walk over an unchanging image (here and by the
// views' columns) holds for that walk only: each walk of a dump begins with
// new_kept_walk, so that one over an image that changed since (the same
// addresses reused by another image, or written in place) keeps afresh.
// The count names the walk; it is read by every thread that renders.
void new_kept_walk();
unsigned kept_walk();

// The text of a hex dump is lines of 16 bytes, each "\n", the low 32 bits
// of the address of its first byte in lower-case hex right-aligned in 8
// places, ":", and " %2x" for each byte. The lines start at byte 0, 16, 32
// ... below the count, up to the first byte the image does not hold: when
// that byte starts a line, the line shows its address alone and ends the
// dump.
inline bool dump_has_line(const HexDump& dump, std::int32_t from) {
  return from < dump.count && from <= dump.shown;
}

// Most bytes of one dump line.
inline constexpr std::size_t kDumpLineMax = 1 + 8 + 1 + 16 * 3;

// Writes the dump line that starts at byte `from` (a multiple of 16 for
// which dump_has_line holds) at `out`; returns its end.
char* dump_line(char* out, const HexDump& dump, std::int32_t from);

}  // namespace kvf
