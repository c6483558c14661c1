// walk_threads.h -- the one-pass walk over a ring that cannot change while
// it is shown (a dump), with its records rendered on several threads and
// written out in the walk's order: the same bytes as walk_once, sooner.
#pragma once

#include "viewer/walk_sink.h"

namespace kvf {

// Most threads a walk renders on.
inline constexpr int kMaxWalkThreads = 32;

// How many threads a walk of a dump renders on: the value of KAVREX_THREADS
// when it is a whole decimal number from 1 up (larger than kMaxWalkThreads
// counts as kMaxWalkThreads); otherwise, when it is unset or anything else
// (empty, 0, signed, not a number, with anything after the digits), it is
// ignored and every online CPU renders, up to kMaxWalkThreads.
int walk_threads();
// The same rule for `value` (nullptr: unset) on a machine of `online` CPUs.
int walk_threads(const char* value, unsigned online);

// walk_once on a ring that nothing writes while the walk runs, rendering on
// `threads` threads: every event reaches the sink in the walk's order, and
// a fault while a record is handed on is recovered on the thread that
// rendered it, as walk_once recovers it. The reader state is left as
// walk_once leaves it. The sink's record, skipped, skip_ahead and max_skip
// must write only through out:: (they run on several threads at once, each
// gathering its lines in memory) and keep no state of their own. With
// `threads` 1 this is walk_once itself.
void walk_once_on_threads(const WalkSink& sink, int threads);

}  // namespace kvf
