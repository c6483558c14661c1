// kavrex-snap.h -- the parts of kavrex-snap: which memory the snapshot
// holds, writing it to a file so that the file is whole or absent, or to
// standard output, and checking a dump file's headers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kavrex_snap {

// One segment of the attached image: where it starts and how many bytes its
// own header says it has.
struct Span {
  std::uint64_t base;
  std::uint64_t size;
};

// The segments of the attached image in the order the dump reader reads
// them back: the first segment (its address from the shmcb), then each one
// named by the header before it, as many as the shmcb counts. False, with
// `error` saying which and where, when a segment is not wholly attached.
bool plan_segments(std::vector<Span>& spans, std::string& error);

// Writes the spans back to back to `path`: into a temporary file in the
// same directory, synced, then renamed over `path`. On failure the temporary
// file is removed, `path` is untouched, and the result is the errno value
// (`error` names the step). `progress` draws a progress line on standard
// error as the bytes go out.
int write_snapshot(const std::string& path, const std::vector<Span>& spans, bool progress,
                   std::string& error);

// Set from a signal handler: the write stops, cleans up and fails with EINTR.
void request_stop();

// Writes the spans back to back to standard output; 0 or the errno value
// (`error` names what failed). A broken pipe is such a failure, not a
// signal.
int write_to_stdout(const std::vector<Span>& spans, std::string& error);

// --check: reads the headers of the dump `path` in place and prints one
// line about it on standard output, or why it is no whole dump on standard
// error; the exit status (0 whole, 1 otherwise).
int check_dump(const char* path);

}  // namespace kavrex_snap
