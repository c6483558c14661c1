// kavrex-export-walk.cpp -- the export's one-pass and tail walks: the views'
// walks step for step over the same reader, each record going to record_line;
// the viewer's own output (overrun notes, hex dumps) is caught in a memory file.
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <sys/mman.h>
#include <unistd.h>

#include "kavrex/control_block.h"
#include "shm/field.h"
#include "shm/image.h"
#include "tools/kavrex-export.h"
#include "viewer/fault.h"
#include "viewer/output.h"
#include "viewer/probe.h"
#include "viewer/reader.h"
#include "viewer/ring_layout.h"

namespace kavrex_export {
namespace {

// Walk state. A fault jumps back into the walk from a signal handler, so
// what the walk needs afterwards lives here rather than in its locals.
sigjmp_buf g_recovery;
std::int32_t g_index = 0;          // the slot in hand
std::int32_t g_saved = 0;          // the record being exported
bool g_max_skip = false;           // the last step reached the maximum skip
bool g_in_reader = false;          // a fault came from the ring itself
bool g_ring_fault_told = false;    // tail walk: said once until a record goes out
std::uint64_t g_ring = 0;          // tail walk: the ring it follows
struct Exported {
  std::int32_t index = -1;
  std::int32_t head = 0, tail = 0;
  std::uint32_t stamp = 0;
};
Exported g_exported;               // tail walk: the last record exported

int g_capture = -1;                // memory file behind the views' output

// Line buffers: a record (its message may carry 256 KiB of hex dump, six
// bytes each at worst when escaped) and the short event lines.
constexpr std::size_t kRecordLine = 2 * 1024 * 1024;
char g_record_buffer[kRecordLine];
char g_event_buffer[256];

constexpr char kSkipAhead[] = "possible buffer overrun, skipping ahead\n";
constexpr char kMaxSkip[] = "possible buffer overrun, max skip ahead reached\n";

void event(const char* kind, const char* what, std::int64_t from, std::int64_t to) {
  JsonLine line(g_event_buffer, sizeof g_event_buffer);
  line.begin();
  line.string("kind", kind);
  if (what) line.string("skip", what);
  line.number(to < 0 ? "index" : "from", from);
  if (to >= 0) line.number("to", to);
  line.end();
  emit(line);
}

// One reader step; what the reader said about an overrun becomes an event.
void step(const unsigned char* ring, std::int32_t from) {
  g_in_reader = true;
  kvf::NextIndex n = kvf::kvf_next_index(from, ring);
  g_in_reader = false;
  char said[sizeof kMaxSkip];
  std::size_t got = take_capture(said, sizeof said - 1);
  said[got] = '\0';
  if (std::strcmp(said, kSkipAhead) == 0) event("overrun", "ahead", from, n.index);
  if (std::strcmp(said, kMaxSkip) == 0) event("overrun", "max", from, n.index);
  g_index = n.index;
  g_saved = n.index;
  g_max_skip = n.max_skip;
}

void export_record(const unsigned char* slot, std::int32_t index) {
  JsonLine line(g_record_buffer, sizeof g_record_buffer);
  if (record_line(line, slot, index))
    emit(line);
  else
    event("skipped", nullptr, index, -1);
}

std::int32_t head_of(const unsigned char* ring) {
  return static_cast<std::int32_t>(kvf::load_shared<std::uint32_t>(ring, kvf::ring::kHead));
}
std::int32_t tail_of(const unsigned char* ring) {
  return static_cast<std::int32_t>(kvf::load_shared<std::uint32_t>(ring, kvf::ring::kTail));
}
std::uint32_t stamp_of(const unsigned char* slot) {
  return kvf::load_shared<std::uint32_t>(slot, kvf::record::kStamp);
}

// A ring a walk may start on: header and whole records array in the image.
bool ring_readable(std::uint64_t ring) {
  using namespace kvf;
  if (ring == 0 || !image_contains(ring, ring::kHeaderSize)) return false;
  std::int32_t size = current_ring_size();
  std::uint64_t records = load_shared<std::uint64_t>(address(ring), ring::kRecords);
  return size >= 1 && records != 0 &&
         image_contains(records, static_cast<std::uint64_t>(size) * record::kSize);
}

// One poll of the tail walk: output goes out, 10 ms pass, and the walk ends
// when the server process is gone.
void poll_server() {
  flush_output();
  std::this_thread::sleep_for(std::chrono::milliseconds(10));  // nanosleep(2)
  std::int32_t pid = kvf::server_pid();
  if (!kvf::process_alive(pid)) {
    JsonLine line(g_event_buffer, sizeof g_event_buffer);
    line.begin();
    line.string("kind", "server_gone");
    line.number("pid", pid);
    line.end();
    emit(line);
    flush_output();
    std::exit(0);
  }
}

bool unmoved_repeat(const unsigned char* ring, std::int32_t head, std::int32_t tail) {
  if (g_index != g_exported.index || head != g_exported.head || tail != g_exported.tail) return false;
  const unsigned char* slot = kvf::ring_slot(ring, g_index);
  return slot && stamp_of(slot) == g_exported.stamp;
}

void follow(const unsigned char* block, const unsigned char* ring) {
  using namespace kvf;
  for (;;) {
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
      poll_server();
      return;
    }
    while (load_shared<std::uint64_t>(slot, record::kFile) == 0) {
      poll_server();
      if (ring_address(block) != g_ring) return;
    }
    g_exported = {g_index, head_of(ring), tail_of(ring), stamp_of(slot)};
    g_ring_fault_told = false;
    export_record(slot, g_index);
    step(ring, g_index);
  }
}

}  // namespace

