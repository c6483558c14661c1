// options.h -- the command line of kavrex-sim.
#pragma once

#include <cstdint>
#include <string>

#include "sim/image_builder.h"

namespace kvf::sim {

struct Options {
  std::string server;          // --server, else $VELMORANSERVER
  std::string dir;             // --dir, else $VELMORANDIR, else /usr/velmoran
  std::uint64_t base = kDefaultBase;
  std::int32_t key = 0;        // 0: a free run of keys
  int segments = 1;
  int pieces = 1;
  bool continuation = false;
  std::int32_t records = 1000;      // ring size at start
  std::int32_t max_records = 0;     // room of each ring area; 0: max(records, 16384)
  int threads = 2;
  double rate = 100;                // trace points per second in all; 0: flat out
  std::uint64_t count = 0;          // stop the writers after this many; 0: never
  int sessions = 4;                 // records carry sessions 1 to this
  bool on = false;                  // trace_on at start
  int level = 0;                    // every level cell at start
  bool alloc_failed = false;
  std::int16_t attach_value = 1;
  std::string dump;                 // dump file written on SIGUSR1 and at --count
  std::string registry_group;       // --registry: set up the server's keys first
};

struct ParsedOptions {
  Options options;
  bool help = false;     // -h or --help
  bool version = false;  // --version
  std::string error;  // non-empty: the message for a bad command line
};

// Reads argv (and the environment for the defaults above).
ParsedOptions parse_options(int argc, char** argv);

// The --help text.
extern const char* const kUsage;

}  // namespace kvf::sim
