// view.h -- the four view commands as the front end calls them:
//   view   kvf_view(false, false, tail)     rview   kvf_view(true, false, tail)
//   fview  kvf_view(false, true, tail)      frview  kvf_view(true, true, tail)
#pragma once

namespace kvf {

// Prints the column header, then the ring once, or with `tail` for ever.
// Returns 0 when the view is done; returns 1 after a message on standard
// error when the ring header or its records array lies outside the image
// (nothing is walked then). With `tail` it does not return otherwise: the
// program ends with status 0 once the server process is gone.
// `dump`: the image is a loaded dump, which nothing writes while it is
// shown; the ring is then walked once on the threads sys::thread_count()
// gives (platform/threads.h).
int kvf_view(bool dorvel_compatible, bool full, bool tail, bool dump = false);

}  // namespace kvf
