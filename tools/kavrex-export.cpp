// kavrex-export.cpp -- kavrex-export: the trace records of a dump file (or
// one on standard input) or of the running server (attached read-only) as
// JSON Lines, counts or rows of an SQLite database, once or following the
// ring, filtered; or the catalogues' names. Status 0 when done, 1 on
// failure, 2 for bad usage.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "control/catalogues.h"
#include "control/program_edge.h"
#include "tools/command_line.h"
#include "tools/export_dump.h"
#include "tools/export_filter.h"
#include "tools/export_sqlite.h"
#include "tools/export_stats.h"
#include "tools/kavrex-export.h"

namespace {

constexpr const char* kProgram = "kavrex-export";

constexpr const char* kUsage =
    "Usage: kavrex-export [OPTION]... [FILE|-]\n"
    "       kavrex-export --names\n"
    "Writes the trace records of the dump FILE (- for a dump on standard input),\n"
    "or of the server named by $VELMORANSERVER, as JSON Lines.\n"
    "\n"
    "Records (all must hold; a LIST is comma-separated, any item may match):\n"
    "  -c, --component LIST  components, by catalogue name or number\n"
    "  -f, --feature LIST    features, by catalogue name or number\n"
    "  -s, --session LIST    session numbers\n"
    "  -p, --pid LIST        server process ids\n"
    "      --since TIME      records at TIME or later\n"
    "      --until TIME      records before TIME\n"
    "  -g, --grep REGEX      messages that match the POSIX extended REGEX\n"
    "  -n, --limit N         end after N records\n"
    "TIME is YYYY-MM-DD[THH:MM[:SS]] in local time, or @SECONDS since 1970.\n"
    "Overrun, skipped and server_gone lines go out whatever the filters say.\n"
    "\n"
    "  -t, --follow          follow the ring as it is written, until the server ends\n"
    "      --new             with -t, start at the newest record: only records\n"
    "                        written from now on\n"
    "      --stats           instead of the records, their counts as one JSON object\n"
    "                        at the end (with -t, one for each second)\n"
    "      --sqlite DB       write the records and events into tables of the SQLite\n"
    "                        database file DB instead of standard output\n"
    "      --allow-truncated load a dump that is shorter than its headers say\n"
    "      --names           list every component and feature name with its number\n"
    "  -h, --help            show this text\n"
    "      --version         show the version\n";

enum Code { kNames = kvf::cli::kFirstLongCode, kSince, kUntil, kNew, kStats, kAllowTruncated, kSqlite };

const option kLongOptions[] = {
    {"component", required_argument, nullptr, 'c'},
    {"feature", required_argument, nullptr, 'f'},
    {"session", required_argument, nullptr, 's'},
    {"pid", required_argument, nullptr, 'p'},
    {"since", required_argument, nullptr, kSince},
    {"until", required_argument, nullptr, kUntil},
    {"grep", required_argument, nullptr, 'g'},
    {"limit", required_argument, nullptr, 'n'},
    {"follow", no_argument, nullptr, 't'},
    {"new", no_argument, nullptr, kNew},
    {"stats", no_argument, nullptr, kStats},
    {"allow-truncated", no_argument, nullptr, kAllowTruncated},
    {"names", no_argument, nullptr, kNames},
    {"sqlite", required_argument, nullptr, kSqlite},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kvf::cli::kVersionCode},
    {nullptr, 0, nullptr, 0},
};

struct Request {
  enum { walk, names, help, version } what = walk;
  bool tail = false;
  bool new_only = false;
  bool stats = false;
  bool allow_truncated = false;
  bool selects = false;  // a filter option was given
  kavrex_export::Filter filter;
  const char* file = nullptr;
  const char* sqlite = nullptr;  // --sqlite DB
};

// The filter option `code` with its value added to `filter`; "" or the
// problem.
std::string add_filter(kavrex_export::Filter& filter, int code, const char* value) {
  using namespace kavrex_export;
  switch (code) {
    case 'c': return add_components(filter, value);
    case 'f': return add_features(filter, value);
    case 's': return add_sessions(filter, value);
    case 'p': return add_pids(filter, value);
    case kSince: return set_since(filter, value);
    case kUntil: return set_until(filter, value);
    case 'g': return set_grep(filter, value);
    case 'n': return set_limit(filter, value);
  }
  return "";
}

