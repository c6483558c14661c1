// options.cpp -- parses kavrex-sim's command line: long options with a value
// as the next argument or after '='; every value is checked.
#include "sim/options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

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
    "  --help              show this text\n"
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

}  // namespace

ParsedOptions parse_options(int argc, char** argv) {
  ParsedOptions r;
  Options& o = r.options;
  if (const char* s = std::getenv("VELMORANSERVER")) o.server = s;
  const char* d = std::getenv("VELMORANDIR");
  o.dir = d ? d : "/usr/velmoran";

  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    std::string name(arg), inline_value;
    bool has_inline = false;
    if (auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string_view::npos) {
      name = std::string(arg.substr(0, eq));
      inline_value = std::string(arg.substr(eq + 1));
      has_inline = true;
    }
    auto flag = [&](std::string_view n) {
      if (name != n) return false;
      if (has_inline) r.error = "option '" + name + "' takes no value";
      return true;
    };
    const char* value = nullptr;
    auto valued = [&](std::string_view n) {
      if (name != n) return false;
      if (has_inline) {
        value = inline_value.c_str();
      } else if (i + 1 < argc) {
        value = argv[++i];
      } else {
        r.error = "option '" + name + "' needs a value";
      }
      return true;
    };
    auto integer = [&](long long low, long long high, auto& field) {
      long long v = 0;
      if (!value) return;
      if (!to_integer(value, low, high, v))
        r.error = "invalid value '" + std::string(value) + "' for " + name;
      else
        field = static_cast<std::remove_reference_t<decltype(field)>>(v);
    };

    if (flag("--help")) r.help = true;
    else if (flag("--continuation")) o.continuation = true;
    else if (flag("--flat-out")) o.rate = 0;
    else if (flag("--on")) o.on = true;
    else if (flag("--alloc-failed")) o.alloc_failed = true;
    else if (valued("--server")) { if (value) o.server = value; }
    else if (valued("--dir")) { if (value) o.dir = value; }
    else if (valued("--dump")) { if (value) o.dump = value; }
    else if (valued("--registry")) { if (value) o.registry_group = value; }
    else if (valued("--base")) {
      if (value && (!to_address(value, o.base) || o.base == 0 || o.base % 4096 != 0))
        r.error = "invalid value '" + std::string(value) + "' for --base (a page-aligned address)";
    }
    else if (valued("--key")) integer(1, 0x7fff0000LL, o.key);
    else if (valued("--segments")) integer(1, 4000, o.segments);
    else if (valued("--pieces")) integer(1, 128, o.pieces);
    else if (valued("--records")) integer(1, 10000000, o.records);
    else if (valued("--max-records")) integer(1, 10000000, o.max_records);
    else if (valued("--threads")) integer(1, 64, o.threads);
    else if (valued("--rate")) integer(0, 100000000, o.rate);
    else if (valued("--count")) integer(0, INT64_MAX, o.count);
    else if (valued("--sessions")) integer(1, 1000000, o.sessions);
    else if (valued("--level")) integer(0, 15, o.level);
    else if (valued("--attach-value")) integer(INT16_MIN, INT16_MAX, o.attach_value);
    else r.error = "unknown option '" + std::string(arg) + "'";
    if (!r.error.empty()) return r;
  }
  if (r.help) return r;
  if (o.server.empty()) r.error = "no server name: give --server or set VELMORANSERVER";
  else if (o.server.find('/') != std::string::npos) r.error = "invalid server name '" + o.server + "'";
  if (o.max_records == 0) o.max_records = o.records > 16384 ? o.records : 16384;
  if (r.error.empty() && o.max_records < o.records)
    r.error = "--max-records is below --records";
  return r;
}

}  // namespace kvf::sim
