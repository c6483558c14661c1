// walk_threads.h -- the one-pass walk over a ring that cannot change while
// it is shown (a dump), with its records rendered on several threads and
// written out in the walk's order: the same bytes as walk_once, sooner.
#pragma once

#include "viewer/walk_sink.h"

namespace kvf {

// walk_once on a ring that nothing writes while the walk runs, rendering on
// `threads` threads (a view asks sys::thread_count(), platform/threads.h):
// every event reaches the sink in the walk's order, and a fault while a
// record is handed on is recovered on the thread that rendered it, as
// walk_once recovers it. The reader state is left as walk_once leaves it.
// The sink's record, skipped, skip_ahead and max_skip must write only
// through out:: (they run on several threads at once, each gathering its
// lines in memory) and keep no state of their own. With `threads` 1 the
// walk runs on the calling thread, writing straight to standard output,
// with the ring's indexes and size read once as on more threads.
void walk_once_on_threads(const WalkSink& sink, int threads);

}  // namespace kvf
