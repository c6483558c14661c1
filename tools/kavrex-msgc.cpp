// kavrex-msgc.cpp -- compiles a message catalogue source into a .vem file,
// or lists a .vem file back as source text. Status 2 for bad usage, 1 when
// a file cannot be read, parsed or written.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/files.h"
#include "tools/command_line.h"
#include "tools/vem_writer.h"

namespace {

constexpr const char* kProgram = "kavrex-msgc";

constexpr const char* kUsage =
    "Usage: kavrex-msgc [-w] -o OUTPUT.vem SOURCE.msg\n"
    "       kavrex-msgc -l CATALOGUE.vem\n"
    "Compiles a message catalogue source into a .vem file, or lists a .vem file\n"
    "back as source text.\n"
    "\n"
    "  -o OUTPUT.vem      the catalogue file to write\n"
    "  -w                 write the wide index even when the narrow one would do\n"
    "  -l CATALOGUE.vem   print the catalogue in the source format\n"
    "  -h, --help         show this text\n"
    "  --version          show the version\n";

const option kLongOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kvf::cli::kVersionCode},
    {nullptr, 0, nullptr, 0},
};

struct Request {
  enum { compile, list, help, version } what = compile;
  bool wide = false;
  std::string out, source, catalogue;
};

// Reads the command line into `r`; 0, or the status after a usage error.
int parse(int argc, char** argv, Request& r) {
  kvf::cli::OptionParser parser(argc, argv, "hwo:l:", kLongOptions);
  bool listing = false;
  for (int code; (code = parser.next()) != -1;) {
    switch (code) {
      case 'w': r.wide = true; break;
      case 'o': r.out = parser.value(); break;
      case 'l':
        listing = true;
        r.catalogue = parser.value();
        break;
      case 'h': r.what = Request::help; break;
      case kvf::cli::kVersionCode: r.what = Request::version; break;
      default: return kvf::cli::usage_error(kProgram, parser.error());
    }
  }
  int at = parser.operands();
  if (at < argc) r.source = argv[at++];
  if (at < argc) return kvf::cli::usage_error(kProgram, "unexpected argument '" + std::string(argv[at]) + "'");
  if (r.what != Request::compile) return 0;
  if (listing) {
    if (r.wide || !r.out.empty() || !r.source.empty())
      return kvf::cli::usage_error(kProgram, "-l takes no other option and no SOURCE");
    if (r.catalogue.empty()) return kvf::cli::usage_error(kProgram, "empty file name after -l");
    r.what = Request::list;
    return 0;
  }
  if (r.out.empty()) return kvf::cli::usage_error(kProgram, "no output file: give -o OUTPUT.vem");
  if (r.source.empty()) return kvf::cli::usage_error(kProgram, "no source file: name SOURCE.msg");
  return 0;
}

// The whole file; false with errno set when it cannot be read.
bool read_whole(const std::string& path, std::string& out) {
  int e = kvf::sys::read_file(path.c_str(), out);
  errno = e;
  return e == 0;
}

int fail(const std::string& what) {
  std::fprintf(stderr, "kavrex-msgc: %s\n", what.c_str());
  return 1;
}

int list(const std::string& path) {
  std::string bytes, error;
  if (!read_whole(path, bytes)) return fail("cannot read " + path + ": " + std::strerror(errno));
  std::vector<kvf::vem::Message> messages;
  if (!kvf::vem::read_catalogue(bytes, messages, error)) return fail(path + ": " + error);
  std::fputs(kvf::vem::format_source(messages).c_str(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}

int compile(const std::string& source_path, const std::string& out_path, bool wide) {
  std::string source, error, bytes;
  if (!read_whole(source_path, source))
    return fail("cannot read " + source_path + ": " + std::strerror(errno));
  std::vector<kvf::vem::Message> messages;
  if (!kvf::vem::parse_source(source, messages, error)) return fail(source_path + ": " + error);
  if (!kvf::vem::build_catalogue(messages, wide, bytes, error)) return fail(source_path + ": " + error);
  kvf::sys::Replacement how{.temp = out_path + ".tmp"};
  int e = kvf::sys::replace_file(out_path.c_str(), how, bytes.data(), bytes.size());
  if (e == 0) return 0;
  // The file named is the one that could not be written: the temporary file
  // until it is whole, the catalogue itself when the rename fails.
  const std::string& failed = how.failed == kvf::sys::ReplaceStep::rename ? out_path : how.temp;
  return fail("cannot write " + failed + ": " + std::strerror(e));
}

}  // namespace

int main(int argc, char** argv) {
  Request request;
  if (int status = parse(argc, argv, request)) return status;
  switch (request.what) {
    case Request::help: return kvf::cli::print_help(kUsage);
    case Request::version: return kvf::cli::print_version(kProgram);
    case Request::list: return list(request.catalogue);
    case Request::compile: break;
  }
  return compile(request.source, request.out, request.wide);
}
