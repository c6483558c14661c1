// host.cpp -- the computer name from gethostname, and case-blind name
// comparison for account, group and machine names.
#include "startup/host.h"

#include <cctype>
#include <cstddef>

#include <unistd.h>

namespace kvf {

std::string computer_name() {
  char buf[256] = {};
  if (gethostname(buf, sizeof buf - 1) != 0) return "LOCALHOST";
  std::string name;
  for (const char* p = buf; *p && *p != '.' && name.size() < 15; ++p)
    name += static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
  return name;
}

bool same_name(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

}  // namespace kvf
