// command_line.cpp -- the companions' shared option parsing and messages.
// The version comes from the build (KAVREX_VERSION, the project's version
// in CMake); this is the one file that spells it.
#include "tools/command_line.h"

#include <cstdio>
#include <cstring>

#ifndef KAVREX_VERSION
#error "KAVREX_VERSION must come from the build"
#endif

namespace kvf::cli {

const char* const kVersion = KAVREX_VERSION;

OptionParser::OptionParser(int argc, char** argv, const char* shorts, const option* longs)
    : argc_(argc), argv_(argv), longs_(longs) {
  // A leading '+' (stop at the first operand) must stay first.
  const char* rest = shorts;
  if (*rest == '+' || *rest == '-') shorts_ += *rest++;
  shorts_ += ':';
  shorts_ += rest;
  // Zero starts getopt afresh: a program may parse twice (a command's own
  // options), and a test or fuzzer many times in one process.
  optind = 0;
  opterr = 0;
}

std::string OptionParser::spelled(int code, const char* element) const {
  if (std::strncmp(element, "--", 2) == 0) {
    for (const option* o = longs_; o && o->name; ++o)
      if (o->val == code) return std::string("--") + o->name;
  }
  return std::string("-") + static_cast<char>(code);
}

// getopt_long reports an unknown and an ambiguous long option alike (code
// 0): an abbreviation that starts more than one name is the second.
bool OptionParser::ambiguous(const char* element) const {
  if (std::strncmp(element, "--", 2) != 0) return false;
  const char* name = element + 2;
  std::size_t n = std::strcspn(name, "=");
  int matches = 0;
  for (const option* o = longs_; o && o->name; ++o) {
    if (std::strncmp(o->name, name, n) != 0) continue;
    if (o->name[n] == '\0') return false;  // an exact name is never ambiguous
    ++matches;
  }
  return matches > 1;
}

int OptionParser::next() {
  int code = getopt_long(argc_, argv_, shorts_.c_str(), longs_, nullptr);
  if (code != ':' && code != '?') return code;
  // getopt_long has moved past the argument that held the bad option.
  const char* element = argv_[optind - 1];
  if (code == ':') {
    error_ = "option '" + spelled(optopt, element) + "' needs a value";
  } else if (optopt == 0) {
    error_ = ambiguous(element) ? "option '" + std::string(element, std::strcspn(element, "=")) + "' is ambiguous"
                                : "unknown option '" + std::string(element) + "'";
  } else if (std::strncmp(element, "--", 2) == 0) {
    // A long option that was found but given a value with '='.
    error_ = "option '" + spelled(optopt, element) + "' takes no value";
  } else {
    error_ = "unknown option '-" + std::string(1, static_cast<char>(optopt)) + "'";
  }
  return kBad;
}

int print_help(const char* text) {
  std::fputs(text, stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}

int print_version(const char* program) {
  std::printf("%s %s\n", program, kVersion);
  return std::fflush(stdout) == 0 ? 0 : 1;
}

int usage_error(const char* program, const std::string& problem) {
  std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", program, problem.c_str(), program);
  return 2;
}

}  // namespace kvf::cli
