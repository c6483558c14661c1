// kavrex-snap-stdout.cpp -- `-o -`: the snapshot's segments straight from
// the mapped memory to standard output, for a pipe (a compressor, ssh).
// There is no temporary file to clean up, so an interrupt may simply end
// the program; a reader that goes away is a write failure, not a signal.
#include <cerrno>
#include <csignal>

#include <unistd.h>

#include "layouts/field.h"
#include "tools/kavrex-snap.h"

namespace kavrex_snap {

int write_to_stdout(const std::vector<Span>& spans, std::string& error) {
  std::signal(SIGPIPE, SIG_IGN);
  error = "cannot write standard output";
  for (const Span& s : spans) {
    const unsigned char* p = kvf::address(s.base);
    for (std::uint64_t left = s.size; left > 0;) {
      ssize_t done = ::write(1, p, left < (std::uint64_t{1} << 30) ? left : std::uint64_t{1} << 30);
      if (done < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      if (done == 0) return EIO;
      p += done;
      left -= static_cast<std::uint64_t>(done);
    }
  }
  return 0;
}

}  // namespace kavrex_snap
