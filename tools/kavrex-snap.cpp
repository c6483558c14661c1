// kavrex-snap.cpp -- kavrex-snap: attaches read-only to a running server, as
// kavrex does, and saves its shared memory as a dump file that kavrex reads.
// Status 0 when written, 1 on failure, 2 for bad usage.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <unistd.h>

#include "control/program_edge.h"
#include "platform/process.h"
#include "tools/kavrex-snap.h"

namespace {

constexpr const char* kUsage =
    "usage: kavrex-snap [-o FILE] [SERVER]\n"
    "       saves the shared memory of SERVER (default $VELMORANSERVER) to FILE\n"
    "       (default SERVER-YYYYMMDDTHHMMSSZ.dump in the current directory)\n";

int usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

extern "C" void on_stop(int) { kavrex_snap::request_stop(); }

// Stops the write at its next chunk rather than ending with a temporary
// file left behind; the write removes it and fails.
void install_stop_handlers() {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) kvf::sys::set_signal_action(sig, on_stop, 0);
}

std::string default_name(const std::string& server) {
  char stamp[32];
  std::time_t now = kvf::sys::now();
  std::tm utc{};
  gmtime_r(&now, &utc);
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
  std::string name = server + "-" + stamp + ".dump";
  // The name stays in the current directory whatever the server is called.
  for (char& c : name)
    if (c == '/') c = '_';
  return name;
}

}  // namespace

int main(int argc, char** argv) {
  std::string output;
  const char* server = nullptr;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "-o") {
      if (++i == argc || !*argv[i]) return usage();
      output = argv[i];
    } else if (arg.size() > 1 && arg[0] == '-') {
      return usage();
    } else if (server) {
      return usage();
    } else {
      server = argv[i];
    }
  }
  if (server) {
    if (!*server) return usage();
    ::setenv("VELMORANSERVER", server, 1);
  }
  server = std::getenv("VELMORANSERVER");
  if (!server || !*server) {
    std::fputs("kavrex-snap: no server: name one or set VELMORANSERVER\n", stderr);
    return usage();
  }
  if (output.empty()) output = default_name(server);

  if (kvf::obtain_image({.program = "kavrex-snap"}) != kvf::Obtained::ok) return 1;
  std::vector<kavrex_snap::Span> spans;
  std::string error;
  if (!kavrex_snap::plan_segments(spans, error)) {
    kvf::release_image(nullptr);
    std::fprintf(stderr, "kavrex-snap: %s\n", error.c_str());
    return 1;
  }
  install_stop_handlers();
  int code = kavrex_snap::write_snapshot(output, spans, ::isatty(2) == 1, error);
  kvf::release_image(nullptr);
  if (code != 0) {
    std::fprintf(stderr, "kavrex-snap: %s: %s%s\n", error.c_str(), std::strerror(code),
                 code == ENOSPC ? " (the disk is full; nothing was written)" : "");
    return 1;
  }
  std::uint64_t total = 0;
  for (const auto& s : spans) total += s.size;
  std::printf("%s: %zu segment(s), %llu bytes\n", output.c_str(), spans.size(),
              static_cast<unsigned long long>(total));
  return 0;
}
