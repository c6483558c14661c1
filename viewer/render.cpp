// render.cpp -- the column header and the record line in the native and the
// dorvel-compatible layouts, wide and narrow, formatted by hand into two
// process-wide buffers (column text, message text) and written out whole.
#include "viewer/render.h"

#include "kavrex/catalogues.h"
#include "shm/field.h"
#include "viewer/expand.h"
#include "viewer/image_text.h"
#include "viewer/output.h"
#include "viewer/ring_layout.h"
#include "viewer/text.h"

namespace kvf {
namespace {

// A string shown in a column (file name, the two dorvel strings) is cut at
// this many bytes; the column buffer holds three of them and every other
// column with room to spare, so a column line is never cut.
constexpr std::size_t kColumnString = 256;
constexpr std::size_t kColumnSize = 1024;

char g_columns[kColumnSize];
char g_message[kMessageSize];

using text::Text;

void column(Text& out, const char* s, std::size_t width) {
  out.left(s, std::strlen(s), width);
  out.put(' ');
}

void column(Text& out, const ImageString& s, std::size_t width) {
  out.left(s.data, s.size, width);
  out.put(' ');
}

void int_column(Text& out, std::int32_t v, std::size_t width) {
  out.left_int(v, width);
  out.put(' ');
}

void hex_column(Text& out, std::uint32_t v, std::size_t width) {
  out.left_hex(v, width);
  out.put(' ');
}

const char* name_or_empty(const char* name) { return name ? name : ""; }

// A string the record points to, as a column shows it: an address of 0 is
// "(null)"; false when it lies outside the image.
bool column_string(std::uint64_t address, ImageString* s) {
  if (address == 0) {
    *s = {"(null)", 6};
    return true;
  }
  return image_string(address, kColumnString, s);
}

// Session text: "%d" of the low 32 bits of `session`.
ImageString session_text(const unsigned char* r, char* digits) {
  auto low = static_cast<std::int32_t>(static_cast<std::uint32_t>(load<std::uint64_t>(r, record::kSession)));
  return {digits, text::signed_decimal(digits, low)};
}

std::int32_t i32_at(const unsigned char* r, std::size_t at) { return load<std::int32_t>(r, at); }
std::uint32_t low32_at(const unsigned char* r, std::size_t at) {
  return static_cast<std::uint32_t>(load<std::uint64_t>(r, at));
}

bool native_columns(Text& out, const unsigned char* r, bool full, std::uint64_t file) {
  ImageString name;
  if (!image_string(file, kColumnString, &name)) return false;
  char digits[text::kDigitsMax];
  if (full) {
    column(out, name_or_empty(component_name(load<std::uint32_t>(r, record::kComponent))), 10);
    column(out, name_or_empty(feature_name(load<std::uint32_t>(r, record::kFeature))), 10);
    column(out, name, 10);
    int_column(out, i32_at(r, record::kLine), 5);
    int_column(out, i32_at(r, record::kPid), 5);
    column(out, kvf_time_string(load<std::int64_t>(r, record::kTime)), 8);
    out.left_unsigned(load_shared<std::uint32_t>(r, record::kStamp), 12);
    out.put(' ');
    int_column(out, i32_at(r, record::kCsvr), 4);
    int_column(out, i32_at(r, record::kThrd), 4);
    hex_column(out, low32_at(r, record::kTrans), 8);
    hex_column(out, low32_at(r, record::kRstcb), 8);
    column(out, session_text(r, digits), 7);
  } else {
    column(out, name, 10);
    int_column(out, i32_at(r, record::kLine), 4);
    column(out, session_text(r, digits), 7);
  }
  return true;
}

bool dorvel_line(Text& out, Text& message, const unsigned char* r, bool full) {
  ImageString first, second;
  if (!column_string(load<std::uint64_t>(r, record::kDorvelFirst), &first) ||
      !column_string(load<std::uint64_t>(r, record::kDorvelSecond), &second))
    return false;
  char digits[text::kDigitsMax];
  if (full) {
    column(out, first, 10);
    column(out, name_or_empty(feature_name(load<std::uint32_t>(r, record::kFeature))), 10);
    column(out, second, 10);
    int_column(out, i32_at(r, record::kDorvelLine), 4);
    int_column(out, i32_at(r, record::kPid), 5);
    column(out, kvf_time_string(load<std::int64_t>(r, record::kTime)), 8);
    hex_column(out, load<std::uint32_t>(r, record::kDorvelStamp), 5);
    int_column(out, i32_at(r, record::kCsvr), 4);
    int_column(out, i32_at(r, record::kThrd), 4);
    hex_column(out, low32_at(r, record::kTrans), 8);
    hex_column(out, low32_at(r, record::kRstcb), 8);
    column(out, session_text(r, digits), 7);
  } else {
    column(out, second, 10);
    int_column(out, i32_at(r, record::kDorvelLine), 4);
    column(out, session_text(r, digits), 7);
    out.right(first.data, first.size, 8);
    out.put(' ');
  }
  message.clear();
  for (int i = 0; i < record::kDorvelValueCount; ++i) {
    if (i > 0) message.put(' ');
    message.pointer(load<std::uint64_t>(r, record::kDorvelValues + 8 * static_cast<std::size_t>(i)));
  }
  return true;
}

}  // namespace

void kvf_print_header(bool full) {
  Text out(g_columns, sizeof g_columns);
  if (full) {
    static constexpr struct {
      const char* title;
      std::size_t width;
    } kWide[] = {{"Component", 10}, {"Feature", 10}, {"File", 10}, {"Line", 5},   {"Pid", 5},
                 {"Time", 8},       {"Stamp", 12},   {"csvr", 4},  {"thrd", 4},   {"trans", 8},
                 {"rstcb", 8},      {"session", 7},  {"MESSAGE", 7}};
    for (std::size_t i = 0; i < std::size(kWide); ++i) {
      if (i > 0) out.put(' ');
      out.left(kWide[i].title, std::strlen(kWide[i].title), kWide[i].width);
    }
  } else {
    out.left("File", 4, 10);
    out.put(' ');
    out.left("Line", 4, 4);
    out.put(' ');
    out.left("session", 7, 8);
  }
  out.put('\n');
  out::write(out.data(), out.size());
}

bool kvf_print_record(const unsigned char* r, bool dorvel_compatible, bool full) {
  Text columns(g_columns, sizeof g_columns);
  Text message(g_message, sizeof g_message);
  if (dorvel_compatible && load<std::uint32_t>(r, record::kComponent) == record::kDorvelComponent) {
    if (!dorvel_line(columns, message, r, full)) return false;
  } else {
    std::uint64_t file = load_shared<std::uint64_t>(r, record::kFile);
    if (file == 0) return true;
    if (!native_columns(columns, r, full, file)) return false;
    if (!kvf_expand_message(message, load<std::uint64_t>(r, record::kFormat), r + record::kArgs))
      return false;
  }
  out::write(columns.data(), columns.size());
  out::write(message.data(), message.size());
  out::put('\n');
  return true;
}

}  // namespace kvf
