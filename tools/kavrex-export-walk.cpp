// kavrex-export-walk.cpp -- the export's sink for the viewer's walks: each
// record goes to record_line; the viewer's own output (overrun notes, hex
// dumps) is caught in a memory file and becomes part of the JSON.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>
#include <unistd.h>

#include "control/control_block.h"
#include "tools/kavrex-export.h"
#include "viewer/output.h"
#include "viewer/walk.h"

namespace kavrex_export {
namespace {

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

bool export_record(const unsigned char* slot, std::int32_t index) {
  JsonLine line(g_record_buffer, sizeof g_record_buffer);
  if (!record_line(line, slot, index)) return false;
  emit(line);
  return true;
}

void skipped(std::int32_t index) {
  JsonLine line(g_record_buffer, sizeof g_record_buffer);
  skipped_line(line, index);
  emit(line);
}

// What the reader said about an overrun in its last step becomes an event.
void stepped(std::int32_t from, std::int32_t to) {
  char said[sizeof kMaxSkip];
  std::size_t got = take_capture(said, sizeof said - 1);
  said[got] = '\0';
  if (std::strcmp(said, kSkipAhead) == 0) event("overrun", "ahead", from, to);
  if (std::strcmp(said, kMaxSkip) == 0) event("overrun", "max", from, to);
}

void gone(std::int32_t pid) {
  JsonLine line(g_event_buffer, sizeof g_event_buffer);
  line.begin();
  line.string("kind", "server_gone");
  line.number("pid", pid);
  line.end();
  emit(line);
}

constexpr kvf::WalkSink kJson{export_record, skipped, stepped, gone, flush_output};

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
  const unsigned char* block = kvf::control_block();
  std::uint64_t ring = block ? kvf::ring_address(block) : 0;
  if (ring == 0) return 0;
  if (!kvf::ring_readable(ring)) {
    kvf::report_ring_outside("kavrex-export");
    return 1;
  }
  kvf::walk_once(kJson);
  return 0;
}

void walk_tail() { kvf::walk_tail(kJson); }

}  // namespace kavrex_export
