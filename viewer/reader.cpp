// reader.cpp -- kvf_next_index: the start rule, the calm test, the lead over
// the writer and the skip ahead. Every index, the size and every stamp are
// read afresh with single loads, since the server writes them as we go.
#include "viewer/reader.h"

#include "control/control_block.h"
#include "layouts/control_block_layout.h"
#include "layouts/field.h"
#include "shm/image.h"
#include "viewer/image_text.h"
#include "layouts/ring_layout.h"

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

NextIndex choose(const unsigned char* ring, std::int64_t index, bool max_skip) {
  g_state.last_stamp = stamp_at(ring, index);
  return {static_cast<std::int32_t>(index), max_skip};
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

NextIndex kvf_next_index(std::int32_t current, const unsigned char* ring, const WalkSink& sink) {
  // Signed 32-bit values throughout; sums are made in 64 bits so that
  // indexes from a damaged ring cannot overflow.
  auto head = static_cast<std::int32_t>(load_shared<std::uint32_t>(ring, ring::kHead));
  auto tail = static_cast<std::int32_t>(load_shared<std::uint32_t>(ring, ring::kTail));
  if (head == 0 && tail == 0) return {0, false};
  std::int64_t size = current_ring_size();
  // A ring without slots has nothing to read; it is taken as an empty one.
  if (size < 1) return {0, false};
  std::int64_t window = guard_window(static_cast<std::int32_t>(size));
  bool calm = tail < head && size - head > window;

  if (current == -1) {
    std::int64_t start = tail;
    if (!calm) {
      start += window;
      if (start >= size) start -= size;
    }
    return choose(ring, start, false);
  }

  bool rewritten = stamp_at(ring, current) != g_state.last_stamp;
  std::int64_t following = current == size - 1 ? 0 : static_cast<std::int64_t>(current) + 1;
  if (calm) return choose(ring, following, false);

  std::int64_t lead = 0;
  if (!rewritten) {
    lead = following - tail;
    if (lead < 0) lead += size;
  }
  if (lead >= window) return choose(ring, following, false);

  // The writer is at or about to be at the slot in hand: jump ahead of it.
  std::int64_t target = (g_state.skip_distance + static_cast<std::int64_t>(tail)) % size;
  auto to = static_cast<std::int32_t>(target);
  if (g_state.skip_distance >= size / 2) {
    sink.max_skip(sink.context, current, to);
    return choose(ring, target, true);
  }
  sink.skip_ahead(sink.context, current, to);
  g_state.skip_distance *= 2;
  return choose(ring, target, false);
}

}  // namespace kvf
