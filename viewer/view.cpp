// view.cpp -- the four view commands: the column header, then the ring
// walked once or followed, each record printed as a line.
#include "viewer/view.h"

#include "control/control_block.h"
#include "viewer/output.h"
#include "viewer/render.h"
#include "viewer/text.h"
#include "viewer/walk.h"

namespace kvf {
namespace {

constexpr char kSkipped[] = "buffer overrun or formatting error, records skipped\n";

bool g_dorvel_compatible = false;
bool g_full = false;

bool print(const unsigned char* slot, std::int32_t) {
  return kvf_print_record(slot, g_dorvel_compatible, g_full);
}

void skipped(std::int32_t) { out::write(kSkipped); }

void gone(std::int32_t pid) {
  char line[64];
  text::Text t(line, sizeof line);
  t.append("The server process ");
  char d[text::kDigitsMax];
  t.append(d, text::signed_decimal(d, pid));
  t.append(" is gone!\n");
  out::write(t.data(), t.size());
}

constexpr WalkSink kLines{print, skipped, nullptr, gone, out::flush};

}  // namespace

int kvf_view(bool dorvel_compatible, bool full, bool tail) {
  g_dorvel_compatible = dorvel_compatible;
  g_full = full;
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
  if (tail) walk_tail(kLines);
  walk_once(kLines);
  out::flush();
  return 0;
}

}  // namespace kvf
