// walk.cpp -- the one-pass and the tail walk over the ring: header, start
// index, the record loop with its stops, fault recovery through a jump back
// to the walk, the 10 ms polls and the restart on a replaced or shrunk ring.
#include <chrono>
#include <cinttypes>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "kavrex/control_block.h"
#include "shm/field.h"
#include "shm/image.h"
#include "viewer/fault.h"
#include "viewer/output.h"
#include "viewer/probe.h"
#include "viewer/reader.h"
#include "viewer/render.h"
#include "viewer/ring_layout.h"
#include "viewer/text.h"
#include "viewer/view.h"

namespace kvf {
namespace {

constexpr char kSkipped[] = "buffer overrun or formatting error, records skipped\n";

// Walk state. A fault jumps back into the walk from a signal handler, so
// what the walk needs afterwards lives here rather than in its locals.
sigjmp_buf g_recovery;
std::int32_t g_index = 0;      // the slot in hand
std::int32_t g_saved = 0;      // the saved index: the record being printed
bool g_max_skip = false;       // the last step reached the maximum skip
bool g_in_reader = false;      // a fault came from the ring itself, not a record
bool g_ring_fault_told = false;  // tail walk: told once until a record prints again

void (*g_exit)(int) = nullptr;

// Tail walk only: the ring it follows, and the last slot it printed with
// the ring's indexes and the slot's stamp at that moment.
std::uint64_t g_ring = 0;
struct Printed {
  std::int32_t index = -1;
  std::int32_t head = 0, tail = 0;
  std::uint32_t stamp = 0;
};
Printed g_printed;

void step(const unsigned char* ring, std::int32_t from) {
  g_in_reader = true;
  NextIndex n = kvf_next_index(from, ring);
  g_in_reader = false;
  g_index = n.index;
  g_saved = n.index;
  g_max_skip = n.max_skip;
}

std::int32_t head_of(const unsigned char* ring) {
  return static_cast<std::int32_t>(load_shared<std::uint32_t>(ring, ring::kHead));
}
std::int32_t tail_of(const unsigned char* ring) {
  return static_cast<std::int32_t>(load_shared<std::uint32_t>(ring, ring::kTail));
}

// A ring the walk may start on: header and whole records array in the image.
bool ring_readable(std::uint64_t ring) {
  if (ring == 0 || !image_contains(ring, ring::kHeaderSize)) return false;
  std::int32_t size = current_ring_size();
  std::uint64_t records = load_shared<std::uint64_t>(address(ring), ring::kRecords);
  return size >= 1 && records != 0 &&
         image_contains(records, static_cast<std::uint64_t>(size) * record::kSize);
}

[[noreturn]] void end_program(int status) {
  out::flush();
  if (g_exit) g_exit(status);
  std::exit(status);
}

// One poll of the tail walk: everything printed so far goes out, 10 ms pass,
// and the walk ends when the server process is gone.
void poll_server() {
  out::flush();
  std::this_thread::sleep_for(std::chrono::milliseconds(10));  // nanosleep(2)
  std::int32_t pid = server_pid();
  if (!process_alive(pid)) {
    char line[64];
    text::Text t(line, sizeof line);
    t.append("The server process ");
    char d[text::kDigitsMax];
    t.append(d, text::signed_decimal(d, pid));
    t.append(" is gone!\n");
    out::write(t.data(), t.size());
    end_program(0);
  }
}

}  // namespace

void set_view_exit(void (*exit_program)(int)) { g_exit = exit_program; }

int kvf_view(bool dorvel_compatible, bool full, bool tail) {
  kvf_print_header(full);
  const unsigned char* block = control_block();
  std::uint64_t ring = block ? ring_address(block) : 0;
  // No ring at the start: the header alone, and the command ends, with or
  // without -t. A tail that is already running waits for a dropped ring to
  // come back instead (kvf_view_tail).
  if (ring == 0) {
    out::flush();
    return 0;
  }
  // A ring outside the loaded image (a damaged dump) is refused before any
  // walk: every slot of it would only fault.
  if (!ring_readable(ring)) {
    out::flush();
    std::fprintf(stderr, "kavrex: trace ring at 0x%" PRIx64 " (%" PRId32
                 " records) is not within the shared memory image\n", ring, current_ring_size());
    return 1;
  }
  if (tail) kvf_view_tail(dorvel_compatible, full);
  kvf_view_once(dorvel_compatible, full);
  return 0;
}

void kvf_view_once(bool dorvel_compatible, bool full) {
  const unsigned char* block = control_block();
  // Taken again: a live server may have replaced its ring since the check.
  std::uint64_t ring_at = ring_address(block);
  if (!ring_readable(ring_at)) {
    out::flush();
    return;
  }
  const unsigned char* ring = address(ring_at);
  if (head_of(ring) == tail_of(ring)) {
    out::flush();
    return;
  }
  step(ring, -1);
  install_fault_handlers();
  if (sigsetjmp(g_recovery, 1) != 0) {
    out::write(kSkipped);
    // A fault inside the reader means the ring itself cannot be read: no
    // later step could do better.
    if (g_in_reader) {
      set_recovery_point(nullptr);
      out::flush();
      return;
    }
    step(ring, g_saved);
  }
  set_recovery_point(&g_recovery);
  // A maximum skip ends the walk, whatever slot it lands on.
  while (!g_max_skip) {
    if (g_index == head_of(ring)) break;
    const unsigned char* slot = ring_slot(ring, g_index);
    if (slot == nullptr || load_shared<std::uint64_t>(slot, record::kFile) == 0) break;
    // The walk goes through the ring in order: ask for the slots a few
    // ahead now (a hint, never a read, so no address is checked for it).
    __builtin_prefetch(slot + 8 * record::kSize);
    __builtin_prefetch(slot + 8 * record::kSize + 64);
    __builtin_prefetch(slot + 8 * record::kSize + 128);
    if (!kvf_print_record(slot, dorvel_compatible, full)) out::write(kSkipped);
    step(ring, g_index);
  }
  set_recovery_point(nullptr);
  out::flush();
}

namespace {

std::uint32_t stamp_of(const unsigned char* slot) {
  return load_shared<std::uint32_t>(slot, record::kStamp);
}

// Whether the slot in hand is the one just printed while nothing moved: the
// reader may land on it again (a maximum skip back to the same slot), and
// printing it once more would repeat it for ever on a quiet ring.
bool unmoved_repeat(const unsigned char* ring, std::int32_t head, std::int32_t tail) {
  if (g_index != g_printed.index || head != g_printed.head || tail != g_printed.tail) return false;
  const unsigned char* slot = ring_slot(ring, g_index);
  return slot && stamp_of(slot) == g_printed.stamp;
}

// Follows the ring from the index in hand until the ring is replaced or
// shrinks below that index; then returns so that the walk restarts.
void follow(const unsigned char* block, const unsigned char* ring, bool dorvel_compatible, bool full) {
  for (;;) {
    // A maximum skip goes on at its target.
    g_saved = g_index;
    for (;;) {
      if (ring_address(block) != g_ring) return;
      std::int32_t head = head_of(ring), tail = tail_of(ring);
      if (head != tail && g_index != head && !unmoved_repeat(ring, head, tail)) break;
      poll_server();
    }
    if (ring_address(block) != g_ring || g_index >= current_ring_size()) return;
    const unsigned char* slot = ring_slot(ring, g_index);
    if (slot == nullptr) {
      // A negative index from damaged indexes, or a records array that
      // left the image: start again once a poll has passed.
      poll_server();
      return;
    }
    while (load_shared<std::uint64_t>(slot, record::kFile) == 0) {
      poll_server();
      if (ring_address(block) != g_ring) return;
    }
    g_printed = {g_index, head_of(ring), tail_of(ring), stamp_of(slot)};
    g_ring_fault_told = false;
    if (!kvf_print_record(slot, dorvel_compatible, full)) out::write(kSkipped);
    step(ring, g_index);
  }
}

}  // namespace

void kvf_view_tail(bool dorvel_compatible, bool full) {
  const unsigned char* block = control_block();
  install_fault_handlers();
  for (;;) {  // the restart point
    g_ring = ring_address(block);
    // With no ring (the server dropped it) or one outside the image (the
    // server put it where this image does not reach), there is nothing to
    // start on: the walk keeps polling, so that it still ends when the
    // server goes, and starts on the first readable ring that appears.
    while (!ring_readable(g_ring)) {
      poll_server();
      g_ring = ring_address(block);
    }
    g_printed = Printed{};
    step(address(g_ring), -1);
    if (sigsetjmp(g_recovery, 1) != 0) {
      if (g_in_reader) {
        // The ring itself faulted: look again after a poll, saying so once
        // rather than at every poll while it stays unreadable.
        if (!g_ring_fault_told) out::write(kSkipped);
        g_ring_fault_told = true;
        set_recovery_point(nullptr);
        poll_server();
        continue;
      }
      out::write(kSkipped);
      step(address(g_ring), g_saved);
    }
    set_recovery_point(&g_recovery);
    follow(block, address(g_ring), dorvel_compatible, full);
    set_recovery_point(nullptr);
  }
}

}  // namespace kvf
