// reader.cpp -- kvf_next_index: the slot to read next, while the server writes.
//
// The server's threads write the ring as we read it, and neither side waits:
// we take no lock and write nothing the writer reads. `head` is the slot the
// writer fills next, `tail` the oldest record kept; in a full ring each new
// record moves both, so the writer eats into the ring at `tail`, just where
// a walk begins. The writer stores a record's `file` last (0: not complete
// yet; the one-pass walk stops there, the tail walk waits) and gives a
// rewritten slot a new `stamp`. Indexes, size and stamps are read afresh,
// one load each, at every step.
//
// Calm test: while the ring has not wrapped (`tail` < `head`) and the writer
// is more than a guard window from the end of the array, it writes only
// past `head`, where a walk from `tail` never goes, and the reader steps by
// one. Otherwise the writer is coming round behind us. The guard window (20
// records; half a smaller ring, at least 1) is the room kept between it and
// us: a walk starts a window past `tail`, and steps on only to a slot at
// least a window ahead of `tail` (the lead), which the writer cannot reach
// before it has written that many records.
//
// Stamps: choosing a slot, the reader notes its stamp; a different one at
// the next step means the writer went through the slot while it was handed
// on (what went out may mix two records), and the lead counts as 0.
//
// Skip doubling: a short lead means the writer is on our heels. The reader
// jumps to `tail` + skip_distance and doubles the distance, so that a writer
// that keeps catching up is outrun in a few jumps; it never shrinks.
//
// Maximum skip: once the distance is half the ring, a longer jump would land
// nearer the writer from its other side. A writer that overtakes us even so
// writes faster than we read: a one-pass walk, there to show the ring as it
// was and end, would chase it for ever over records newer than itself, so it
// ends here; a tail walk follows the writer anyway and goes on at the target.
//
// Fault recovery: every address a record holds is checked against the image
// before it is read, yet a slot rewritten while we render it, or a page the
// image counts but the system refuses, can still fault. The SIGSEGV and
// SIGBUS handlers jump back into the walk, which kept the index in hand
// outside its locals: it reports that record skipped and steps past it. A
// fault in this reader means the ring itself is unreadable: a one-pass walk
// ends, a tail walk tries again after a poll.
#include "viewer/reader.h"

#include "control/control_block.h"
#include "layouts/control_block_layout.h"
#include "layouts/field.h"
#include "layouts/ring_layout.h"
#include "shm/image.h"
#include "viewer/image_text.h"

