// catalogue_path.cpp -- where a catalogue file is looked for: the nine
// candidate directories below the installation root, from DBLANG, the
// client locale and the English defaults.
#include <cstring>

#include <unistd.h>

#include "platform/files.h"
#include "startup/catalogue_state.h"
#include "startup/locale.h"
#include "startup/settings.h"

namespace kvf {
namespace {

constexpr std::size_t kPathSize = 260;
constexpr std::size_t kMaxRootAndFile = 232;

// A ".." component: at the start or after a "/", followed by the end or "/".
bool has_dotdot(const std::string& v) {
  for (std::size_t i = 0; i + 2 <= v.size(); ++i) {
    if (v.compare(i, 2, "..") != 0) continue;
    bool at_start = i == 0 || v[i - 1] == '/';
    bool at_end = i + 2 == v.size() || v[i + 2] == '/';
    if (at_start && at_end) return true;
  }
  return false;
}

bool has_value(const char* v) { return v && *v; }

bool one_or_two(const char* v) { return v && (std::strcmp(v, "1") == 0 || std::strcmp(v, "2") == 0); }

// Writes root + sub + "/" + dir + "/" + file into the path buffer when it
// fits; true when the file there can be read.
bool try_candidate(CatalogueState& s, const std::string& root, const char* sub,
                   const std::string& dir, const char* file) {
  std::size_t sub_len = std::strlen(sub), file_len = std::strlen(file);
  if (root.size() + sub_len + dir.size() + file_len + 3 >= kPathSize) return false;
  std::string p = root + sub;
  if (sub_len) p += "/";
  p += dir;
  if (!dir.empty()) p += "/";
  p += file;
  std::memcpy(s.path, p.c_str(), p.size() + 1);
  return sys::access(s.path, R_OK) == 0;
}

}  // namespace

bool find_catalogue_path(CatalogueState& s, const char* file, const char* locale) {
  if (!s.root_read) {
    const char* root = ggetenv_idx("VELMORANDIR", kVarVelmorandir);
    s.root = root ? root : "/usr/velmoran";
    s.root_read = true;
  }
  if (s.root.size() + std::strlen(file) > kMaxRootAndFile) return false;

  if (!s.dblang_read) {
    // An empty value (DBLANG=, a settings line "DBLANG" alone, an empty LANG
    // standing in for it) is no value: it would make candidates of
    // root/msg/F and root/F. Like an unset DBLANG it lets LANG stand in
    // under DBNLS, and it leaves the slot empty, so the next search reads
    // the variable again.
    const char* v = ggetenv_idx("DBLANG", kVarDblang);
    if (!has_value(v) && one_or_two(ggetenv_idx("DBNLS", kVarDbnls))) v = ggetenv_idx("LANG", kVarLang);
    if (has_value(v) && !has_dotdot(v)) {
      s.dblang = v;
      s.dblang_read = true;
    }
  }
  std::string client;
  bool have_client = false;
  if (!locale) {
    if (const char* c = ggetenv_idx("CLIENT_LOCALE", kVarClientLocale)) {
      client = c;
      have_client = true;
    }
  } else {
    client = locale;
    have_client = true;
    s.dblang_read = false;
    s.dblang.clear();
  }
  bool have_dblang = s.dblang_read && s.dblang.size() < kPathSize;
  if (client.size() >= kPathSize) have_client = false;

  std::string root = s.root;
  if (!root.empty() && root.back() != '/') root += "/";

  std::string dir;
  if (have_dblang) {
    if (try_candidate(s, root, "msg", s.dblang, file)) return true;
    if (try_candidate(s, root, "", s.dblang, file)) return true;
    if (locale_message_dir(s.dblang.c_str(), dir) && try_candidate(s, root, "msg", dir, file))
      return true;
  }
  if (have_client) {
    if (locale_message_dir(client.c_str(), dir) && try_candidate(s, root, "msg", dir, file))
      return true;
    if (try_candidate(s, root, "msg", client, file)) return true;
  }
  if (try_candidate(s, root, "msg", "en_us/0333", file)) return true;
  if (try_candidate(s, root, "msg", kEnglishLocale, file)) return true;
  if (try_candidate(s, root, "msg", "", file)) return true;
  try_candidate(s, root, "msg", "english", file);
  return true;
}

}  // namespace kvf