// Reads the command line into `r`; 0, or the status after a usage error.
int parse(int argc, char** argv, Request& r) {
  kvf::cli::OptionParser parser(argc, argv, "htc:f:s:p:g:n:", kLongOptions);
  bool names = false;
  for (int code; (code = parser.next()) != -1;) {
    switch (code) {
      case 't': r.tail = true; break;
      case kNew: r.new_only = true; break;
      case kStats: r.stats = true; break;
      case kAllowTruncated: r.allow_truncated = true; break;
      case kNames: names = true; break;
      case kSqlite:
        r.sqlite = parser.value();
        if (!*r.sqlite) return kvf::cli::usage_error(kProgram, "empty file name after --sqlite");
        break;
      case 'h': r.what = Request::help; break;
      case kvf::cli::kVersionCode: r.what = Request::version; break;
      case 'c': case 'f': case 's': case 'p': case kSince: case kUntil: case 'g': case 'n':
        if (std::string problem = add_filter(r.filter, code, parser.value()); !problem.empty())
          return kvf::cli::usage_error(kProgram, problem);
        r.selects = true;
        break;
      default: return kvf::cli::usage_error(kProgram, parser.error());
    }
  }
  int at = parser.operands();
  if (at < argc) r.file = argv[at++];
  if (at < argc) return kvf::cli::usage_error(kProgram, "unexpected argument '" + std::string(argv[at]) + "'");
  if (r.what != Request::walk) return 0;
  if (names) {
    if (r.tail || r.file) return kvf::cli::usage_error(kProgram, "--names takes neither -t nor a FILE");
    if (r.selects || r.new_only || r.stats || r.allow_truncated)
      return kvf::cli::usage_error(kProgram, "--names takes no other option");
    if (r.sqlite) return kvf::cli::usage_error(kProgram, "--names writes to no database");
    r.what = Request::names;
  }
  if (r.new_only && !r.tail) return kvf::cli::usage_error(kProgram, "--new needs -t");
  // The counts are a line of their own, which a database has no table for.
  if (r.stats && r.sqlite) return kvf::cli::usage_error(kProgram, "--stats and --sqlite cannot be combined");
  return 0;
}

// --names: one line per catalogue entry, components first, each catalogue
// in its own order.
int write_names() {
  char buffer[256];
  kavrex_export::JsonLine line(buffer, sizeof buffer);
  for (const char* kind : {"component", "feature"}) {
    bool component = std::strcmp(kind, "component") == 0;
    for (const kvf::CatalogueEntry& e : component ? kvf::component_catalogue() : kvf::feature_catalogue()) {
      line.begin();
      line.string("kind", kind);
      line.number("id", e.id);
      line.string("name", e.name);
      line.end();
      kavrex_export::emit(line);
    }
  }
  kavrex_export::flush_output();
  return 0;
}

// Obtains the image; false after a message. `path` is set to the file
// loaded (for a dump on standard input, its copy).
bool obtain_image(const Request& r, std::string& path) {
  const char* file = r.file;
  if (!file) {
    const char* server = std::getenv("VELMORANSERVER");
    if (!server || !*server) {
      std::fputs("kavrex-export: no server: set VELMORANSERVER or name a dump file\n", stderr);
      return false;
    }
  } else if (std::strcmp(file, "-") == 0) {
    path = kavrex_export::copy_standard_input(file);
    if (path.empty()) return false;
  } else {
    // "stdin" is the dump reader's name for standard input (which it does
    // not read); a file of that name is read as a file.
    path = std::strcmp(file, "stdin") == 0 ? "./stdin" : file;
  }
  if (file && kavrex_export::dump_refused(path.c_str(), file, r.allow_truncated)) return false;
  return kvf::obtain_image({.program = "kavrex-export",
                            .dump_file = file ? path.c_str() : nullptr,
                            .dump_name = file,
                            .read_write = false}) == kvf::Obtained::ok;
}

int walk(const Request& r) {
  static kavrex_export::Export state;  // the walk sink's buffers
  // The database first: one that cannot be used ends the run before the
  // server is attached.
  static kavrex_export::SqliteOutput sqlite;
  if (r.sqlite) {
    if (!sqlite.open(r.sqlite, r.tail)) return 1;
    state.sqlite = &sqlite;
  }
  std::string path;
  if (!obtain_image(r, path)) return 1;
  const char* loaded = r.file ? path.c_str() : nullptr;
  if (!kvf::usable_block_or_report()) {
    kvf::release_image(loaded);
    return 1;
  }
  static kavrex_export::Stats stats;
  state.filter = &r.filter;
  if (r.stats) state.stats = &stats;
  if (r.tail) kavrex_export::walk_tail(state, r.new_only);
  int status = kavrex_export::walk_once(state);
  if (state.sqlite) {
    if (!sqlite.finish()) status = 1;
  } else {
    kavrex_export::flush_output();
  }
  kvf::release_image(loaded);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  Request request;
  if (int status = parse(argc, argv, request)) return status;
  switch (request.what) {
    case Request::help: return kvf::cli::print_help(kUsage);
    case Request::version: return kvf::cli::print_version(kProgram);
    case Request::names: return write_names();
    case Request::walk: break;
  }
  return walk(request);
}
