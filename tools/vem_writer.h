// vem_writer.h -- catalogue sources and whole .vem files: parsing the text
// source that kavrex-msgc compiles, building the file, reading it back.
//
// Source format: a line ".NUMBER" (optionally negative) starts a message;
// every following line up to the next such line or the end of the file is
// its text, each line with its newline (so a blank line before the next
// message is part of the text). A line beginning with "#" is a comment
// anywhere. A text line that must begin with ".", "#" or "\" is written
// with one "\" in front, which is dropped.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvf::vem {

struct Message {
  std::int32_t number = 0;
  std::string text;
};

bool parse_source(const std::string& source, std::vector<Message>& out, std::string& error);

// Sorts by number and lays out header, index and texts. The wide index is
// used when asked for or when a number does not fit 16 bits.
bool build_catalogue(std::vector<Message> messages, bool force_wide, std::string& out,
                     std::string& error);

// Decodes a whole file; the error names the offset of the first fault.
bool read_catalogue(const std::string& bytes, std::vector<Message>& out, std::string& error);

// The source text of `messages` (parse_source gives them back).
std::string format_source(const std::vector<Message>& messages);

}  // namespace kvf::vem
