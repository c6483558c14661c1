// kavrex-msgc.cpp -- compiles a message catalogue source into a .vem file,
// or lists a .vem file back as source text. Status 2 for bad usage, 1 when
// a file cannot be read, parsed or written.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/files.h"
#include "tools/vem_writer.h"

namespace {

int usage() {
  std::fputs("usage: kavrex-msgc [-w] -o OUTPUT.vem SOURCE.msg\n"
             "       kavrex-msgc -l CATALOGUE.vem\n",
             stderr);
  return 2;
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
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 2 && args[0] == "-l") return list(args[1]);
  bool wide = false;
  std::string out, source;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "-w") wide = true;
    else if (args[i] == "-o" && i + 1 < args.size() && out.empty()) out = args[++i];
    else if (!args[i].empty() && args[i][0] != '-' && source.empty()) source = args[i];
    else return usage();
  }
  if (out.empty() || source.empty()) return usage();
  return compile(source, out, wide);
}
