// reader.h -- the ring reader: which slot to read next while the server
// writes the ring under us, with the guard window, the stamp test and the
// growing skip ahead.
#pragma once

#include <cstdint>

#include "viewer/walk_sink.h"

namespace kvf {

// Process-wide reader state, set at program start and never reset (tests
// set it directly).
struct ReaderState {
  // `stamp` of the slot that kvf_next_index chose last, read as it chose it.
  std::uint32_t last_stamp = 0;
  // How far past `tail` the next skip ahead lands; doubles after each
  // ordinary skip, never shrinks, survives a restart of the tail walk.
  std::int32_t skip_distance = 20;
};
ReaderState& reader_state();

struct NextIndex {
  std::int32_t index;
  // The skip ahead had reached its maximum: a one-pass walk ends here, a
  // tail walk goes on at `index`. Kept apart from the index, so that a
  // maximum skip to slot 0 is still seen as one.
  bool max_skip;
};

// With `current` = -1 the start index of a walk, else the index to read
// after `current`. Reads head and tail from `ring` and the size from the
// control block afresh. A jump ahead of the writer is reported to `sink`
// (skip_ahead or max_skip) as it is decided, before the target's stamp is
// read.
NextIndex kvf_next_index(std::int32_t current, const unsigned char* ring, const WalkSink& sink);

// A ring that nothing writes while it is read (a dump): its indexes and
// the size, read once.
struct UnchangingRing {
  const unsigned char* ring;
  std::int32_t head, tail, size;
};
UnchangingRing read_unchanging(const unsigned char* ring);

// The step of kvf_next_index on such a ring: no slot is rewritten between
// two steps, so no stamp is read and last_stamp is left alone; the answers,
// the jumps reported and skip_distance are those of kvf_next_index. A walk
// made of these steps ends with note_chosen on the index it stopped at,
// which leaves last_stamp as kvf_next_index would have.
NextIndex next_index_unchanging(std::int32_t current, const UnchangingRing& ring, const WalkSink& sink);
void note_chosen(const unsigned char* ring, std::int32_t index);

// Records per guard window for a ring of `size` records.
std::int32_t guard_window(std::int32_t size);

// The current ring size from the control block (0 when there is none).
std::int32_t current_ring_size();

// The 160-byte slot at `index` through the ring's current `records`, or
// nullptr when the index is outside the current size or the slot lies
// outside the image.
const unsigned char* ring_slot(const unsigned char* ring, std::int32_t index);

}  // namespace kvf
