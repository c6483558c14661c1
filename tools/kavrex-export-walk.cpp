// kavrex-export-walk.cpp -- the export's sink for the viewer's walks: each
// record is read by read_record and written by record_json, and each other
// event of the walk (a jump of the reader, a record skipped, the server's
// end) becomes a line of its own; with --sqlite, each becomes a row.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "control/control_block.h"
#include "tools/export_sqlite.h"
#include "tools/kavrex-export.h"
#include "viewer/walk.h"

namespace kavrex_export {
namespace {

Export& state_of(void* context) { return *static_cast<Export*>(context); }

bool export_record(void* context, const unsigned char* slot, std::int32_t index) {
  Export& state = state_of(context);
  Record record;
  if (!read_record(state.message, slot, index, record)) return false;
  if (state.sqlite) {
    state.sqlite->record(record);
    return true;
  }
  JsonLine line(state.record_buffer, sizeof state.record_buffer);
  record_json(line, record);
  emit(line);
  return true;
}

void skipped(void* context, std::int32_t index) {
  Export& state = state_of(context);
  if (state.sqlite) return state.sqlite->skipped(state.message, index);
  JsonLine line(state.record_buffer, sizeof state.record_buffer);
  skipped_line(line, state.message, index);
  emit(line);
}

void overrun(void* context, const char* skip, std::int32_t from, std::int32_t to) {
  Export& state = state_of(context);
  if (state.sqlite) return state.sqlite->overrun(skip, from, to);
  JsonLine line(state.event_buffer, sizeof state.event_buffer);
  line.begin();
  line.string("kind", "overrun");
  line.string("skip", skip);
  line.number("from", from);
  line.number("to", to);
  line.end();
  emit(line);
}

void skip_ahead(void* context, std::int32_t from, std::int32_t to) { overrun(context, "ahead", from, to); }
void max_skip(void* context, std::int32_t from, std::int32_t to) { overrun(context, "max", from, to); }

// A new ring adds no line: the records that follow carry their indexes in
// it.
void ring_replaced(void*, std::uint64_t, std::int32_t) {}

void gone(void* context, std::int32_t pid) {
  Export& state = state_of(context);
  if (state.sqlite) return state.sqlite->gone(pid);
  JsonLine line(state.event_buffer, sizeof state.event_buffer);
  line.begin();
  line.string("kind", "server_gone");
  line.number("pid", pid);
  line.end();
  emit(line);
}

void flush(void* context) {
  Export& state = state_of(context);
  if (state.sqlite) state.sqlite->poll();
  else flush_output();
}

kvf::WalkSink json_sink(Export& state) {
  return {&state, export_record, skip_ahead, max_skip, skipped, ring_replaced, gone, flush};
}

}  // namespace

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

int walk_once(Export& state) {
  const unsigned char* block = kvf::control_block();
  std::uint64_t ring = block ? kvf::ring_address(block) : 0;
  if (ring == 0) return 0;
  if (!kvf::ring_readable(ring)) {
    kvf::report_ring_outside("kavrex-export");
    return 1;
  }
  kvf::walk_once(json_sink(state));
  return 0;
}

void walk_tail(Export& state) { kvf::walk_tail(json_sink(state)); }

}  // namespace kavrex_export
