// main.cpp -- kavrex-sim: runs the stand-in server until SIGINT, SIGTERM or
// SIGHUP, then removes its segments and information file and prints its
// counters. Signals are taken synchronously by the main thread; the writer
// threads never see them.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include <unistd.h>

#include "sim/options.h"
#include "sim/server.h"
#include "tools/command_line.h"
#include "tools/server_keys.h"

namespace {

void print_counters(const kvf::sim::Counters& c) {
  std::printf("kavrex-sim: trace points %llu\n", static_cast<unsigned long long>(c.trace_points));
  std::printf("kavrex-sim: records written %llu\n", static_cast<unsigned long long>(c.records));
  std::printf("kavrex-sim: records filtered %llu\n", static_cast<unsigned long long>(c.filtered));
  std::printf("kavrex-sim: ring replacements %llu\n", static_cast<unsigned long long>(c.replacements));
  std::fflush(stdout);
}

void dump(kvf::sim::Server& server, const std::string& path) {
  if (path.empty()) {
    std::fprintf(stderr, "kavrex-sim: no dump file: start with --dump FILE\n");
  } else if (server.write_dump(path)) {
    std::printf("kavrex-sim: dump written to %s\n", path.c_str());
    std::fflush(stdout);
  } else {
    std::fprintf(stderr, "kavrex-sim: cannot write dump %s: %s\n", path.c_str(), std::strerror(errno));
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  kvf::sim::ParsedOptions parsed = kvf::sim::parse_options(argc, argv);
  if (!parsed.error.empty()) return kvf::cli::usage_error("kavrex-sim", parsed.error);
  if (parsed.help) return kvf::cli::print_help(kvf::sim::kUsage);
  if (parsed.version) return kvf::cli::print_version("kavrex-sim");
  const kvf::sim::Options& o = parsed.options;

  if (!o.registry_group.empty()) {
    // The registry lives below the installation directory the server uses.
    ::setenv("VELMORANDIR", o.dir.c_str(), 1);
    kvf::ServerKeysResult keys;
    if (kvf::install_server_keys(o.server, o.registry_group, keys) != 0) {
      std::fprintf(stderr, "kavrex-sim: cannot set up the registry: %s\n", keys.error.c_str());
      return 1;
    }
    std::fputs(keys.report.c_str(), stdout);
  }

  // Block the signals before any thread starts, so that all of them come to
  // sigtimedwait below.
  sigset_t wanted;
  sigemptyset(&wanted);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2}) sigaddset(&wanted, s);
  pthread_sigmask(SIG_BLOCK, &wanted, nullptr);
  // A closed output must not end the server before it removes its memory.
  std::signal(SIGPIPE, SIG_IGN);

  std::unique_ptr<kvf::sim::Server> server;
  try {
    server = std::make_unique<kvf::sim::Server>(o);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kavrex-sim: %s\n", e.what());
    return 1;
  }
  std::printf("kavrex-sim: server %s, pid %d\n", o.server.c_str(), static_cast<int>(getpid()));
  std::printf("kavrex-sim: base 0x%llx, key 0x%x, %d segment(s) of %d piece(s)%s\n",
              static_cast<unsigned long long>(server->base()), static_cast<unsigned>(server->key()),
              server->segment_count(), o.pieces, o.continuation ? ", the second a -99 continuation" : "");
  std::printf("kavrex-sim: information file %s\n", server->info_path().c_str());
  server->start();
  std::printf("kavrex-sim: ready\n");

  bool reported_finish = false;
  for (;;) {
    timespec tick{0, 100 * 1000 * 1000};
    int sig = sigtimedwait(&wanted, nullptr, &tick);
    if (sig == SIGUSR1) dump(*server, o.dump);
    else if (sig == SIGUSR2) print_counters(server->counters());
    else if (sig == SIGINT || sig == SIGTERM || sig == SIGHUP) break;
    if (!reported_finish && server->finished()) {
      reported_finish = true;
      if (!o.dump.empty()) dump(*server, o.dump);
      std::printf("kavrex-sim: count reached\n");
    }
  }
  server->stop();
  print_counters(server->counters());
  int left = server->shut_down();
  if (left) {
    std::fprintf(stderr, "kavrex-sim: %d segment(s) or file(s) could not be removed\n", left);
    return 1;
  }
  return 0;
}
