// load_guard.h -- a helper process that removes the dump reader's segments
// when the tool dies between creating a segment and marking it for removal.
#pragma once

namespace kvf {

// Starts the helper once per process (later calls do nothing). It waits
// until this process has ended, however it ended, and then removes every
// segment this process created that nothing has attached. Returns false
// when it could not be started (the load goes on without it).
bool start_load_guard();

}  // namespace kvf
