// kavrex-export.cpp -- kavrex-export: the trace records of a dump file or of
// the running server (attached read-only) as JSON Lines or as rows of an
// SQLite database, once or following the ring; or the catalogues' names. Status 0 when done, 1 on failure, 2
// for bad usage.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "control/catalogues.h"
#include "control/program_edge.h"
#include "tools/command_line.h"
#include "tools/export_sqlite.h"
#include "tools/kavrex-export.h"

namespace {

constexpr const char* kProgram = "kavrex-export";

constexpr const char* kUsage =
    "Usage: kavrex-export [-t] [--sqlite DB] [FILE]\n"
    "       kavrex-export --names\n"
    "Writes the trace records of the dump FILE, or of the server named by\n"
    "$VELMORANSERVER, as JSON Lines.\n"
    "\n"
    "  -t              follow the ring as it is written, until the server ends\n"
    "  --sqlite DB     write the records and events into tables of the SQLite\n"
    "                  database file DB instead of standard output\n"
    "  --names         list every component and feature name with its number\n"
    "  -h, --help      show this text\n"
    "  --version       show the version\n";

enum Code { kNames = kvf::cli::kFirstLongCode, kSqlite };

const option kLongOptions[] = {
    {"names", no_argument, nullptr, kNames},
    {"sqlite", required_argument, nullptr, kSqlite},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kvf::cli::kVersionCode},
    {nullptr, 0, nullptr, 0},
};

struct Request {
  enum { walk, names, help, version } what = walk;
  bool tail = false;
  const char* file = nullptr;
  const char* sqlite = nullptr;  // --sqlite DB
};

// Reads the command line into `r`; 0, or the status after a usage error.
int parse(int argc, char** argv, Request& r) {
  kvf::cli::OptionParser parser(argc, argv, "ht", kLongOptions);
  bool names = false;
  for (int code; (code = parser.next()) != -1;) {
    switch (code) {
      case 't': r.tail = true; break;
      case kNames: names = true; break;
      case kSqlite:
        r.sqlite = parser.value();
        if (!*r.sqlite) return kvf::cli::usage_error(kProgram, "empty file name after --sqlite");
        break;
      case 'h': r.what = Request::help; break;
      case kvf::cli::kVersionCode: r.what = Request::version; break;
      default: return kvf::cli::usage_error(kProgram, parser.error());
    }
  }
  int at = parser.operands();
  if (at < argc) r.file = argv[at++];
  if (at < argc) return kvf::cli::usage_error(kProgram, "unexpected argument '" + std::string(argv[at]) + "'");
  if (r.what != Request::walk) return 0;
  if (names) {
    if (r.tail || r.file) return kvf::cli::usage_error(kProgram, "--names takes neither -t nor a FILE");
    if (r.sqlite) return kvf::cli::usage_error(kProgram, "--names writes to no database");
    r.what = Request::names;
  }
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

// Obtains the image; false after a message.
bool obtain_image(const char* file) {
  // "stdin" is the dump reader's name for standard input; a file of that
  // name is read as a file.
  std::string path = file && std::strcmp(file, "stdin") == 0 ? "./stdin" : file ? file : "";
  if (!file) {
    const char* server = std::getenv("VELMORANSERVER");
    if (!server || !*server) {
      std::fputs("kavrex-export: no server: set VELMORANSERVER or name a dump file\n", stderr);
      return false;
    }
  }
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
  if (!obtain_image(r.file)) return 1;
  if (!kvf::usable_block_or_report()) {
    kvf::release_image(r.file);
    return 1;
  }
  if (r.tail) kavrex_export::walk_tail(state);
  int status = kavrex_export::walk_once(state);
  if (state.sqlite) {
    if (!sqlite.finish()) status = 1;
  } else {
    kavrex_export::flush_output();
  }
  kvf::release_image(r.file);
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
