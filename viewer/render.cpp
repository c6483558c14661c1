// render.cpp -- the column header and the record line in the native and the
// dorvel-compatible layouts, wide and narrow, formatted by hand straight into
// the output buffer: a line reserves room for its longest form once, so no
// column checks for room as it goes.
#include "viewer/render.h"

#include <cstring>

#include "control/catalogues.h"
#include "layouts/field.h"
#include "layouts/ring_layout.h"
#include "viewer/expand.h"
#include "viewer/image_text.h"
#include "viewer/output.h"
#include "viewer/text.h"

namespace kvf {
namespace {

// A string shown in a column (file name, the two dorvel strings) is cut at
// this many bytes. Two of them, a dozen other columns (catalogue names,
// numbers, the time: each under 32 bytes with its blank) and the five
// dorvel values fit the columns' room.
constexpr std::size_t kColumnString = 256;
static_assert(2 * (kColumnString + 1) + 12 * 32 + 5 * 17 <= kColumnsMax);

// Every column is at most this wide before its text pushes it wider: its
// blanks are written as one block before the text goes over them.
constexpr std::size_t kBlanks = 16;

// The end of a column at `p` whose text of `n` bytes is there, with blanks
// after it up to `width` at least: past the text or the width, and a blank.
char* end_column(char* p, std::size_t n, std::size_t width) {
  p += n < width ? width : n;
  *p++ = ' ';
  return p;
}

// "%-Ns ": the bytes, blanks up to `width`, one blank.
char* left(char* p, const char* s, std::size_t n, std::size_t width) {
  std::memset(p, ' ', kBlanks);
  std::memcpy(p, s, n);
  return end_column(p, n, width);
}

char* left(char* p, const ImageString& s, std::size_t width) { return left(p, s.data, s.size, width); }

// "%-Ns " of the string at `address`, copied in place; nullptr when it does
// not lie in the image up to its NUL.
char* left_string(char* p, std::uint64_t address, std::size_t width) {
  std::size_t n;
  if (!image_copy(address, kColumnString, p, &n)) return nullptr;
  if (n < width) {
    std::memset(p + n, ' ', kBlanks);
    n = width;
  }
  p += n;
  *p++ = ' ';
  return p;
}

// File names of an unchanging image (a dump) as column text, kept as the
// catalogue names are (name_column) by the name's address for the walk in
// progress: a column of a kept name is one copy of its block. A name is
// looked for in a few slots from the one its address picks, and kept in
// the first free one (or in that first slot, when all are taken). Each
// thread that renders keeps its own.
constexpr std::size_t kFileBlock = 32;
struct FileText {
  std::uint64_t address = 0;
  unsigned walk = 0;
  std::uint32_t size = 0;
  char block[kFileBlock] = {};
};
constexpr std::size_t kFileTexts = 256;
constexpr std::size_t kFileProbes = 8;
constinit thread_local FileText t_files[kFileTexts];

// left_string of a file name on an unchanging image.
char* kept_file_column(char* p, std::uint64_t address, std::size_t width) {
  unsigned walk = kept_walk();
  std::size_t first = (address * 0x9E3779B97F4A7C15u) >> 56;
  FileText* t = nullptr;
  FileText* free = nullptr;
  for (std::size_t i = 0; i < kFileProbes && !t; ++i) {
    FileText& slot = t_files[(first + i) % kFileTexts];
    if (slot.walk != walk) {
      if (!free) free = &slot;
    } else if (slot.address == address) {
      t = &slot;
    }
  }
  if (!t) {
    std::size_t n;
    if (!image_copy(address, kColumnString, p, &n)) return nullptr;
    if (n >= kFileBlock) return left_string(p, address, width);
    t = free ? free : &t_files[first];
    t->address = address;
    t->walk = walk;
    t->size = static_cast<std::uint32_t>(n);
    std::memset(t->block, ' ', kFileBlock);
    std::memcpy(t->block, p, n);
  }
  // Blanks up to the width are in the block already.
  std::memcpy(p, t->block, kFileBlock);
  return end_column(p, t->size, width);
}

// A column of a number made by one of the text:: digit writers.
template <typename Digits, typename V>
char* left_number(char* p, Digits digits, V v, std::size_t width) {
  std::memset(p, ' ', kBlanks);
  return end_column(p, digits(p, v), width);
}

// A number below 10000 fills a column of four or more without pushing it:
// its text and blanks to the width, with no count of its digits.
char* left_int(char* p, std::int32_t v, std::size_t width) {
  if (static_cast<std::uint32_t>(v) >= text::kSmallDecimals || width < 4)
    return left_number(p, text::SignedDecimal{}, v, width);
  std::memset(p, ' ', kBlanks);
  std::memcpy(p, text::small_decimal(static_cast<std::uint32_t>(v)), 4);
  p += width;
  *p++ = ' ';
  return p;
}

// The pid column, "%-5d ". A pid of five digits or more is written once
// and kept, in a few slots picked by its value, for the records after it:
// a server's records come from a few processes.
struct PidText {
  std::int64_t pid = INT64_MIN;  // none kept
  std::uint32_t size = 0;
  char text[16] = {};            // the digits, blanks after them
};
constexpr std::size_t kPidTexts = 64;
constinit thread_local PidText t_pids[kPidTexts];

char* pid_column(char* p, std::int32_t pid) {
  constexpr std::size_t width = 5;
  if (static_cast<std::uint32_t>(pid) < text::kSmallDecimals) return left_int(p, pid, width);
  PidText& t = t_pids[static_cast<std::uint32_t>(pid) % kPidTexts];
  if (t.pid != pid) {
    std::memset(t.text, ' ', sizeof t.text);
    t.size = static_cast<std::uint32_t>(text::signed_decimal(t.text, pid));
    t.pid = pid;
  }
  std::memcpy(p, t.text, sizeof t.text);
  return end_column(p, t.size, width);
}

// The stamp column, "%-12u ". A ring is walked in the order its records
// were written, whose stamps go up by one, so the text of the last stamp
// written is kept and the next one made from it by adding one to its
// digits; any other stamp is written afresh.
struct StampText {
  std::uint32_t stamp = 0;
  std::uint32_t size = 0;  // of the digits; 0 when none are kept
  char text[16] = {};      // the digits, blanks after them
};
constinit thread_local StampText t_stamp;

// Adds one to the kept digits; false when they are all nines (the text
// grows by a digit, which is written afresh).
bool step_up(StampText& t) {
  std::size_t i = t.size;
  while (i > 0 && t.text[i - 1] == '9') t.text[--i] = '0';
  if (i == 0) return false;
  ++t.text[i - 1];
  return true;
}

char* stamp_column(char* p, std::uint32_t stamp) {
  constexpr std::size_t width = 12;
  static_assert(width >= 10 && width <= sizeof StampText::text, "every stamp fits its column and the block");
  StampText& t = t_stamp;
  bool kept = t.size != 0 && (stamp == t.stamp ||
                              // (a stamp of 0 after the largest one is no step up of the digits)
                              (stamp == t.stamp + 1 && stamp != 0 && step_up(t)));
  if (!kept) {
    std::memset(t.text, ' ', sizeof t.text);
    t.size = static_cast<std::uint32_t>(text::unsigned_decimal(t.text, stamp));
  }
  t.stamp = stamp;
  std::memcpy(p, t.text, sizeof t.text);
  return end_column(p, width, width);
}

// Eight hex digits or fewer, with blanks after them to eight, fill a
// column of eight without pushing it.
char* left_hex(char* p, std::uint32_t v, std::size_t width) {
  if (width != 8) return left_number(p, text::LowerHex8{}, v, width);
  text::lower_hex8(p, v, ' ');
  p += 8;
  *p++ = ' ';
  return p;
}

// A catalogue name, or nothing for an unnamed id. The columns of the first
// ids are made once, when the program starts, from the catalogues (which
// never change): each is blank-padded to a fixed block, so that such a
// column is one copy of its block. Longer names and larger ids are
// written as they come.
constexpr std::size_t kNameBlock = 32;
constexpr std::size_t kNameWidth = 10;
static_assert(kNameWidth < kNameBlock);
constexpr std::uint32_t kNamedIds = 128;

struct NameColumns {
  // The name's length, or kNameBlock when it does not fit its block.
  std::uint8_t size[kNamedIds];
  char block[kNamedIds][kNameBlock];
};

NameColumns name_columns(const char* (*name_of)(std::uint32_t)) {
  NameColumns c;
  for (std::uint32_t id = 0; id < kNamedIds; ++id) {
    const char* name = name_of(id);
    std::size_t n = name ? std::strlen(name) : 0;
    std::memset(c.block[id], ' ', kNameBlock);
    if (name && n < kNameBlock) std::memcpy(c.block[id], name, n);
    c.size[id] = static_cast<std::uint8_t>(n < kNameBlock ? n : kNameBlock);
  }
  return c;
}

const NameColumns kComponentColumns = name_columns(component_name);
const NameColumns kFeatureColumns = name_columns(feature_name);

char* name_column(char* p, const NameColumns& columns, const char* (*name_of)(std::uint32_t), std::uint32_t id) {
  constexpr std::size_t width = kNameWidth;
  if (id >= kNamedIds || columns.size[id] == kNameBlock) {
    const char* name = name_of(id);
    return name ? left(p, name, std::strlen(name), width) : left(p, "", 0, width);
  }
  // Blanks up to the width are in the block already.
  std::memcpy(p, columns.block[id], kNameBlock);
  return end_column(p, columns.size[id], width);
}

char* component_column(char* p, const unsigned char* r) {
  return name_column(p, kComponentColumns, component_name, load<std::uint32_t>(r, record::kComponent));
}

char* feature_column(char* p, const unsigned char* r) {
  return name_column(p, kFeatureColumns, feature_name, load<std::uint32_t>(r, record::kFeature));
}

// The time is never narrower than its column (8): a text of up to
// kTimeTextRoom bytes is one block copied from its buffer.
char* time_column(char* p, std::int64_t time) {
  std::string_view t = kvf_time_text(time);
  if (t.size() <= kTimeTextRoom) std::memcpy(p, t.data(), kTimeTextRoom);
  else std::memcpy(p, t.data(), t.size());
  p += t.size();
  *p++ = ' ';
  return p;
}

// A string the record points to, as a column shows it: an address of 0 is
// "(null)"; false when it does not lie in the image up to its NUL.
bool column_string(std::uint64_t address, ImageString* s) {
  if (address == 0) {
    *s = {"(null)", 6};
    return true;
  }
  return image_string(address, kColumnString, s);
}

// Session column: "%-7d" of the low 32 bits of `session`.
char* session_column(char* p, const unsigned char* r) {
  auto low = static_cast<std::int32_t>(static_cast<std::uint32_t>(load<std::uint64_t>(r, record::kSession)));
  return left_int(p, low, 7);
}

std::int32_t i32_at(const unsigned char* r, std::size_t at) { return load<std::int32_t>(r, at); }
std::uint32_t low32_at(const unsigned char* r, std::size_t at) {
  return static_cast<std::uint32_t>(load<std::uint64_t>(r, at));
}

// The file name column: kept for an unchanging image (`Kept`).
template <bool Kept>
char* file_column(char* p, std::uint64_t file, std::size_t width) {
  if constexpr (Kept) return kept_file_column(p, file, width);
  else return left_string(p, file, width);
}

// The columns of a native record at `p`; nullptr when its file name does
// not lie in the image up to its NUL.
template <bool Kept>
char* native_columns(char* p, const unsigned char* r, bool full, std::uint64_t file) {
  if (full) {
    p = component_column(p, r);
    p = feature_column(p, r);
    p = file_column<Kept>(p, file, 10);
    if (p == nullptr) return nullptr;
    p = left_int(p, i32_at(r, record::kLine), 5);
    p = pid_column(p, i32_at(r, record::kPid));
    p = time_column(p, load<std::int64_t>(r, record::kTime));
    p = stamp_column(p, load_shared<std::uint32_t>(r, record::kStamp));
    p = left_int(p, i32_at(r, record::kCsvr), 4);
    p = left_int(p, i32_at(r, record::kThrd), 4);
    p = left_hex(p, low32_at(r, record::kTrans), 8);
    p = left_hex(p, low32_at(r, record::kRstcb), 8);
    p = session_column(p, r);
  } else {
    p = file_column<Kept>(p, file, 10);
    if (p == nullptr) return nullptr;
    p = left_int(p, i32_at(r, record::kLine), 4);
    p = session_column(p, r);
  }
  return p;
}

// The columns and the five values of a KVF_DORVEL record at `p`; nullptr
// when one of its strings does not lie in the image up to its NUL.
char* dorvel_line(char* p, const unsigned char* r, bool full) {
  ImageString first, second;
  if (!column_string(load<std::uint64_t>(r, record::kDorvelFirst), &first) ||
      !column_string(load<std::uint64_t>(r, record::kDorvelSecond), &second))
    return nullptr;
  if (full) {
    p = left(p, first, 10);
    p = feature_column(p, r);
    p = left(p, second, 10);
    p = left_int(p, i32_at(r, record::kDorvelLine), 4);
    p = pid_column(p, i32_at(r, record::kPid));
    p = time_column(p, load<std::int64_t>(r, record::kTime));
    p = left_hex(p, load<std::uint32_t>(r, record::kDorvelStamp), 5);
    p = left_int(p, i32_at(r, record::kCsvr), 4);
    p = left_int(p, i32_at(r, record::kThrd), 4);
    p = left_hex(p, low32_at(r, record::kTrans), 8);
    p = left_hex(p, low32_at(r, record::kRstcb), 8);
    p = session_column(p, r);
  } else {
    p = left(p, second, 10);
    p = left_int(p, i32_at(r, record::kDorvelLine), 4);
    p = session_column(p, r);
    // "%8s "
    if (first.size < 8) {
      std::memset(p, ' ', 8 - first.size);
      p += 8 - first.size;
    }
    std::memcpy(p, first.data, first.size);
    p += first.size;
    *p++ = ' ';
  }
  for (int i = 0; i < record::kDorvelValueCount; ++i) {
    if (i > 0) *p++ = ' ';
    p += text::pointer_hex(p, load<std::uint64_t>(r, record::kDorvelValues + 8 * static_cast<std::size_t>(i)));
  }
  return p;
}

// The views' hex dump (kViewDumps): the text before the %r moves over the
// columns and goes out, the columns kept aside meanwhile.
void print_dump(void*, Line& line, const HexDump& dump) {
  std::size_t columns = static_cast<std::size_t>(line.message - line.start);
  char saved[kColumnsMax];
  std::memcpy(saved, line.start, columns);
  std::size_t said = static_cast<std::size_t>(line.at - line.message);
  std::memmove(line.start, line.message, said);
  out::end_line(line.start + said);
  static_assert(kDumpLineMax <= out::kLineMax);
  for (std::int32_t from = 0; dump_has_line(dump, from); from += 16)
    out::end_line(dump_line(out::begin_line(), dump, from));
  line = begin_record_line();
  std::memcpy(line.start, saved, columns);
  line.message = line.start + columns;
  line.at = line.message;
}

}  // namespace

const DumpSink kViewDumps{nullptr, print_dump};

Line begin_record_line() {
  static_assert(kLineRoom <= out::kLineMax);
  char* p = out::begin_line();
  return {p, p, p};
}

void kvf_print_header(bool full) {
  char buffer[256];
  text::Text out(buffer, sizeof buffer);
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

namespace {

template <bool Kept>
bool print_record(const unsigned char* r, bool dorvel_compatible, bool full) {
  bool dorvel = dorvel_compatible && load<std::uint32_t>(r, record::kComponent) == record::kDorvelComponent;
  std::uint64_t file = 0;
  if (!dorvel) {
    file = load_shared<std::uint64_t>(r, record::kFile);
    if (file == 0) return true;
  }
  Line line = begin_record_line();
  if (dorvel) {
    line.at = dorvel_line(line.start, r, full);
    if (line.at == nullptr) return false;
  } else {
    char* columns_end = native_columns<Kept>(line.start, r, full, file);
    if (columns_end == nullptr) return false;
    line.message = line.at = columns_end;
    std::uint64_t format = load<std::uint64_t>(r, record::kFormat);
    bool readable = Kept ? kvf_expand_kept_message(line, format, r + record::kArgs, kViewDumps)
                         : kvf_expand_message(line, format, r + record::kArgs, kViewDumps);
    if (!readable) return false;
  }
  *line.at++ = '\n';
  out::end_line(line.at);
  return true;
}

}  // namespace

bool kvf_print_record(const unsigned char* r, bool dorvel_compatible, bool full) {
  return print_record<false>(r, dorvel_compatible, full);
}

bool kvf_print_kept_record(const unsigned char* r, bool dorvel_compatible, bool full) {
  return print_record<true>(r, dorvel_compatible, full);
}

}  // namespace kvf