bool start_capture() {
  g_capture = ::memfd_create("kavrex-export", MFD_CLOEXEC);
  if (g_capture < 0) return false;
  kvf::out::set_fd(g_capture);
  return true;
}

std::size_t take_capture(char* out, std::size_t cap) {
  kvf::out::flush();
  off_t size = ::lseek(g_capture, 0, SEEK_CUR);
  if (size <= 0) return 0;
  std::size_t want = static_cast<std::size_t>(size) < cap ? static_cast<std::size_t>(size) : cap;
  std::size_t got = 0;
  while (got < want) {
    ssize_t n = ::pread(g_capture, out + got, want - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (::ftruncate(g_capture, 0) != 0 || ::lseek(g_capture, 0, SEEK_SET) != 0) std::_Exit(1);
  return got;
}

void emit(const JsonLine& line) {
  if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size()) {
    std::fprintf(stderr, "kavrex-export: cannot write the output: %s\n", std::strerror(errno));
    std::_Exit(1);
  }
}

void flush_output() {
  if (std::fflush(stdout) != 0) {
    std::fprintf(stderr, "kavrex-export: cannot write the output: %s\n", std::strerror(errno));
    std::_Exit(1);
  }
}

int walk_once() {
  using namespace kvf;
  const unsigned char* block = control_block();
  std::uint64_t ring_at = block ? ring_address(block) : 0;
  if (ring_at == 0) return 0;
  if (!ring_readable(ring_at)) {
    std::fprintf(stderr, "kavrex-export: trace ring at 0x%" PRIx64 " (%" PRId32
                 " records) is not within the shared memory image\n", ring_at, current_ring_size());
    return 1;
  }
  const unsigned char* ring = address(ring_at);
  if (head_of(ring) == tail_of(ring)) return 0;
  step(ring, -1);
  install_fault_handlers();
  if (sigsetjmp(g_recovery, 1) != 0) {
    take_capture(g_event_buffer, 0);  // a half-written hex dump is dropped
    event("skipped", nullptr, g_saved, -1);
    if (g_in_reader) {
      set_recovery_point(nullptr);
      return 0;
    }
    step(ring, g_saved);
  }
  set_recovery_point(&g_recovery);
  while (!g_max_skip) {
    if (g_index == head_of(ring)) break;
    const unsigned char* slot = ring_slot(ring, g_index);
    if (slot == nullptr || load_shared<std::uint64_t>(slot, record::kFile) == 0) break;
    export_record(slot, g_index);
    step(ring, g_index);
  }
  set_recovery_point(nullptr);
  return 0;
}

void walk_tail() {
  using namespace kvf;
  const unsigned char* block = control_block();
  install_fault_handlers();
  for (;;) {
    g_ring = ring_address(block);
    while (!ring_readable(g_ring)) {
      poll_server();
      g_ring = ring_address(block);
    }
    g_exported = Exported{};
    step(address(g_ring), -1);
    if (sigsetjmp(g_recovery, 1) != 0) {
      take_capture(g_event_buffer, 0);
      if (g_in_reader) {
        if (!g_ring_fault_told) event("skipped", nullptr, g_saved, -1);
        g_ring_fault_told = true;
        set_recovery_point(nullptr);
        poll_server();
        continue;
      }
      event("skipped", nullptr, g_saved, -1);
      step(address(g_ring), g_saved);
    }
    set_recovery_point(&g_recovery);
    follow(block, address(g_ring));
    set_recovery_point(nullptr);
  }
}

}  // namespace kavrex_export
