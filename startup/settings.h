// settings.h -- the settings lookup: process environment, then the settings
// files, then built-in defaults, for the known variables of the server.
#pragma once

#include <cstddef>
#include <string>

namespace kvf {

// One row of the known-variable table.
struct KnownVariable {
  const char* name;
  const char* default_value;  // null: no default
  int flag;                   // carried along, not used by the lookup
  int max_length;             // 0: no limit
};

inline constexpr int kKnownVariableCount = 221;
extern const KnownVariable known_variables[kKnownVariableCount];

// Indexes of the rows that the tool's own paths read.
inline constexpr int kVarDblang = 9;
inline constexpr int kVarEnvignore = 18;
inline constexpr int kVarVelmorandir = 23;
inline constexpr int kVarVelmoranserver = 24;
inline constexpr int kVarDbnls = 49;
inline constexpr int kVarLang = 51;
inline constexpr int kVarLcCollate = 52;  // LC_COLLATE .. LC_TIME are 52..56
inline constexpr int kVarGlUseglu = 64;
inline constexpr int kVarDbLocale = 65;
inline constexpr int kVarClientLocale = 66;
inline constexpr int kVarServerLocale = 67;
inline constexpr int kVarVlmFreeFd = 118;

// Row index of a name, -1 when no row has it.
int known_variable_index(const char* name);

// Settings status of the calling thread after its last lookup: 0, -4 (the
// environment's value was too long), -7 (null name).
inline constexpr int kSettingsTooLong = -4;
inline constexpr int kSettingsNullName = -7;
int settings_status();

// The lookup. The value belongs to the environment or to the thread's
// settings table; null when the variable has no value.
const char* ggetenv(const char* name);
// The same; the session is carried along and does not change the result.
const char* ggetenv_ses(const char* name, int session);
// The same, finding the row by `index` when it is a valid row index.
const char* ggetenv_idx(const char* name, int index);

// Where the user settings file comes from: the home directory of the
// effective user from the password database. Tests replace the lookup; a
// null result means the account is unknown (".velmoran" in the current
// directory is read then).
using HomeLookup = bool (*)(std::string& home);
void set_home_lookup(HomeLookup lookup);  // null restores the default

// The largest VELMORANSERVER accepted by the server name check.
inline constexpr std::size_t kServerNameMax = 128;

}  // namespace kvf
