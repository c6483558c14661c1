// The source tree keeps its shape: the layer folders form a ladder (a file
// includes only its own folder and those below it), every source file is
// named in the build, so that a file no target lists cannot go unseen, and
// only the platform folder calls the system.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
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

// The text of a C++ source with its comments and its string and character
// literals blanked out (newlines kept, so that line numbers stay), leaving
// only code to search.
std::string code_only(const std::string& text) {
  std::string out = text;
  auto blank = [&](std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to && i < out.size(); ++i)
      if (out[i] != '\n') out[i] = ' ';
  };
  auto word_char = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
  std::size_t i = 0;
  while (i < text.size()) {
    if (text.compare(i, 2, "//") == 0) {
      std::size_t end = text.find('\n', i);
      end = end == std::string::npos ? text.size() : end;
      blank(i, end);
      i = end;
    } else if (text.compare(i, 2, "/*") == 0) {
      std::size_t end = text.find("*/", i + 2);
      end = end == std::string::npos ? text.size() : end + 2;
      blank(i, end);
      i = end;
    } else if (text[i] == 'R' && i + 1 < text.size() && text[i + 1] == '"' && (i == 0 || !word_char(text[i - 1]))) {
      std::size_t open = text.find('(', i + 2);
      std::string close = ")" + text.substr(i + 2, open - (i + 2)) + "\"";
      std::size_t end = text.find(close, open);
      end = end == std::string::npos ? text.size() : end + close.size();
      blank(i, end);
      i = end;
    } else if (text[i] == '"' || (text[i] == '\'' && (i == 0 || !std::isdigit(static_cast<unsigned char>(text[i - 1]))))) {
      char quote = text[i];
      std::size_t end = i + 1;
      while (end < text.size() && text[end] != quote && text[end] != '\n') end += text[end] == '\\' ? 2 : 1;
      blank(i, end + 1);
      i = end + 1;
    } else {
      ++i;
    }
  }
  return out;
}

// Calls of the system found in code: "file:line name" for each call of one of
// `names` that is neither a member call (x.read(...)) nor a call of one of the
// program's own functions (sys::read(...), out::write(...)): unqualified,
// global (::read) or from the standard library (std::rename). A name after
// a type is a declaration (void write(const char*)), not a call.
std::vector<std::string> system_calls(const std::string& file, const std::string& text,
                                      const std::set<std::string>& names) {
  static const std::regex name_then_paren(R"(\b([A-Za-z_]\w*)\s*\()");
  static const std::set<std::string> statement_words = {"return", "else", "do", "case", "throw", "co_return"};
  const std::string code = code_only(text);
  std::vector<std::string> found;
  for (auto it = std::sregex_iterator(code.begin(), code.end(), name_then_paren); it != std::sregex_iterator();
       ++it) {
    const std::string name = (*it)[1];
    if (!names.count(name)) continue;
    std::size_t at = static_cast<std::size_t>(it->position(1));
    std::size_t before = at;
    while (before > 0 && (code[before - 1] == ' ' || code[before - 1] == '\t')) --before;
    bool call = true;
    if (before >= 1 && code[before - 1] == '.') {
      call = false;  // member
    } else if (before >= 2 && code.compare(before - 2, 2, "->") == 0) {
      call = false;  // member
    } else if (before >= 2 && code.compare(before - 2, 2, "::") == 0) {
      // Qualified: the system's when global or the standard library's.
      std::size_t end = before - 2, start = end;
      while (start > 0 && (std::isalnum(static_cast<unsigned char>(code[start - 1])) || code[start - 1] == '_'))
        --start;
      std::string qualifier = code.substr(start, end - start);
      call = qualifier.empty() || qualifier == "std" || qualifier == "filesystem";
    } else {
      // Unqualified: a declaration when a type comes before it.
      std::size_t end = before, start = end;
      while (start > 0 && (std::isalnum(static_cast<unsigned char>(code[start - 1])) || code[start - 1] == '_'))
        --start;
      std::string word = code.substr(start, end - start);
      bool after_type = (!word.empty() && !statement_words.count(word)) ||
                        (before >= 1 && (code[before - 1] == '*' || code[before - 1] == '&'));
      call = !after_type;
    }
    if (!call) continue;
    int line = 1 + static_cast<int>(std::count(code.begin(), code.begin() + static_cast<std::ptrdiff_t>(at), '\n'));
    found.push_back(file + ":" + std::to_string(line) + " " + name);
  }
  return found;
}

// The system calls that only the platform folder makes: files, descriptors,
// System V shared memory, signals, processes and time.
const std::set<std::string> kPlatformCalls = {
    "open",      "openat",     "creat",     "read",       "write",   "pread",   "pwrite",   "readv",
    "writev",    "lseek",      "ftruncate", "fsync",      "fdatasync", "close", "rename",   "renameat",
    "unlink",    "unlinkat",   "mkdir",     "rmdir",      "stat",    "fstat",   "lstat",    "mkstemp",
    "fopen",     "access",     "chmod",     "fchmod",     "chown",   "opendir", "shmget",   "shmat",
    "shmdt",     "shmctl",     "shm_open",  "shm_unlink", "mmap",    "madvise", "sigaction", "signal",
    "sigaltstack", "setitimer", "kill",     "nanosleep",  "fork",    "_exit",   "dup2",     "socketpair",
    "time",
};

TEST(Layers, SystemCallsCanBeFoundAndToldFromTheProgramsOwn) {
  const std::set<std::string> names = {"read", "write", "close", "rename", "shmat"};
  const std::string text =
      "int read(int fd);  // read(fd) in a comment\n"
      "void* write(const char* s) { return \"write(1)\"; }\n"
      "int a = ::read(fd, b, 1);\n"
      "if (close(fd) != 0) std::rename(a, b);\n"
      "return shmat(id, nullptr, 0);\n"
      "sys::read(fd); out.write(p); r->close(); raw::close(fd); file_read(fd);\n"
      "/* shmat(1) */ char c = '('; auto s = R\"x(close(fd))x\"; kvf::out::write(s);\n"
      "else write(1, p, n);\n";
  EXPECT_EQ(system_calls("f.cpp", text, names),
            (std::vector<std::string>{"f.cpp:3 read", "f.cpp:4 close", "f.cpp:4 rename", "f.cpp:5 shmat",
                                      "f.cpp:8 write"}));
}

TEST(Layers, OnlyThePlatformFolderCallsTheSystem) {
  const fs::path root = KAVREX_SOURCE_DIR;
  std::vector<std::string> calls;
  for (const auto& rungs : kLadder)
    for (const std::string& folder : rungs) {
      if (folder == "platform") continue;
      for (const fs::path& file : sources_in(root / folder)) {
        std::string name = fs::relative(file, root).string();
        for (std::string& call : system_calls(name, test::read_file(file.string()), kPlatformCalls))
          calls.push_back(std::move(call));
      }
    }
  EXPECT_EQ(calls, std::vector<std::string>{});
}

}  // namespace