namespace kvf {
namespace {

ReaderState g_state;

// Stamp of the slot at `index`; 0 for an index outside the ring or a slot
// outside the image.
std::uint32_t stamp_at(const unsigned char* ring, std::int64_t index) {
  if (index < INT32_MIN || index > INT32_MAX) return 0;
  const unsigned char* slot = ring_slot(ring, static_cast<std::int32_t>(index));
  return slot ? load_shared<std::uint32_t>(slot, record::kStamp) : 0;
}

}  // namespace

ReaderState& reader_state() { return g_state; }

std::int32_t guard_window(std::int32_t size) {
  if (size >= 20) return 20;
  return size / 2 > 1 ? size / 2 : 1;
}

std::int32_t current_ring_size() {
  // The chain root record -> shmcb -> control block is fixed for the life
  // of an image, so its end is looked up again only when the image or the
  // root pointer changes; the size itself is read afresh every time.
  static unsigned generation = 0;
  static std::uint64_t root = 0;
  static const unsigned char* block = nullptr;
  if (block == nullptr || generation != image_generation() || root != root_pointer()) {
    block = control_block();
    generation = image_generation();
    root = root_pointer();
  }
  return block ? load_shared<std::int32_t>(block, control::kRingSize) : 0;
}

const unsigned char* ring_slot(const unsigned char* ring, std::int32_t index) {
  if (index < 0 || index >= current_ring_size()) return nullptr;
  std::uint64_t records = load_shared<std::uint64_t>(ring, ring::kRecords);
  std::uint64_t slot = records + static_cast<std::uint64_t>(index) * record::kSize;
  if (records == 0 || !image_holds(slot, record::kSize)) return nullptr;
  return address(slot);
}

namespace {

// What a step reads of a ring the server writes: every field afresh, one
// load each, and the stamp of each slot as it is chosen.
struct LiveRing {
  const unsigned char* ring;
  std::int32_t head() const { return static_cast<std::int32_t>(load_shared<std::uint32_t>(ring, ring::kHead)); }
  std::int32_t tail() const { return static_cast<std::int32_t>(load_shared<std::uint32_t>(ring, ring::kTail)); }
  std::int64_t size() const { return current_ring_size(); }
  bool rewritten(std::int32_t current) const { return stamp_at(ring, current) != g_state.last_stamp; }
  void chosen(std::int64_t index) const { g_state.last_stamp = stamp_at(ring, index); }
};

// What it reads of a ring nothing writes (a dump): the indexes and size
// read once, and no stamps, since no slot is rewritten between two steps;
// the step is then arithmetic alone and touches no record.
struct FixedRing {
  const UnchangingRing& ring;
  std::int32_t head() const { return ring.head; }
  std::int32_t tail() const { return ring.tail; }
  std::int64_t size() const { return ring.size; }
  bool rewritten(std::int32_t) const { return false; }
  void chosen(std::int64_t) const {}
};

template <typename Ring>
NextIndex next(std::int32_t current, const Ring& ring, const WalkSink& sink) {
  // Signed 32-bit values throughout; sums are made in 64 bits so that
  // indexes from a damaged ring cannot overflow.
  std::int32_t head = ring.head();
  std::int32_t tail = ring.tail();
  if (head == 0 && tail == 0) return {0, false};
  std::int64_t size = ring.size();
  // A ring without slots has nothing to read; it is taken as an empty one.
  if (size < 1) return {0, false};
  std::int64_t window = guard_window(static_cast<std::int32_t>(size));
  bool calm = tail < head && size - head > window;
  auto choose = [&ring](std::int64_t index, bool max_skip) {
    ring.chosen(index);
    return NextIndex{static_cast<std::int32_t>(index), max_skip};
  };

  if (current == -1) {
    std::int64_t start = tail;
    if (!calm) {
      start += window;
      if (start >= size) start -= size;
    }
    return choose(start, false);
  }

  bool rewritten = ring.rewritten(current);
  std::int64_t following = current == size - 1 ? 0 : static_cast<std::int64_t>(current) + 1;
  if (calm) return choose(following, false);

  std::int64_t lead = 0;
  if (!rewritten) {
    lead = following - tail;
    if (lead < 0) lead += size;
  }
  if (lead >= window) return choose(following, false);

  // The writer is at or about to be at the slot in hand: jump ahead of it.
  std::int64_t target = (g_state.skip_distance + static_cast<std::int64_t>(tail)) % size;
  auto to = static_cast<std::int32_t>(target);
  if (g_state.skip_distance >= size / 2) {
    sink.max_skip(sink.context, current, to);
    return choose(target, true);
  }
  sink.skip_ahead(sink.context, current, to);
  g_state.skip_distance *= 2;
  return choose(target, false);
}

}  // namespace

NextIndex kvf_next_index(std::int32_t current, const unsigned char* ring, const WalkSink& sink) {
  return next(current, LiveRing{ring}, sink);
}

UnchangingRing read_unchanging(const unsigned char* ring) {
  LiveRing live{ring};
  return {ring, live.head(), live.tail(), static_cast<std::int32_t>(live.size())};
}

NextIndex next_index_unchanging(std::int32_t current, const UnchangingRing& ring, const WalkSink& sink) {
  return next(current, FixedRing{ring}, sink);
}

void note_chosen(const unsigned char* ring, std::int32_t index) { g_state.last_stamp = stamp_at(ring, index); }

}  // namespace kvf
