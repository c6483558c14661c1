// The source tree keeps its shape: the layer folders form a ladder (a file
// includes only its own folder and those below it), and every source file
// is named in the build, so that a file no target lists cannot go unseen.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/process.h"

namespace {

namespace fs = std::filesystem;

// The ladder, bottom first; folders on one rung may not include each other.
const std::vector<std::vector<std::string>> kLadder = {
    {"platform"}, {"layouts"}, {"startup"}, {"shm"}, {"control"}, {"viewer"}, {"kavrex", "tools"}};

int rung(const std::string& folder) {
  for (std::size_t i = 0; i < kLadder.size(); ++i)
    if (std::count(kLadder[i].begin(), kLadder[i].end(), folder)) return static_cast<int>(i);
  return -1;
}

std::vector<fs::path> sources_in(const fs::path& dir) {
  std::vector<fs::path> out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    std::string ext = e.path().extension().string();
    if (e.is_regular_file() && (ext == ".cpp" || ext == ".h")) out.push_back(e.path());
  }
  std::sort(out.begin(), out.end());
  return out;
}

// The folder named by each #include "folder/..." line of `text`.
std::set<std::string> included_folders(const std::string& text) {
  const std::regex include(R"(^\s*#\s*include\s+"([a-z_]+)/.*)");
  std::set<std::string> out;
  std::istringstream lines(text);
  std::smatch m;
  for (std::string line; std::getline(lines, line);)
    if (std::regex_match(line, m, include)) out.insert(m[1]);
  return out;
}

TEST(Layers, EachFolderIncludesOnlyItselfAndTheRungsBelow) {
  const fs::path root = KAVREX_SOURCE_DIR;
  std::vector<std::string> wrong;
  for (const auto& rungs : kLadder)
    for (const std::string& folder : rungs)
      for (const fs::path& file : sources_in(root / folder))
        for (const std::string& to : included_folders(test::read_file(file.string()))) {
          int r = rung(to);
          if (to != folder && (r < 0 || r >= rung(folder)))
            wrong.push_back(fs::relative(file, root).string() + " includes " + to + "/");
        }
  EXPECT_EQ(wrong, std::vector<std::string>{});
}

TEST(Layers, EverySourceFileIsNamedInTheBuild) {
  const fs::path root = KAVREX_SOURCE_DIR;
  std::vector<std::string> unlisted;
  for (const char* folder : {"platform", "startup", "shm", "control", "viewer", "kavrex", "tools", "sim", "tests",
                             "bench", "fuzz"}) {
    std::string cmake = test::read_file((root / folder / "CMakeLists.txt").string());
    for (const fs::path& file : sources_in(root / folder)) {
      if (file.extension() != ".cpp") continue;
      std::string name = fs::relative(file, root / folder).replace_extension().string();
      // Named with or without its extension (a loop over program names).
      if (cmake.find(name) == std::string::npos) unlisted.push_back(fs::relative(file, root).string());
    }
  }
  EXPECT_EQ(unlisted, std::vector<std::string>{});
}

}  // namespace
