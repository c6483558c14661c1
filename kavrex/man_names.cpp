// man_names.cpp -- a build step: fills kavrex(1) from its template, putting
// in place of the line "@TRACE_NAMES@" the list of every trace component and
// feature name with its number, taken from the catalogue tables the program
// itself uses, so that the page can never list a name the program does not
// know.
//
//   kavrex-man-names TEMPLATE PAGE
#include <cstdio>
#include <cstring>
#include <string>

#include "control/catalogues.h"
#include "platform/files.h"

namespace {

constexpr char kMarker[] = "@TRACE_NAMES@\n";

// The names with their numbers, one per line in catalogue order, the
// numbers in a column (a man page is read in a fixed-width font). Only a
// leading dot or quote or a backslash would need escaping in roff, and no
// catalogue name has one.
std::string names_section() {
  std::string out;
  for (bool component : {true, false}) {
    out += component ? ".SS Components\n" : ".SS Features\n";
    out += ".PP\n.nf\n";
    for (const kvf::CatalogueEntry& e : component ? kvf::component_catalogue() : kvf::feature_catalogue()) {
      char line[128];
      std::snprintf(line, sizeof line, "%-24s %4d\n", e.name, static_cast<int>(e.id));
      out += line;
    }
    out += ".fi\n";
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: kavrex-man-names TEMPLATE PAGE\n", stderr);
    return 2;
  }
  std::string page;
  if (int e = kvf::sys::read_file(argv[1], page)) {
    std::fprintf(stderr, "kavrex-man-names: %s: %s\n", argv[1], std::strerror(e));
    return 1;
  }
  std::size_t at = page.find(kMarker);
  if (at == std::string::npos || page.find(kMarker, at + 1) != std::string::npos) {
    std::fprintf(stderr, "kavrex-man-names: %s: needs the line %.*s exactly once\n", argv[1],
                 static_cast<int>(sizeof kMarker - 2), kMarker);
    return 1;
  }
  page.replace(at, sizeof kMarker - 1, names_section());
  kvf::sys::Replacement how{.temp = std::string(argv[2]) + ".new"};
  if (int e = kvf::sys::replace_file(argv[2], how, page.data(), page.size())) {
    std::fprintf(stderr, "kavrex-man-names: %s: %s\n", argv[2], std::strerror(e));
    return 1;
  }
  return 0;
}
