// catalogue.h -- message texts by number from the installation's .vem
// catalogue files, per thread, with the English retry and fallback texts.
#pragma once

#include <cstdint>
#include <string>

namespace kvf {

// Status codes of rgetlmsg / rgetmsg.
inline constexpr int kMsgOk = 0;
inline constexpr int kMsgCut = -1232;        // buffer too small; text cut
inline constexpr int kMsgShortIndex = -1231;
inline constexpr int kMsgNoPath = -1230;
inline constexpr int kMsgBadMagic = -1229;
inline constexpr int kMsgNotInFile = -1228;
inline constexpr int kMsgCantOpen = -1227;
inline constexpr int kMsgNoMemory = -406;

inline constexpr std::int32_t kMsgCannotOpenFile = 32765;
inline constexpr std::int32_t kMsgUnknownNumber = 32766;

// Finds `number`, copies its text into `buffer` (at most `size` bytes with
// the terminator) and stores the text's full length in `length`.
std::int32_t rgetlmsg(std::int32_t number, char* buffer, std::int16_t size, std::int32_t* length);
std::int32_t rgetmsg(std::int32_t number, char* buffer, std::int16_t size);
// The core of both, with a locale name (null: the current one).
std::int32_t rgetmsg_locale(std::int32_t number, char* buffer, std::int16_t size,
                            std::int32_t* length, const char* locale, int flags);

// The text without its last character, in a copy that lives as long as the
// thread; null when the text cannot be had.
const char* rldmsg(std::int32_t number, const char* locale);

// Never null; keeps errno. A missing message gives "Message %d not found.\n"
// in one static buffer.
const char* msgtext(std::int32_t number);

// The catalogue file that holds `number` (by its absolute value).
const char* catalogue_file_for(std::int32_t number);

// One row of the message-file range table.
struct MessageFileRange {
  std::uint16_t product;  // 0 ends the table
  std::int32_t low;
  std::int32_t high;
  const char* file;
};
extern const MessageFileRange message_file_ranges[];
inline constexpr int kMessageFileRangeRows = 140;

// The catalogue text fix-up: %lx becomes %p and %-lx becomes %-p, in place,
// one character at a time in the current code set. Returns `text` or the
// fixed error text; -406 goes through `error` on the failures that set it.
const char* rldmsg_fmtspeckvf(char* text, std::int32_t* error);

}  // namespace kvf
