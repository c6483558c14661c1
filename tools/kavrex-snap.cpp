// kavrex-snap.cpp -- kavrex-snap: attaches read-only to a running server, as
// kavrex does, and saves its shared memory as a dump file that kavrex reads,
// or writes it to standard output; or checks a dump file's headers.
// Status 0 when written (or whole), 1 on failure, 2 for bad usage.
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
#include "tools/command_line.h"
#include "tools/kavrex-snap.h"

namespace {

constexpr const char* kProgram = "kavrex-snap";

constexpr const char* kUsage =
    "Usage: kavrex-snap [-o FILE] [SERVER]\n"
    "       kavrex-snap --check FILE\n"
    "Saves the shared memory of SERVER (default $VELMORANSERVER) as a dump file,\n"
    "or checks that a dump file is whole.\n"
    "\n"
    "  -o FILE         write the dump to FILE (default SERVER-YYYYMMDDTHHMMSSZ.dump\n"
    "                  in the current directory); '-' for standard output\n"
    "  --check FILE    read the headers of the dump FILE and say whether it is\n"
    "                  whole: its segments, bytes and trace ring\n"
    "  -h, --help      show this text\n"
    "  --version       show the version\n";

enum Code { kCheck = kvf::cli::kFirstLongCode };

const option kLongOptions[] = {
    {"check", required_argument, nullptr, kCheck},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kvf::cli::kVersionCode},
    {nullptr, 0, nullptr, 0},
};

struct Request {
  enum { snapshot, check, help, version } what = snapshot;
  std::string output;  // -o; "-" for standard output
  const char* server = nullptr;
  const char* dump = nullptr;  // --check
};

// Reads the command line into `r`; 0, or the status after a usage error.
int parse(int argc, char** argv, Request& r) {
  kvf::cli::OptionParser parser(argc, argv, "ho:", kLongOptions);
  for (int code; (code = parser.next()) != -1;) {
    switch (code) {
      case 'o':
        if (!*parser.value()) return kvf::cli::usage_error(kProgram, "empty file name after -o");
        r.output = parser.value();
        break;
      case kCheck: r.dump = parser.value(); break;
      case 'h': r.what = Request::help; break;
      case kvf::cli::kVersionCode: r.what = Request::version; break;
      default: return kvf::cli::usage_error(kProgram, parser.error());
    }
  }
  int at = parser.operands();
  if (at < argc) r.server = argv[at++];
  if (at < argc) return kvf::cli::usage_error(kProgram, "unexpected argument '" + std::string(argv[at]) + "'");
  if (r.what != Request::snapshot) return 0;
  if (r.dump) {
    if (!r.output.empty() || r.server)
      return kvf::cli::usage_error(kProgram, "--check takes neither -o nor a SERVER");
    if (!*r.dump) return kvf::cli::usage_error(kProgram, "empty file name after --check");
    r.what = Request::check;
    return 0;
  }
  if (r.server) {
    if (!*r.server) return kvf::cli::usage_error(kProgram, "empty server name");
    ::setenv("VELMORANSERVER", r.server, 1);
  }
  r.server = std::getenv("VELMORANSERVER");
  if (!r.server || !*r.server) return kvf::cli::usage_error(kProgram, "no server: name one or set VELMORANSERVER");
  return 0;
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

int snapshot(const Request& r) {
  bool to_stdout = r.output == "-";
  std::string output = r.output.empty() ? default_name(r.server) : r.output;
  // A dump is binary: on a terminal it would be noise that upsets the
  // terminal, not a copy of anything.
  if (to_stdout && ::isatty(1) == 1) {
    std::fprintf(stderr, "%s: standard output is a terminal: send the dump to a file or a pipe\n", kProgram);
    return 1;
  }
  if (kvf::obtain_image({.program = kProgram}) != kvf::Obtained::ok) return 1;
  std::vector<kavrex_snap::Span> spans;
  std::string error;
  if (!kavrex_snap::plan_segments(spans, error)) {
    kvf::release_image(nullptr);
    std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
    return 1;
  }
  int code;
  if (to_stdout) {
    code = kavrex_snap::write_to_stdout(spans, error);
  } else {
    install_stop_handlers();
    code = kavrex_snap::write_snapshot(output, spans, ::isatty(2) == 1, error);
  }
  kvf::release_image(nullptr);
  if (code != 0) {
    std::fprintf(stderr, "%s: %s: %s%s\n", kProgram, error.c_str(), std::strerror(code),
                 code == ENOSPC && !to_stdout ? " (the disk is full; nothing was written)" : "");
    return 1;
  }
  std::uint64_t total = 0;
  for (const auto& s : spans) total += s.size;
  // The summary goes where the dump does not.
  std::fprintf(to_stdout ? stderr : stdout, "%s: %zu segment(s), %llu bytes\n",
               to_stdout ? "standard output" : output.c_str(), spans.size(),
               static_cast<unsigned long long>(total));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Request request;
  if (int status = parse(argc, argv, request)) return status;
  switch (request.what) {
    case Request::help: return kvf::cli::print_help(kUsage);
    case Request::version: return kvf::cli::print_version(kProgram);
    case Request::check: return kavrex_snap::check_dump(request.dump);
    case Request::snapshot: break;
  }
  return snapshot(request);
}
