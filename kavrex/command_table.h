// command_table.h -- the command words, in dispatch order.
//
// Each word has exactly two spellings, all lower and all upper case. The
// views are matched against the display word (which "-t" may move to the
// second argument); every other word against the first argument.
#pragma once

#include <cstring>

namespace kvf {

enum class Action { on, empty, off, level, view, info, session, size };

struct CommandWord {
  const char* lower;
  const char* upper;
  Action action;
  int level;       // Action::level: the level it sets
  bool display;    // may stand as the display word
  bool dorvel;     // Action::view: dorvel-compatible layout
  bool full;       // Action::view: full columns
};

inline constexpr CommandWord kCommandWords[] = {
    {"on", "ON", Action::on, 0, false, false, false},
    {"empty", "EMPTY", Action::empty, 0, false, false, false},
    {"off", "OFF", Action::off, 0, false, false, false},
    {"lite", "LITE", Action::level, 1, false, false, false},
    {"med", "MED", Action::level, 2, false, false, false},
    {"heavy", "HEAVY", Action::level, 3, false, false, false},
    {"view", "VIEW", Action::view, 0, true, false, false},
    {"fview", "FVIEW", Action::view, 0, true, false, true},
    {"rview", "RVIEW", Action::view, 0, true, true, false},
    {"frview", "FRVIEW", Action::view, 0, true, true, true},
    {"info", "INFO", Action::info, 0, true, false, false},
    {"session", "SESSION", Action::session, 0, false, false, false},
    {"size", "SIZE", Action::size, 0, false, false, false},
};

inline bool is_word(const CommandWord& w, const char* text) {
  return std::strcmp(text, w.lower) == 0 || std::strcmp(text, w.upper) == 0;
}

}  // namespace kvf
