// version.h -- the version report behind "-version" and "-V".
#pragma once

namespace kvf {

// Build identification, fixed when the program is built.
struct BuildInfo {
  const char* version;
  const char* number;
  const char* host;
  const char* os;
  const char* date;
  const char* timestamp;
  const char* locale_library;
};
const BuildInfo& build_info();

inline constexpr const char* kProductBanner = "Velmoran Server Version 7.40.QX3";

// Prints the report and ends the program with status 0 when argc is 2 and
// `first` is exactly "-version" or "-V"; returns otherwise.
void version_report(int argc, const char* first, const char* banner, const char* program);

}  // namespace kvf
