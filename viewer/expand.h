// expand.h -- a record's message text from its format and its packed
// argument area.
#pragma once

#include <cstddef>
#include <cstdint>

#include "viewer/text.h"

namespace kvf {

// Size of the process-wide message text buffer, NUL included. Text beyond
// its 4095 bytes (a long string argument, a long text before a %r) is
// dropped; the walk over the format goes on, so later arguments are still
// checked and a later %r still writes its dump.
inline constexpr std::size_t kMessageSize = 4096;

// Fills `buffer` with the message text of the format at server address
// `format`, taking arguments from `args` (the record's 80-byte area). A hex
// dump (%r) writes the text so far and its dump lines to the output itself
// and starts the text again. Returns false when the format, a string
// argument or a dump block lies outside the image; the record must then be
// reported as unreadable (dump lines already written stay).
bool kvf_expand_message(text::Text& buffer, std::uint64_t format, const unsigned char* args);

}  // namespace kvf
