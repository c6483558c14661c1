// walk_sink.h -- what a walk over the ring reports, and the sink it reports
// to. The walk and the ring reader only report; the sink decides what each
// event becomes: the views print their lines and notes, kavrex-export
// writes JSON. Each callback gets the sink's context back; all must be set.
#pragma once

#include <cstdint>

namespace kvf {

struct WalkSink {
  void* context;
  // The complete record in `slot`, the ring's slot `index`; false when a
  // pointer it holds lies outside the image. Called with the fault handlers
  // armed: a fault here becomes skipped(index).
  bool (*record)(void* context, const unsigned char* slot, std::int32_t index);
  // The reader, stepping on from `from`, found the writer at or about to be
  // at its slot and jumped ahead of it to `to`; the next jump lands twice
  // as far past tail.
  void (*skip_ahead)(void* context, std::int32_t from, std::int32_t to);
  // The same jump at the largest distance, half the ring: a one-pass walk
  // ends here, a tail walk goes on at `to`.
  void (*max_skip)(void* context, std::int32_t from, std::int32_t to);
  // The record at `index` was not handed on: false from record, or a fault
  // while reading it or the ring itself.
  void (*skipped)(void* context, std::int32_t index);
  // Tail walk: the ring it followed was replaced or dropped, shrank below
  // the slot in hand, or that slot could not be reached; the walk starts
  // again, at the start rule, on `ring` of `size` records.
  void (*ring_replaced)(void* context, std::uint64_t ring, std::int32_t size);
  // Tail walk: the server process `pid` is gone. The walk then flushes and
  // ends the program with status 0.
  void (*gone)(void* context, std::int32_t pid);
  // Sends everything handed on so far; the tail walk calls it before each
  // 10 ms sleep.
  void (*flush)(void* context);
};

}  // namespace kvf
