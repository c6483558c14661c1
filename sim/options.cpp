// options.cpp -- parses kavrex-sim's command line with getopt_long: long
// options with a value as the next argument or after '='; every value is
// checked.
#include "sim/options.h"

#include <cerrno>
#include <cstdlib>

#include "tools/command_line.h"

namespace kvf::sim {

const char* const kUsage =
    "Usage: kavrex-sim [OPTION]...\n"
    "A stand-in database server: creates shared memory laid out as the server's,\n"
    "writes its information file and fills its trace ring from writer threads.\n"
    "\n"
    "  --server NAME       server name (default: $VELMORANSERVER)\n"
    "  --dir DIR           installation directory (default: $VELMORANDIR or /usr/velmoran)\n"
    "  --base ADDR         address of the first segment (default 0x200000000000)\n"
    "  --key KEY           key of the first segment (default: a free one)\n"
    "  --segments N        separately attached segments (default 1)\n"
    "  --pieces N          pieces per segment (default 1)\n"
    "  --continuation      add a -99 segment continuing the first one\n"
    "  --records N         ring size at start (default 1000)\n"
    "  --max-records N     largest ring that a size request gets (default max(records, 16384))\n"
    "  --threads N         writer threads (default 2)\n"
    "  --rate N            trace points per second in all (default 100)\n"
    "  --flat-out          as many trace points as the writers can run\n"
    "  --count N           stop the writers after N trace points\n"
    "  --sessions N        records belong to sessions 1 to N (default 4)\n"
    "  --on                start with tracing on\n"
    "  --level N           start with every level cell at N (0 to 15)\n"
    "  --alloc-failed      report a failed trace memory allocation\n"
    "  --attach-value N    the root record's attach value (default 1)\n"
    "  --dump FILE         write a dump of the memory to FILE on SIGUSR1 and\n"
    "                      when --count is reached\n"
    "  --registry GROUP    first create what is missing of the server's registry\n"
    "                      keys in DIR, with GROUP as its DBSA group\n"
    "  -h, --help          show this text\n"
    "  --version           show the version\n"
    "\n"
    "SIGINT, SIGTERM and SIGHUP end the server: it removes its segments and its\n"
    "information file and prints its counters. SIGUSR2 prints the counters.\n";

namespace {

bool to_integer(const char* text, long long low, long long high, long long& out) {
  if (!*text) return false;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text, &end, 0);
  if (errno || *end || v < low || v > high) return false;
  out = v;
  return true;
}

bool to_address(const char* text, std::uint64_t& out) {
  if (!*text || *text == '-') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text, &end, 0);
  if (errno || *end) return false;
  out = v;
  return true;
}

enum Code {
  kServer = cli::kFirstLongCode, kDir, kBase, kKey, kSegments, kPieces, kContinuation, kRecords,
  kMaxRecords, kThreads, kRate, kFlatOut, kCount, kSessions, kOn, kLevel, kAllocFailed, kAttachValue,
  kDump, kRegistry,
};

const option kLongOptions[] = {
    {"server", required_argument, nullptr, kServer},
    {"dir", required_argument, nullptr, kDir},
    {"base", required_argument, nullptr, kBase},
    {"key", required_argument, nullptr, kKey},
    {"segments", required_argument, nullptr, kSegments},
    {"pieces", required_argument, nullptr, kPieces},
    {"continuation", no_argument, nullptr, kContinuation},
    {"records", required_argument, nullptr, kRecords},
    {"max-records", required_argument, nullptr, kMaxRecords},
    {"threads", required_argument, nullptr, kThreads},
    {"rate", required_argument, nullptr, kRate},
    {"flat-out", no_argument, nullptr, kFlatOut},
    {"count", required_argument, nullptr, kCount},
    {"sessions", required_argument, nullptr, kSessions},
    {"on", no_argument, nullptr, kOn},
    {"level", required_argument, nullptr, kLevel},
    {"alloc-failed", no_argument, nullptr, kAllocFailed},
    {"attach-value", required_argument, nullptr, kAttachValue},
    {"dump", required_argument, nullptr, kDump},
    {"registry", required_argument, nullptr, kRegistry},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, cli::kVersionCode},
    {nullptr, 0, nullptr, 0},
};

// "--name" of a long option, for the messages about its value.
std::string long_name(int code) {
  for (const option* o = kLongOptions; o->name; ++o)
    if (o->val == code) return std::string("--") + o->name;
  return "?";
}

}  // namespace

ParsedOptions parse_options(int argc, char** argv) {
  ParsedOptions r;
  Options& o = r.options;
  if (const char* s = std::getenv("VELMORANSERVER")) o.server = s;
  const char* d = std::getenv("VELMORANDIR");
  o.dir = d ? d : "/usr/velmoran";

  cli::OptionParser parser(argc, argv, "h", kLongOptions);
  for (int code; r.error.empty() && (code = parser.next()) != -1;) {
    const char* value = parser.value();
    auto integer = [&](long long low, long long high, auto& field) {
      long long v = 0;
      if (!to_integer(value, low, high, v))
        r.error = "invalid value '" + std::string(value) + "' for " + long_name(code);
      else
        field = static_cast<std::remove_reference_t<decltype(field)>>(v);
    };
    switch (code) {
      case cli::OptionParser::kBad: r.error = parser.error(); break;
      case 'h': r.help = true; break;
      case cli::kVersionCode: r.version = true; break;
      case kContinuation: o.continuation = true; break;
      case kFlatOut: o.rate = 0; break;
      case kOn: o.on = true; break;
      case kAllocFailed: o.alloc_failed = true; break;
      case kServer: o.server = value; break;
      case kDir: o.dir = value; break;
      case kDump: o.dump = value; break;
      case kRegistry: o.registry_group = value; break;
      case kBase:
        if (!to_address(value, o.base) || o.base == 0 || o.base % 4096 != 0)
          r.error = "invalid value '" + std::string(value) + "' for --base (a page-aligned address)";
        break;
      case kKey: integer(1, 0x7fff0000LL, o.key); break;
      case kSegments: integer(1, 4000, o.segments); break;
      case kPieces: integer(1, 128, o.pieces); break;
      case kRecords: integer(1, 10000000, o.records); break;
      case kMaxRecords: integer(1, 10000000, o.max_records); break;
      case kThreads: integer(1, 64, o.threads); break;
      case kRate: integer(0, 100000000, o.rate); break;
      case kCount: integer(0, INT64_MAX, o.count); break;
      case kSessions: integer(1, 1000000, o.sessions); break;
      case kLevel: integer(0, 15, o.level); break;
      case kAttachValue: integer(INT16_MIN, INT16_MAX, o.attach_value); break;
    }
  }
  // The server takes no operands; one is reported as the option it is not.
  if (r.error.empty() && parser.operands() < argc)
    r.error = "unknown option '" + std::string(argv[parser.operands()]) + "'";
  if (!r.error.empty() || r.help || r.version) return r;
  if (o.server.empty()) r.error = "no server name: give --server or set VELMORANSERVER";
  else if (o.server.find('/') != std::string::npos) r.error = "invalid server name '" + o.server + "'";
  if (o.max_records == 0) o.max_records = o.records > 16384 ? o.records : 16384;
  if (r.error.empty() && o.max_records < o.records)
    r.error = "--max-records is below --records";
  return r;
}

}  // namespace kvf::sim
