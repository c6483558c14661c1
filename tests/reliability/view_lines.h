// view_lines.h -- checks of what a full view (fview) prints while the
// stand-in server writes: every line whole and from one record, and the
// reader's messages in the order its skip rules allow.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace reliability {

struct ViewCheck {
  int records = 0;        // record lines printed, whole and consistent
  int torn = 0;           // record lines mixed from two records, each followed by an overrun message
                          // or a silent lap
  int skipping = 0;       // "possible buffer overrun, skipping ahead"
  int max_skip = 0;       // "possible buffer overrun, max skip ahead reached"
  int unreadable = 0;     // "buffer overrun or formatting error, records skipped"
  int silent_laps = 0;    // neighbours printed a whole number of ring laps apart, unannounced
  std::vector<std::string> problems;  // empty when every rule held
};

// Checks the output of one fview against the stand-in server's trace
// points. `one_pass`: a maximum skip must end the output. `ring_size`:
// bounds the number of ordinary skips (the distance starts at 20 and
// doubles while below half the ring). `gone_pid`: when not 0, the output
// must end with the gone message for it.
ViewCheck check_full_view(const std::string& out, bool one_pass, std::int32_t ring_size, int gone_pid = 0);

}  // namespace reliability
