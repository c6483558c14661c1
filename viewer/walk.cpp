// walk.cpp -- the one-pass and the tail walk over the ring: start index, the
// record loop with its stops, fault recovery through a jump back to the
// walk, the 10 ms polls and the restart on a replaced or shrunk ring. Each
// record, jump, fault, new ring and the server's end is reported to the
// walk's sink, which every function here is handed: the walk keeps none.
#include "viewer/walk.h"

#include <cinttypes>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include "control/control_block.h"
#include "layouts/field.h"
#include "layouts/ring_layout.h"
#include "platform/process.h"
#include "shm/image.h"
#include "viewer/fault.h"
#include "viewer/probe.h"
#include "viewer/reader.h"
#include "viewer/view.h"

namespace kvf {
namespace {

// Walk state. A fault jumps back into the walk from a signal handler, so
// what the walk needs afterwards lives here rather than in its locals (the
// sink is a parameter that never changes, which a jump keeps).
sigjmp_buf g_recovery;
std::int32_t g_index = 0;      // the slot in hand
std::int32_t g_saved = 0;      // the saved index: the record being handed on
bool g_max_skip = false;       // the last step reached the maximum skip
bool g_in_reader = false;      // a fault came from the ring itself, not a record
bool g_ring_fault_told = false;  // tail walk: told once until a record goes out
bool g_restarted = false;        // tail walk: left the ring it followed

void (*g_exit)(int) = nullptr;

// Tail walk only: the ring it follows, and the last slot it handed on with
// the ring's indexes and the slot's stamp at that moment.
std::uint64_t g_ring = 0;
struct HandedOn {
  std::int32_t index = -1;
  std::int32_t head = 0, tail = 0;
  std::uint32_t stamp = 0;
};
HandedOn g_last;

void step(const WalkSink& sink, const unsigned char* ring, std::int32_t from) {
  g_in_reader = true;
  NextIndex n = kvf_next_index(from, ring, sink);
  g_in_reader = false;
  g_index = n.index;
  g_saved = n.index;
  g_max_skip = n.max_skip;
}

void hand_on(const WalkSink& sink, const unsigned char* slot) {
  if (!sink.record(sink.context, slot, g_index)) sink.skipped(sink.context, g_index);
}

std::int32_t head_of(const unsigned char* ring) {
  return static_cast<std::int32_t>(load_shared<std::uint32_t>(ring, ring::kHead));
}
std::int32_t tail_of(const unsigned char* ring) {
  return static_cast<std::int32_t>(load_shared<std::uint32_t>(ring, ring::kTail));
}
// Whether `head` names a slot of the ring. A server keeps its head inside
// the ring; one outside comes from a damaged ring (a dump, most likely),
// which a walk could never reach: with the tail outside too, the reader's
// lead never shrinks and a walk would go round the ring for ever. The
// one-pass walk therefore ends there as at the head, and the tail walk
// waits for a head it can reach, polling the server meanwhile.
bool head_in_ring(std::int32_t head) { return head >= 0 && head < current_ring_size(); }
std::uint32_t stamp_of(const unsigned char* slot) {
  return load_shared<std::uint32_t>(slot, record::kStamp);
}

// One poll of the tail walk: everything handed on so far goes out, 10 ms
// pass, and the program ends when the server process is gone.
void poll_server(const WalkSink& sink) {
  sink.flush(sink.context);
  sys::sleep_ms(10);
  std::int32_t pid = server_pid();
  if (!process_alive(pid)) {
    sink.gone(sink.context, pid);
    sink.flush(sink.context);
    if (g_exit) g_exit(0);
    std::exit(0);
  }
}

// Whether the slot in hand is the one just handed on while nothing moved:
// the reader may land on it again (a maximum skip back to the same slot),
// and handing it on once more would repeat it for ever on a quiet ring.
bool unmoved_repeat(const unsigned char* ring, std::int32_t head, std::int32_t tail) {
  if (g_index != g_last.index || head != g_last.head || tail != g_last.tail) return false;
  const unsigned char* slot = ring_slot(ring, g_index);
  return slot && stamp_of(slot) == g_last.stamp;
}

// Follows the ring from the index in hand until the ring is replaced or
// shrinks below that index; then returns so that the walk restarts.
void follow(const WalkSink& sink, const unsigned char* block, const unsigned char* ring) {
  for (;;) {
    // A maximum skip goes on at its target.
    g_saved = g_index;
    for (;;) {
      if (ring_address(block) != g_ring) return;
      std::int32_t head = head_of(ring), tail = tail_of(ring);
      if (head != tail && g_index != head && head_in_ring(head) && !unmoved_repeat(ring, head, tail)) break;
      poll_server(sink);
    }
    if (ring_address(block) != g_ring || g_index >= current_ring_size()) return;
    const unsigned char* slot = ring_slot(ring, g_index);
    if (slot == nullptr) {
      // A negative index from damaged indexes, or a records array that
      // left the image: start again once a poll has passed.
      poll_server(sink);
      return;
    }
    while (load_shared<std::uint64_t>(slot, record::kFile) == 0) {
      poll_server(sink);
      if (ring_address(block) != g_ring) return;
    }
    g_last = {g_index, head_of(ring), tail_of(ring), stamp_of(slot)};
    g_ring_fault_told = false;
    hand_on(sink, slot);
    step(sink, ring, g_index);
  }
}

}  // namespace

void set_walk_exit(void (*exit_program)(int)) { g_exit = exit_program; }

bool ring_readable(std::uint64_t ring) {
  if (ring == 0 || !image_contains(ring, ring::kHeaderSize)) return false;
  std::int32_t size = current_ring_size();
  std::uint64_t records = load_shared<std::uint64_t>(address(ring), ring::kRecords);
  return size >= 1 && records != 0 &&
         image_contains(records, static_cast<std::uint64_t>(size) * record::kSize);
}

void report_ring_outside(const char* program) {
  const unsigned char* block = control_block();
  std::fprintf(stderr, "%s: trace ring at 0x%" PRIx64 " (%" PRId32 " records) is not within the shared memory image\n",
               program, block ? ring_address(block) : 0, current_ring_size());
}

void walk_once(const WalkSink& sink) {
  const unsigned char* block = control_block();
  // Taken again: a live server may have replaced its ring since the caller
  // looked.
  std::uint64_t ring_at = ring_address(block);
  if (!ring_readable(ring_at)) return;
  const unsigned char* ring = address(ring_at);
  if (head_of(ring) == tail_of(ring)) return;
  step(sink, ring, -1);
  install_fault_handlers();
  if (sigsetjmp(g_recovery, 1) != 0) {
    sink.skipped(sink.context, g_saved);
    // A fault inside the reader means the ring itself cannot be read: no
    // later step could do better.
    if (g_in_reader) {
      set_recovery_point(nullptr);
      return;
    }
    step(sink, ring, g_saved);
  }
  set_recovery_point(&g_recovery);
  while (!g_max_skip) {
    std::int32_t head = head_of(ring);
    if (g_index == head || !head_in_ring(head)) break;
    const unsigned char* slot = ring_slot(ring, g_index);
    if (slot == nullptr || load_shared<std::uint64_t>(slot, record::kFile) == 0) break;
    // The walk goes through the ring in order: ask for the slots a few
    // ahead now (a hint, never a read, so no address is checked for it).
    __builtin_prefetch(slot + 8 * record::kSize);
    __builtin_prefetch(slot + 8 * record::kSize + 64);
    __builtin_prefetch(slot + 8 * record::kSize + 128);
    hand_on(sink, slot);
    step(sink, ring, g_index);
  }
  set_recovery_point(nullptr);
}

namespace {

// Puts the walk at the ring's head, the slot the writer fills next, noting
// that slot's stamp as the reader does for a slot it chooses; false (the
// walk then starts at the start rule) for a head outside the ring.
bool start_at_head(const unsigned char* ring) {
  std::int32_t head = head_of(ring);
  if (!head_in_ring(head)) return false;
  const unsigned char* slot = ring_slot(ring, head);
  reader_state().last_stamp = slot ? stamp_of(slot) : 0;
  g_index = g_saved = head;
  g_max_skip = false;
  return true;
}

}  // namespace

void walk_tail(const WalkSink& sink, TailStart start) {
  const unsigned char* block = control_block();
  install_fault_handlers();
  g_restarted = false;
  bool from_head = start == TailStart::head;
  for (;;) {  // the restart point
    g_ring = ring_address(block);
    if (!ring_readable(g_ring)) from_head = false;
    // With no ring (the server dropped it) or one outside the image (the
    // server put it where this image does not reach), there is nothing to
    // start on: the walk keeps polling, so that it still ends when the
    // server goes, and starts on the first readable ring that appears.
    while (!ring_readable(g_ring)) {
      poll_server(sink);
      g_ring = ring_address(block);
    }
    if (g_restarted) sink.ring_replaced(sink.context, g_ring, current_ring_size());
    g_restarted = false;
    g_last = HandedOn{};
    if (!from_head || !start_at_head(address(g_ring))) step(sink, address(g_ring), -1);
    from_head = false;
    if (sigsetjmp(g_recovery, 1) != 0) {
      if (g_in_reader) {
        // The ring itself faulted: look again after a poll, saying so once
        // rather than at every poll while it stays unreadable.
        if (!g_ring_fault_told) sink.skipped(sink.context, g_saved);
        g_ring_fault_told = true;
        set_recovery_point(nullptr);
        poll_server(sink);
        continue;
      }
      sink.skipped(sink.context, g_saved);
      step(sink, address(g_ring), g_saved);
    }
    set_recovery_point(&g_recovery);
    follow(sink, block, address(g_ring));
    set_recovery_point(nullptr);
    g_restarted = true;
  }
}

}  // namespace kvf
