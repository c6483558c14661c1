// walk.h -- the one-pass and the tail walk over the ring, with what becomes
// of each record left to a sink: the views print it as a line, kavrex-export
// writes it as JSON. The reader's own notes (overruns) go to kvf::out.
#pragma once

#include <cstdint>

namespace kvf {

struct WalkSink {
  // Hands on the complete record in `slot`, the ring's slot `index`; false
  // when a pointer it holds lies outside the image. Called with the fault
  // handlers armed: a fault here becomes skipped(index).
  bool (*record)(const unsigned char* slot, std::int32_t index);
  // The record at `index` was not handed on (false from record, or a fault
  // while reading it or the ring itself).
  void (*skipped)(std::int32_t index);
  // After each reader step from `from` (-1: the start) to `to`; may be
  // null.
  void (*stepped)(std::int32_t from, std::int32_t to);
  // Tail walk: the server process `pid` is gone. The walk then flushes and
  // ends the program with status 0.
  void (*gone)(std::int32_t pid);
  // Sends everything handed on so far; the tail walk calls it before each
  // 10 ms sleep.
  void (*flush)();
};

// A ring a walk may start on: header and whole records array in the image.
bool ring_readable(std::uint64_t ring);

// "PROGRAM: trace ring at 0x... (N records) is not within the shared memory
// image" on standard error, for a ring that ring_readable refuses.
void report_ring_outside(const char* program);

// The ring once, from the oldest kept record to the newest or to the first
// stop; nothing when the control block's ring is not readable.
void walk_once(const WalkSink& sink);

// The ring for ever, through ring replacements; while there is no readable
// ring it waits for one. Ends the program (see set_walk_exit) when the
// server process is gone.
[[noreturn]] void walk_tail(const WalkSink& sink);

// How a tail walk ends the program, after the sink's flush: std::exit until
// set; the front end passes its exit routine.
void set_walk_exit(void (*exit_program)(int status));

}  // namespace kvf
