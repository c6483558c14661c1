// kavrex-snap-stdout.cpp -- `-o -`: the snapshot's segments straight from
// the mapped memory to standard output, for a pipe (a compressor, ssh).
// There is no temporary file to clean up, so an interrupt may simply end
// the program; a reader that goes away is a write failure, not a signal.
#include <csignal>

#include "layouts/field.h"
#include "platform/files.h"
#include "platform/process.h"
#include "tools/kavrex-snap.h"

namespace kavrex_snap {

int write_to_stdout(const std::vector<Span>& spans, std::string& error) {
  kvf::sys::set_signal_action(SIGPIPE, SIG_IGN, 0);
  error = "cannot write standard output";
  for (const Span& s : spans) {
    const unsigned char* p = kvf::address(s.base);
    for (std::uint64_t left = s.size; left > 0;) {
      std::size_t n = left < (std::uint64_t{1} << 30) ? static_cast<std::size_t>(left) : std::size_t{1} << 30;
      if (int e = kvf::sys::write_all(1, p, n)) return e;
      p += n;
      left -= n;
    }
  }
  return 0;
}

}  // namespace kavrex_snap
