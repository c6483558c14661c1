// retry.h -- the one loop that repeats a system call interrupted by a signal
// handler (EINTR). Nothing but the call itself runs in it, so it serves in
// signal handlers too.
#pragma once

#include <cerrno>
#include <utility>

namespace kvf::sys {

// Calls `call()` again for as long as it fails with EINTR, and returns its
// last result. A result equal to `failed` is a failure.
template <typename Call, typename Result = decltype(std::declval<Call&>()())>
Result retry(Call call, Result failed = static_cast<Result>(-1)) {
  Result r;
  do r = call();
  while (r == failed && errno == EINTR);
  return r;
}

}  // namespace kvf::sys
