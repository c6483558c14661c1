// settings_table.h -- the per-thread settings table behind ggetenv, and the
// loader that fills it from the settings files (inside the startup library).
#pragma once

#include <deque>
#include <set>
#include <string>
#include <vector>

#include "startup/settings.h"

namespace kvf {

// One known variable: a stack of values whose bottom is the built-in
// default. A deque keeps the addresses of older values when one is pushed,
// so a value handed out stays valid.
struct SettingEntry {
  const char* name = nullptr;
  int index = -1;
  int max_length = 0;
  int flag = 0;
  std::deque<std::string> values;
  bool set_by_file = false;

  const char* current() const { return values.empty() ? nullptr : values.back().c_str(); }
};

struct SettingsTable {
  bool loaded = false;
  bool locale_tried = false;
  int status = 0;
  std::vector<SettingEntry> entries;  // entries[i].index == i
  std::set<std::string> ignored;      // ENVIGNORE names

  SettingEntry* find(const std::string& name);
};

// Builds the table, reads ENVIGNORE and the settings files and derives the
// locale categories; 0, or -1 when a settings file ran out of memory (what
// was loaded so far stays).
int load_settings(SettingsTable& table);

// Reads one settings file into the table: 0 when read or missing, -1 when
// it could not be read, -2 when memory ran out.
int read_settings_file(SettingsTable& table, const std::string& path);

}  // namespace kvf
