// render.h -- one trace record as one output line, in the four layouts, and
// the column headers.
#pragma once

#include <cstdint>
#include <string_view>

#include "viewer/expand.h"

namespace kvf {

// The column header line: wide for `full`, narrow otherwise.
void kvf_print_header(bool full);

// Prints the record at `record` (a whole 160-byte slot in the image). A
// native record whose `file` is 0 prints nothing. Returns false when a file
// name, format, string or dump block it points to lies outside the image,
// or a string runs off it before its NUL: nothing of the line is written
// then, only what a hex dump in its message printed before (kViewDumps).
bool kvf_print_record(const unsigned char* record, bool dorvel_compatible, bool full);
// The same for a walk over an image that nothing writes while it is shown
// (a loaded dump, after new_kept_walk, expand.h): file names and formats
// are read once per walk and thread and kept (kvf_expand_kept_message).
bool kvf_print_kept_record(const unsigned char* record, bool dorvel_compatible, bool full);

// A new record line at the end of the output buffer, with no columns yet.
Line begin_record_line();

// How the views show a hex dump in a record's message: the text before the
// %r goes out as it is, then the dump lines; the line starts again with the
// same columns and an empty text, so that the last dump line runs on into
// the columns. Each dump line goes out as it is made.
extern const DumpSink kViewDumps;

// "HH:MM:SS" for a time on the current local day, "MM/DD/YYYY" otherwise.
// The text lives in a buffer that the next call overwrites.
const char* kvf_time_string(std::int64_t time);
// The same text with its length. Its buffer holds at least kTimeTextRoom
// bytes from its start, so that a column may copy it in one block.
inline constexpr std::size_t kTimeTextRoom = 16;
std::string_view kvf_time_text(std::int64_t time);

// Where kvf_time_string takes the current time from (time(2) by default);
// lets tests move the clock across a day boundary.
void set_time_source(std::int64_t (*now)());

}  // namespace kvf
