// version.cpp -- the build identification and the version report. The
// build host's name comes from the build (KAVREX_BUILD_HOST).
#include "startup/version.h"

#include <cstdio>
#include <cstring>

#include "startup/exit_program.h"

#ifndef KAVREX_BUILD_HOST
#define KAVREX_BUILD_HOST "unknown"
#endif

namespace kvf {

const BuildInfo& build_info() {
  static const BuildInfo info{"7.40.QX3",
                              "N046",
                              KAVREX_BUILD_HOST,
                              "Windows_NT 6",
                              "Mon Oct 23 14:02:00 CDT 2017",
                              "2017-10-23T11:30:35-05",
                              "loclib-3.20.QX4"};
  return info;
}

void version_report(int argc, const char* first, const char* banner, const char* program) {
  if (argc != 2 || !first) return;
  if (std::strcmp(first, "-version") == 0) {
    const BuildInfo& b = build_info();
    std::printf("Program Name:\t\t%s\n", program);
    std::printf("Build Version:\t\t%s\n", b.version);
    std::printf("Build Number:\t\t%s\n", b.number);
    std::printf("Build Host:\t\t%s\n", b.host);
    std::printf("Build OS:\t\t%s\n", b.os);
    std::printf("Build Date:\t\t%s\n", b.date);
    std::printf("Build Timestamp:\t%s\n", b.timestamp);
    std::printf("LCL Version:\t\t%s\n", b.locale_library);
    exit_program(0);
  }
  if (std::strcmp(first, "-V") == 0) {
    std::printf("%s\n", banner);
    exit_program(0);
  }
}

}  // namespace kvf
