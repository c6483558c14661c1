// kavrex-export-walk.cpp -- the export's sink for the viewer's walks: each
// record is read by read_record and written by record_json, and each other
// event of the walk (a jump of the reader, a record skipped, the server's
// end) becomes a line of its own; with --sqlite, each becomes a row.
//
// The filters choose among records only. The other lines go out whatever
// the filters say: each tells a reader of the stream that records were
// lost or that it ends, which holds for the records a filter would have
// passed too. With --stats they are counted instead (server_gone, which
// ends the stream, still goes out).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "control/control_block.h"
#include "platform/process.h"
#include "tools/export_filter.h"
#include "tools/export_sqlite.h"
#include "tools/export_stats.h"
#include "tools/kavrex-export.h"
#include "viewer/walk.h"

namespace kavrex_export {
namespace {

Export& state_of(void* context) { return *static_cast<Export*>(context); }

void emit_text(const std::string& text) {
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) {
    std::fprintf(stderr, "kavrex-export: cannot write the output: %s\n", std::strerror(errno));
    std::_Exit(1);
  }
}

// Following with --stats: once the wall-clock second has changed, the
// counts of the one before go out and start again. A second in which
// nothing was counted writes nothing, so that an idle server does not fill
// the output with empty objects.
void next_second(Export& state) {
  auto now = static_cast<std::int64_t>(kvf::sys::now());
  if (now == state.second) return;
  if (!state.stats->empty()) emit_text(state.stats->json());
  state.stats->reset();
  state.second = now;
}

// The limit is reached: what was counted goes out, or what went into the
// database is committed, and the program ends.
[[noreturn]] void finish(Export& state) {
  if (state.stats) emit_text(state.stats->json());
  if (state.sqlite && !state.sqlite->finish()) std::exit(1);
  flush_output();
  std::exit(0);
}

bool limit_reached(const Export& state) {
  return state.filter && state.filter->limit && state.passed >= *state.filter->limit;
}

bool export_record(void* context, const unsigned char* slot, std::int32_t index) {
  Export& state = state_of(context);
  Record record;
  if (!read_record(state.message, slot, index, record)) return false;
  if (state.filter && !passes(*state.filter, record)) return true;
  if (state.stats) {
    if (state.second != 0) next_second(state);
    state.stats->add(record);
  } else if (state.sqlite) {
    state.sqlite->record(record);
  } else {
    JsonLine line(state.record_buffer, sizeof state.record_buffer);
    record_json(line, record);
    emit(line);
  }
  ++state.passed;
  if (limit_reached(state)) finish(state);
  return true;
}

void skipped(void* context, std::int32_t index) {
  Export& state = state_of(context);
  if (state.stats) {
    // The message a faulted record's hex dumps showed is not counted, but
    // it is the record's own: the next record starts afresh.
    state.message.open = false;
    state.stats->skipped();
    return;
  }
  if (state.sqlite) return state.sqlite->skipped(state.message, index);
  JsonLine line(state.record_buffer, sizeof state.record_buffer);
  skipped_line(line, state.message, index);
  emit(line);
}

void overrun(void* context, const char* skip, std::int32_t from, std::int32_t to) {
  Export& state = state_of(context);
  if (state.stats) {
    state.stats->overrun();
    return;
  }
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
  if (state.stats && !state.stats->empty()) emit_text(state.stats->json());
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
  if (state.stats && state.second != 0) next_second(state);
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
  if (limit_reached(state)) finish(state);  // --limit 0
  const unsigned char* block = kvf::control_block();
  std::uint64_t ring = block ? kvf::ring_address(block) : 0;
  if (ring != 0 && !kvf::ring_readable(ring)) {
    kvf::report_ring_outside("kavrex-export");
    return 1;
  }
  if (ring != 0) kvf::walk_once(json_sink(state));
  if (state.stats) emit_text(state.stats->json());
  return 0;
}

void walk_tail(Export& state, bool new_only) {
  if (limit_reached(state)) finish(state);
  if (state.stats) state.second = static_cast<std::int64_t>(kvf::sys::now());
  kvf::walk_tail(json_sink(state), new_only ? kvf::TailStart::head : kvf::TailStart::oldest);
}

}  // namespace kavrex_export
