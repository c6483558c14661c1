// command_line.h -- the command-line conventions the companion programs
// share: getopt_long with glibc's own messages turned off and ours in their
// place, -h/--help and --version, and the form of a usage error.
//
// A usage error is one line naming the problem, "NAME: problem", then
// "Try 'NAME --help' for more information.", both on standard error, and
// status 2. Options may come before or after the operands (getopt_long's
// permutation) unless the short-option string starts with '+'; "--" ends
// the options.
#pragma once

#include <getopt.h>

#include <string>

namespace kvf::cli {

// The project's version, as the build's project() declares it.
extern const char* const kVersion;

// Codes of options that have no letter: above every character, so that
// they never meet a short option's code.
inline constexpr int kVersionCode = 256;
inline constexpr int kFirstLongCode = 257;

// One pass of getopt_long over an argument vector. Each long option must
// have a code (val) of its own, or its short letter's; `flag` pointers are
// not supported.
class OptionParser {
 public:
  // `shorts` as getopt_long takes it, without a ':' of its own (one is put
  // in, so that a missing value can be told from an unknown option).
  OptionParser(int argc, char** argv, const char* shorts, const option* longs);

  // The next option's code; -1 when the options are over (the operands
  // are then argv[operands()] onwards); kBad with error() saying why.
  int next();
  // The value of the option next() returned.
  const char* value() const { return optarg; }
  int operands() const { return optind; }
  const std::string& error() const { return error_; }

  static constexpr int kBad = '?';

 private:
  // "--name" of the long option with code `code`, or "-c".
  std::string spelled(int code, const char* element) const;
  bool ambiguous(const char* element) const;

  int argc_;
  char** argv_;
  std::string shorts_;
  const option* longs_;
  std::string error_;
};

// `text` on standard output; 0, or 1 when it cannot be written.
int print_help(const char* text);
// "PROGRAM VERSION" on standard output; 0, or 1 when it cannot be written.
int print_version(const char* program);
// The usage error's two lines on standard error; returns 2.
int usage_error(const char* program, const std::string& problem);

}  // namespace kvf::cli
