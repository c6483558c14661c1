// settings.cpp -- ggetenv: the live environment first, then the thread's
// settings table, which is built on the thread's first lookup from the
// known-variable table and the two settings files (settings_file.cpp).
#include "startup/settings.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "startup/exit_program.h"
#include "startup/locale.h"
#include "startup/settings_table.h"

namespace kvf {
namespace {

// Set once per thread by its first lookup; lives as long as the thread.
thread_local SettingsTable t_settings;

// The too-long warning is printed at most once per process.
std::atomic<int> g_too_long_warnings{0};

void warn_too_long(const KnownVariable& row) {
  if (g_too_long_warnings.fetch_add(1) != 0) return;
  std::fputs("WARNING: \n", stderr);
  std::fflush(stderr);
  std::fprintf(stderr, "Environment variable %s is too long (maximum is %d characters).\n",
               row.name ? row.name : "(Unknown)", row.max_length);
  std::fflush(stderr);
  std::fprintf(stderr, "File: %s, line: %d, status: %d.\n", "osenv", 1599, kSettingsTooLong);
  std::fflush(stderr);
}

// Loads the thread's settings once; false makes the triggering lookup give
// null. The locale start is tried only by the first load: it reads settings
// itself, and its nested lookup does the actual load.
bool ensure_loaded(SettingsTable& s) {
  if (!s.locale_tried) {
    s.locale_tried = true;
    int rc = ensure_locale_started();
    if (rc != 0) return false;
  }
  if (s.loaded) return true;
  try {
    return load_settings(s) == 0;
  } catch (const std::bad_alloc&) {
    // No memory for the settings table itself: nothing can go on.
    exit_program(1);
  }
}

const char* lookup(const char* name, int index) {
  SettingsTable& s = t_settings;
  s.status = 0;
  if (!s.loaded || !s.locale_tried) {
    if (!ensure_loaded(s)) return nullptr;
  }
  bool valid_index = index >= 0 && index < kKnownVariableCount;
  if (const char* value = name ? std::getenv(name) : nullptr) {
    int row = valid_index ? index : known_variable_index(name);
    if (row >= 0) {
      const KnownVariable& kv = known_variables[row];
      if (kv.max_length > 0 && std::strlen(value) > static_cast<std::size_t>(kv.max_length)) {
        s.status = kSettingsTooLong;
        warn_too_long(kv);
        return nullptr;
      }
    }
    return value;
  }
  if (!name) {
    s.status = kSettingsNullName;
    return nullptr;
  }
  SettingEntry* entry = nullptr;
  if (valid_index && s.entries[index].index == index) entry = &s.entries[index];
  else entry = s.find(name);
  return entry ? entry->current() : nullptr;
}

}  // namespace

int settings_status() { return t_settings.status; }

const char* ggetenv(const char* name) { return lookup(name, -1); }

const char* ggetenv_ses(const char* name, int /*session*/) { return lookup(name, -1); }

const char* ggetenv_idx(const char* name, int index) { return lookup(name, index); }

}  // namespace kvf
