// vem_writer.cpp -- compiling catalogue sources to .vem files and listing
// them back; the byte layout comes from vem_layout.h.
#include "tools/vem_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "layouts/vem_layout.h"

namespace kvf::vem {
namespace {

bool parse_number(const std::string& s, std::int32_t& out) {
  if (s.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(s.c_str(), &end, 10);
  if (*end != '\0' || errno != 0 || v < INT32_MIN || v > INT32_MAX) return false;
  out = static_cast<std::int32_t>(v);
  return true;
}

}  // namespace

bool parse_source(const std::string& source, std::vector<Message>& out, std::string& error) {
  out.clear();
  std::size_t pos = 0;
  int line_no = 0;
  bool in_message = false;
  while (pos < source.size()) {
    std::size_t nl = source.find('\n', pos);
    std::string line = source.substr(pos, nl == std::string::npos ? nl : nl - pos);
    pos = nl == std::string::npos ? source.size() : nl + 1;
    ++line_no;
    if (!line.empty() && line[0] == '#') continue;
    if (!line.empty() && line[0] == '.') {
      Message m;
      if (!parse_number(line.substr(1), m.number)) {
        error = "line " + std::to_string(line_no) + ": bad message number \"" + line + "\"";
        return false;
      }
      out.push_back(m);
      in_message = true;
      continue;
    }
    if (!in_message) {
      if (line.find_first_not_of(" \t") == std::string::npos) continue;
      error = "line " + std::to_string(line_no) + ": text before the first message number";
      return false;
    }
    if (!line.empty() && line[0] == '\\') line.erase(0, 1);
    out.back().text += line + "\n";
  }
  return true;
}

bool build_catalogue(std::vector<Message> messages, bool force_wide, std::string& out,
                     std::string& error) {
  std::stable_sort(messages.begin(), messages.end(),
                   [](const Message& a, const Message& b) { return a.number < b.number; });
  bool wide = force_wide;
  for (std::size_t i = 0; i < messages.size(); ++i) {
    const Message& m = messages[i];
    if (i > 0 && messages[i - 1].number == m.number) {
      error = "message " + std::to_string(m.number) + " appears twice";
      return false;
    }
    if (m.text.size() > static_cast<std::size_t>(kMaxText)) {
      error = "message " + std::to_string(m.number) + " is longer than 32767 bytes";
      return false;
    }
    if (m.number < kNarrowMinNumber || m.number > kNarrowMaxNumber) wide = true;
  }
  if (messages.size() > static_cast<std::size_t>(kMaxEntries)) {
    error = "more than 32767 messages";
    return false;
  }
  std::size_t width = wide ? kWideSize : kNarrowSize;
  std::size_t text_at = kHeaderSize + messages.size() * width;
  out.assign(text_at, '\0');
  auto* p = reinterpret_cast<unsigned char*>(out.data());
  put_u16(p + kHeaderMagic, wide ? kMagicWide : kMagicNarrow);
  put_u16(p + kHeaderCount, static_cast<std::uint16_t>(messages.size()));
  std::string texts;
  for (std::size_t i = 0; i < messages.size(); ++i) {
    std::size_t offset = text_at + texts.size();
    if (offset > static_cast<std::size_t>(INT32_MAX)) {
      error = "catalogue larger than 2 GiB";
      return false;
    }
    unsigned char* e = p + kHeaderSize + i * width;
    auto len = static_cast<std::uint16_t>(messages[i].text.size());
    if (wide) {
      put_i32(e + kWideNumber, messages[i].number);
      put_u16(e + kWideLength, len);
      put_i32(e + kWideOffset, static_cast<std::int32_t>(offset));
    } else {
      put_u16(e + kNarrowNumber, static_cast<std::uint16_t>(messages[i].number));
      put_u16(e + kNarrowLength, len);
      put_i32(e + kNarrowOffset, static_cast<std::int32_t>(offset));
    }
    texts += messages[i].text;
  }
  out += texts;
  return true;
}

bool read_catalogue(const std::string& bytes, std::vector<Message>& out, std::string& error) {
  out.clear();
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  if (bytes.size() < kHeaderSize) {
    error = "offset 0: file shorter than its 4-byte header";
    return false;
  }
  std::uint16_t magic = get_u16(p + kHeaderMagic);
  if (magic != kMagicNarrow && magic != kMagicWide) {
    error = "offset 0: bad magic";
    return false;
  }
  std::size_t width = magic == kMagicWide ? kWideSize : kNarrowSize;
  int count = get_i16(p + kHeaderCount);
  if (count < 0) {
    error = "offset 2: negative entry count";
    return false;
  }
  for (int i = 0; i < count; ++i) {
    std::size_t at = kHeaderSize + static_cast<std::size_t>(i) * width;
    if (at + width > bytes.size()) {
      error = "offset " + std::to_string(at) + ": index entry " + std::to_string(i) +
              " runs past the end of the file";
      return false;
    }
    Entry e = decode_entry(p + at, width);
    if (e.length < 0 || e.offset < 0 ||
        static_cast<std::size_t>(e.offset) + static_cast<std::size_t>(e.length) > bytes.size()) {
      error = "offset " + std::to_string(at) + ": text of message " + std::to_string(e.number) +
              " lies outside the file";
      return false;
    }
    out.push_back(Message{e.number, bytes.substr(static_cast<std::size_t>(e.offset),
                                                 static_cast<std::size_t>(e.length))});
  }
  return true;
}

std::string format_source(const std::vector<Message>& messages) {
  std::string out;
  for (const Message& m : messages) {
    out += '.';
    out += std::to_string(m.number);
    out += '\n';
    std::size_t pos = 0;
    while (pos < m.text.size()) {
      std::size_t nl = m.text.find('\n', pos);
      std::string line = m.text.substr(pos, nl == std::string::npos ? nl : nl - pos);
      pos = nl == std::string::npos ? m.text.size() : nl + 1;
      if (!line.empty() && (line[0] == '.' || line[0] == '#' || line[0] == '\\')) line = "\\" + line;
      out += line + "\n";
    }
  }
  return out;
}

}  // namespace kvf::vem
