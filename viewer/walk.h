// walk.h -- the one-pass and the tail walk over the ring. What happens on
// the way (each record, the reader's jumps, faults, a new ring, the server's
// end) is reported to a sink (walk_sink.h); the walks print nothing.
#pragma once

#include <cstdint>

#include "viewer/walk_sink.h"

namespace kvf {

// A ring a walk may start on: header and whole records array in the image.
bool ring_readable(std::uint64_t ring);

// "PROGRAM: trace ring at 0x... (N records) is not within the shared memory
// image" on standard error, for a ring that ring_readable refuses.
void report_ring_outside(const char* program);

// The ring once, from the oldest kept record to the newest or to the first
// stop; nothing when the control block's ring is not readable.
void walk_once(const WalkSink& sink);

// Where a tail walk begins on the ring it finds readable at once: at the
// start rule (the oldest records it may read), or at the head, so that only
// records written from then on are handed on. Every later start begins at
// the start rule: a new ring, or a first ring that appears only while the
// walk waits, holds only records newer than the walk; a restart on the same
// ring (after a fault in the ring itself, or a slot out of reach) may
// repeat older ones.
enum class TailStart { oldest, head };

// The ring for ever, through ring replacements; while there is no readable
// ring it waits for one. Ends the program (see set_walk_exit) when the
// server process is gone.
[[noreturn]] void walk_tail(const WalkSink& sink, TailStart start = TailStart::oldest);

// How a tail walk ends the program, after the sink's flush: std::exit until
// set; the front end passes its exit routine.
void set_walk_exit(void (*exit_program)(int status));

}  // namespace kvf
