// kavrex-export.h -- the parts of kavrex-export: JSON lines built in fixed
// buffers (a fault may jump out of a record half built, so nothing on the
// heap), and the walk sink that turns each event of a walk into a line.
#pragma once

#include <cstddef>
#include <cstdint>

#include "viewer/expand.h"

namespace kavrex_export {

struct Filter;
class Stats;
class SqliteOutput;

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

// Length of the well-formed UTF-8 sequence at p (n bytes left), 0 when the
// byte at p does not start one: overlong forms, surrogates and code points
// above U+10FFFF are not well formed.
std::size_t utf8_sequence(const unsigned char* p, std::size_t n);

// Writes seconds since 1970 as "YYYY-MM-DDTHH:MM:SSZ" into `out` (21 bytes
// with the NUL); false for a time outside the years 0000 to 9999.
bool iso_utc(std::int64_t seconds, char* out);

// What the export keeps of the record in hand while its message is
// expanded, in fixed buffers: the line the expansion writes its text into,
// and what each hex dump adds (the text before the %r with the dump's
// lines, as the message shows them, and the dump's bytes).
struct Message {
  char line[kvf::kLineRoom];
  // The text before each %r and its dump lines, cut at 256 KiB.
  static constexpr std::size_t kDumpTextMax = 256 * 1024;
  char dump_text[kDumpTextMax];
  std::size_t dump_size = 0;
  // The bytes of each dump. Each %r takes a pointer and a count from the
  // 80-byte argument area, so a message has at most 6 dumps; their bytes
  // are kept up to 64 KiB in all, about what the text above shows.
  static constexpr std::size_t kDumpBytesMax = 64 * 1024;
  static constexpr std::size_t kDumpsMax = 80 / 12;
  unsigned char dump_bytes[kDumpBytesMax];
  std::uint32_t dump_ends[kDumpsMax];
  std::size_t dumps = 0;
  // From the start of a record's expansion until its line is built: when
  // the record turns out unreadable, what its dumps showed before is its
  // own, and its skipped line carries it.
  bool open = false;
};

// One trace record as the export shows it, every field read once. The
// strings point into the image (file) or into the Message the record was
// read through (the message text), and stay valid until that Message reads
// the next record.
struct Record {
  std::int32_t index;
  std::int64_t time;
  std::uint32_t stamp;
  std::uint32_t component, feature;
  const char* component_name;  // null: not in the catalogue
  const char* feature_name;
  std::int32_t pid, csvr, thrd;
  std::int64_t session;
  std::uint64_t trans, rstcb;
  const char* file;
  std::size_t file_size;
  std::int32_t line;
  // The message text in two pieces: the text before each hex dump with
  // the dump's lines, then the text after the last dump.
  const char* dump_text;
  std::size_t dump_text_size;
  const char* text;
  std::size_t text_size;
  // The bytes of each hex dump, dump k ending at dump_ends[k].
  const unsigned char* dump_bytes;
  const std::uint32_t* dump_ends;
  std::size_t dumps;
};

// Reads the record in `slot` (a whole 160-byte slot in the image) at ring
// index `index` into `out`, its message expanded through `message`. False
// when the file name, the format or a string or block it points to lies
// outside the image.
bool read_record(Message& message, const unsigned char* slot, std::int32_t index, Record& out);

// The JSON object of a record read by read_record.
void record_json(JsonLine& line, const Record& record);

// The line for the record at `index` that was not handed on (read_record
// gave false, or a fault): kind and index, and when its hex dumps showed
// part of it before the fault (as `message` kept them), that text as
// message and the dumps' bytes as hex_dumps.
void skipped_line(JsonLine& line, Message& message, std::int32_t index);

// Everything the export's walk sink needs: the buffers of the lines it
// builds, a record's (its message may carry 256 KiB of hex dump, six bytes
// each at worst when escaped) and the short event lines, and the message
// parts. A fault may jump out of a line half built, so none of it is on the
// heap.
struct Export {
  static constexpr std::size_t kRecordLine = 2 * 1024 * 1024;
  char record_buffer[kRecordLine];
  char event_buffer[256];
  Message message;

  // Which records go on (null: every one), and where: with `stats` set
  // they are counted into it instead of written, and so are the overruns
  // and skipped records; with `sqlite` set they go into the database as
  // rows instead of lines to standard output; once filter->limit records
  // have gone on the program ends (status 0). The filter, the counts and
  // the database are the caller's.
  const Filter* filter = nullptr;
  Stats* stats = nullptr;
  SqliteOutput* sqlite = nullptr;
  std::int64_t passed = 0;
  // Following with --stats: the wall-clock second being counted; its counts
  // go out once it has passed (looked at with each poll and each record).
  // 0 in a one-pass walk, whose counts go out once at the end.
  std::int64_t second = 0;
};

// The walks with `state` behind their sink: the ring once, or followed
// until the server goes (the program then ends with status 0); the
// following walk starts at the oldest record, or with `new_only` at the
// ring's head. Every line goes to standard output, or with `state.sqlite`
// every row to the database, and with --stats the counts: once at the end
// of walk_once, every second while following. walk_once returns 0, or 1
// after a message when the ring lies outside the image.
int walk_once(Export& state);
[[noreturn]] void walk_tail(Export& state, bool new_only);

// Writes a finished line to standard output; a write that fails ends the
// program with status 1.
void emit(const JsonLine& line);
void flush_output();

}  // namespace kavrex_export
