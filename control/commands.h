// commands.h -- the control commands: levels, session filter, size, info.
//
// The commands return what went wrong instead of ending the program, so that
// tests can run them; the front end prints and ends.
#pragma once

#include <cstdint>
#include <cstdio>

namespace kvf {

enum class CommandStatus { ok, usage, unknown_component, unknown_feature };

struct CommandResult {
  CommandStatus status = CommandStatus::ok;
  const char* name = nullptr;  // the unknown name, for its message
};

// Level `level` (0..3) for the component and feature lists in argv[2..]:
// "-c" and "-f" switch lists; an empty list stands for every row or column.
// Every name is checked before any cell is written.
CommandResult set_level(unsigned char* block, int level, int argc, char** argv);

// The session filter from argv[2] (decimal digits only, 32-bit wrapping);
// without it the filter is switched off.
CommandResult set_session(unsigned char* block, int argc, char** argv);

// The front end's reading of a decimal argument: leading white space, an
// optional sign, digits up to the first other character (none: 0), clamped
// to the signed 32-bit range.
std::int32_t read_decimal(const char* text);

// The smallest ring size the size command accepts.
inline constexpr std::int32_t kMinRingSize = 5;

// Prints the settings as the tool's own command lines.
void show_info(const unsigned char* block, std::FILE* out);

}  // namespace kvf
