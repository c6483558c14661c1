// view.cpp -- the four view commands: the column header, then the ring
// walked once or followed. The views are the walk's sink that prints: each
// record as a line, the reader's jumps and the skipped records as notes
// between the lines, and the server's end.
#include "viewer/view.h"

#include "control/control_block.h"
#include "platform/threads.h"
#include "viewer/expand.h"
#include "viewer/output.h"
#include "viewer/render.h"
#include "viewer/text.h"
#include "viewer/walk.h"
#include "viewer/walk_threads.h"

namespace kvf {
namespace {

constexpr char kSkipAhead[] = "possible buffer overrun, skipping ahead\n";
constexpr char kMaxSkip[] = "possible buffer overrun, max skip ahead reached\n";
constexpr char kSkipped[] = "buffer overrun or formatting error, records skipped\n";

// The sink's context: the layout the lines are printed in, and whether the
// walk is one pass over a dump, which nothing writes while it is shown.
struct Layout {
  bool dorvel_compatible;
  bool full;
  bool kept;
};

bool print(void* context, const unsigned char* slot, std::int32_t) {
  const Layout& layout = *static_cast<const Layout*>(context);
  if (layout.kept) return kvf_print_kept_record(slot, layout.dorvel_compatible, layout.full);
  return kvf_print_record(slot, layout.dorvel_compatible, layout.full);
}

void skip_ahead(void*, std::int32_t, std::int32_t) { out::write(kSkipAhead); }
void max_skip(void*, std::int32_t, std::int32_t) { out::write(kMaxSkip); }
void skipped(void*, std::int32_t) { out::write(kSkipped); }
// A new ring continues the view without a word: the lines go on.
void ring_replaced(void*, std::uint64_t, std::int32_t) {}

void gone(void*, std::int32_t pid) {
  char line[64];
  text::Text t(line, sizeof line);
  t.append("The server process ");
  char d[text::kDigitsMax];
  t.append(d, text::signed_decimal(d, pid));
  t.append(" is gone!\n");
  out::write(t.data(), t.size());
}

void flush(void*) { out::flush(); }

}  // namespace

int kvf_view(bool dorvel_compatible, bool full, bool tail, bool dump) {
  Layout layout{dorvel_compatible, full, false};
  const WalkSink lines{&layout, print, skip_ahead, max_skip, skipped, ring_replaced, gone, flush};
  kvf_print_header(full);
  const unsigned char* block = control_block();
  std::uint64_t ring = block ? ring_address(block) : 0;
  // No ring at the start: the header alone, and the command ends, with or
  // without -t. A tail that is already running waits for a dropped ring to
  // come back instead.
  if (ring == 0) {
    out::flush();
    return 0;
  }
  // A ring outside the loaded image (a damaged dump) is refused before any
  // walk: every slot of it would only fault.
  if (!ring_readable(ring)) {
    out::flush();
    report_ring_outside("kavrex");
    return 1;
  }
  if (tail) walk_tail(lines);
  if (dump) {
    // The lines' sink writes only through out:: and keeps nothing but what
    // it may keep for this walk: a dump's records may be rendered on
    // several threads.
    layout.kept = true;
    new_kept_walk();
    walk_once_on_threads(lines, sys::thread_count());
  } else {
    walk_once(lines);
  }
  out::flush();
  return 0;
}

}  // namespace kvf
