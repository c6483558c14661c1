// settings_file.cpp -- loading the thread's settings table: the system file
// $VELMORANDIR/etc/velmoran.rc, then ~/.velmoran, then the DBNLS derivation
// of the locale categories.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include "platform/files.h"
#include "startup/settings.h"
#include "startup/settings_table.h"

namespace kvf {
namespace {

bool password_home(std::string& home) {
  struct passwd* pw = ::getpwuid(::geteuid());
  if (!pw || !pw->pw_dir) return false;
  home = pw->pw_dir;
  return true;
}

HomeLookup g_home_lookup = password_home;  // replaced by tests only

bool is_locale_variable(const std::string& name) {
  return name == "LANG" || name == "LC_COLLATE" || name == "LC_CTYPE" ||
         name == "LC_MONETARY" || name == "LC_NUMERIC" || name == "LC_TIME" || name == "DBNLS";
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

void apply_line(SettingsTable& table, const std::string& line) {
  if (line.empty() || line[0] == '#') return;
  std::size_t end = 0;
  while (end < line.size() && !is_blank(line[end])) ++end;
  std::string name = line.substr(0, end);
  std::size_t start = end;
  while (start < line.size() && is_blank(line[start])) ++start;
  std::string value = line.substr(start);
  SettingEntry* entry = table.find(name);
  if (!entry || table.ignored.count(name)) return;
  if (value.empty() && is_locale_variable(name)) return;
  entry->values.push_back(value);
  entry->set_by_file = true;
}

bool is_one_or_two(const char* v) { return v && (std::strcmp(v, "1") == 0 || std::strcmp(v, "2") == 0); }

// With DBNLS 1 or 2 the locale categories come from the files or from LANG.
void derive_locale_categories(SettingsTable& table) {
  const char* dbnls = std::getenv("DBNLS");
  if (!dbnls) dbnls = table.entries[kVarDbnls].current();
  if (!is_one_or_two(dbnls)) return;
  for (int i = kVarLcCollate; i < kVarLcCollate + 5; ++i) {
    SettingEntry& entry = table.entries[i];
    const char* env = std::getenv(entry.name);
    bool env_empty = env && !*env;
    if ((!env || env_empty) && entry.set_by_file) {
      if (env_empty) ::setenv(entry.name, entry.current(), 1);
      continue;
    }
    std::string lang;
    const char* env_lang = std::getenv("LANG");
    const SettingEntry& lang_entry = table.entries[kVarLang];
    if (env_lang && *env_lang) lang = env_lang;
    else if (lang_entry.set_by_file) lang = lang_entry.current();
    else lang = "en_us.8859-1";
    entry.values.push_back(lang);
    if (env_empty) ::setenv(entry.name, lang.c_str(), 1);
  }
}

}  // namespace

void set_home_lookup(HomeLookup lookup) { g_home_lookup = lookup ? lookup : password_home; }

SettingEntry* SettingsTable::find(const std::string& name) {
  int i = known_variable_index(name.c_str());
  return i < 0 || entries.empty() ? nullptr : &entries[static_cast<std::size_t>(i)];
}

int read_settings_file(SettingsTable& table, const std::string& path) {
  int fd = sys::open(path.c_str(), O_RDONLY);
  if (fd < 0) {
    if (errno == ENOMEM) return -2;
    return errno == ENOENT || errno == ENOTDIR ? 0 : -1;
  }
  int rc = 0;
  try {
    std::string line;
    line.reserve(128);
    char buffer[4096];
    // The end of the file or a byte 0xFF ends the reading; a line without
    // its newline is not used. A failed read ends it too, after the lines
    // before it.
    for (bool more = true; more;) {
      ssize_t n = sys::read(fd, buffer, sizeof buffer);
      if (n < 0) rc = -1;
      if (n <= 0) break;
      for (ssize_t i = 0; i < n && more; ++i) {
        char c = buffer[i];
        if (static_cast<unsigned char>(c) == 0xFF) {
          more = false;
        } else if (c == '\n') {
          apply_line(table, line);
          line.clear();
        } else {
          if (line.size() == line.capacity()) line.reserve(line.capacity() + 128);
          line.push_back(c);
        }
      }
    }
  } catch (const std::bad_alloc&) {
    rc = -2;
  }
  sys::close(fd);
  return rc;
}

int load_settings(SettingsTable& table) {
  table.entries.clear();
  table.entries.reserve(kKnownVariableCount);
  for (int i = 0; i < kKnownVariableCount; ++i) {
    const KnownVariable& kv = known_variables[i];
    SettingEntry entry;
    entry.name = kv.name;
    entry.index = i;
    entry.max_length = kv.max_length;
    entry.flag = kv.flag;
    if (kv.default_value) entry.values.emplace_back(kv.default_value);
    table.entries.push_back(std::move(entry));
  }
  table.loaded = true;

  if (const char* ignore = std::getenv("ENVIGNORE")) {
    std::string list = ignore;
    std::size_t start = 0;
    for (;;) {
      std::size_t colon = list.find(':', start);
      table.ignored.insert(list.substr(start, colon == std::string::npos ? colon : colon - start));
      if (colon == std::string::npos) break;
      start = colon + 1;
    }
  }

  const char* dir = std::getenv("VELMORANDIR");
  int rc = read_settings_file(table, std::string(dir ? dir : "/usr/velmoran") + "/etc/velmoran.rc");
  if (rc == 0) {
    std::string home;
    std::string user_file = g_home_lookup(home) ? home + "/.velmoran" : ".velmoran";
    rc = read_settings_file(table, user_file);
  }
  derive_locale_categories(table);
  return rc == -2 ? -1 : 0;
}

}  // namespace kvf
