// kavrex-export-json.cpp -- JSON lines in fixed buffers: escaping, UTF-8
// repair, ISO 8601 times, and the object for one trace record with the
// parts its hex dumps add to the message.
#include <cstdio>
#include <algorithm>
#include <cstring>

#include "control/catalogues.h"
#include "layouts/field.h"
#include "layouts/ring_layout.h"
#include "tools/kavrex-export.h"
#include "viewer/expand.h"
#include "viewer/image_text.h"

namespace kavrex_export {
namespace {

// Room kept for closing a cut string and the object: `"`, `}` and newline.
constexpr std::size_t kCloseRoom = 8;

}  // namespace

std::size_t utf8_sequence(const unsigned char* p, std::size_t n) {
  unsigned char c = p[0];
  auto cont = [&](std::size_t i, unsigned char lo = 0x80, unsigned char hi = 0xBF) {
    return i < n && p[i] >= lo && p[i] <= hi;
  };
  if (c < 0x80) return 1;
  if (c < 0xC2) return 0;
  if (c < 0xE0) return cont(1) ? 2 : 0;
  if (c < 0xF0) {
    unsigned char lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
    return cont(1, lo, hi) && cont(2) ? 3 : 0;
  }
  if (c < 0xF5) {
    unsigned char lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
    return cont(1, lo, hi) && cont(2) && cont(3) ? 4 : 0;
  }
  return 0;
}

namespace {

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void civil_from_days(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  auto doe = static_cast<unsigned>(z - era * 146097);
  unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<std::int64_t>(yoe) + era * 400;
  unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) ++y;
}

// Adds to the text the views showed before a record's message: cut at the
// buffer's end, as the message is.
void add_text(Message& m, const char* text, std::size_t n) {
  std::size_t room = Message::kDumpTextMax - m.dump_size;
  if (n > room) n = room;
  std::memcpy(m.dump_text + m.dump_size, text, n);
  m.dump_size += n;
}

// The export's dump sink: the text before the %r and the dump's lines join
// the text kept, each line whole once made (a fault while one is made
// leaves it out, as the views do), then the bytes; the text after the %r
// starts again at the line's start.
void keep_dump(void* context, kvf::Line& line, const kvf::HexDump& dump) {
  Message& m = *static_cast<Message*>(context);
  add_text(m, line.message, static_cast<std::size_t>(line.at - line.message));
  for (std::int32_t from = 0; kvf::dump_has_line(dump, from); from += 16) {
    char text[kvf::kDumpLineMax];
    add_text(m, text, static_cast<std::size_t>(kvf::dump_line(text, dump, from) - text));
  }
  if (dump.shown > 0 && m.dumps < Message::kDumpsMax) {
    std::size_t kept = m.dumps ? m.dump_ends[m.dumps - 1] : 0;
    std::size_t n = std::min(static_cast<std::size_t>(dump.shown), Message::kDumpBytesMax - kept);
    std::memcpy(m.dump_bytes + kept, dump.bytes, n);
    m.dump_ends[m.dumps++] = static_cast<std::uint32_t>(kept + n);
  }
  line.at = line.message;
}

}  // namespace

std::size_t JsonLine::room() const { return cap_ - len_; }

void JsonLine::raw(const char* p, std::size_t n) {
  if (n > room()) n = room();
  std::memcpy(buf_ + len_, p, n);
  len_ += n;
}

void JsonLine::begin() {
  len_ = 0;
  first_ = true;
  raw("{", 1);
}

void JsonLine::key(const char* k) {
  if (!first_) raw(",", 1);
  first_ = false;
  raw("\"", 1);
  raw(k, std::strlen(k));
  raw("\":", 2);
}

void JsonLine::open_string(const char* k) {
  key(k);
  raw("\"", 1);
}

void JsonLine::string_piece(const char* text, std::size_t n) {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  std::size_t i = 0;
  while (i < n) {
    char esc[8];
    const char* out = esc;
    std::size_t len = 0;
    unsigned char c = p[i];
    std::size_t seq = utf8_sequence(p + i, n - i);
    if (c == '"' || c == '\\') {
      esc[0] = '\\';
      esc[1] = static_cast<char>(c);
      len = 2;
    } else if (c < 0x20) {
      const char* named = c == '\n' ? "\\n" : c == '\t' ? "\\t" : c == '\r' ? "\\r" : c == '\b' ? "\\b" : c == '\f' ? "\\f" : nullptr;
      if (named) {
        out = named;
        len = 2;
      } else {
        std::snprintf(esc, sizeof esc, "\\u%04x", c);
        len = 6;
      }
    } else if (seq == 0) {
      out = "\xEF\xBF\xBD";  // U+FFFD for a byte that starts no character
      len = 3;
      seq = 1;
    } else {
      out = text + i;
      len = seq;
    }
    if (seq == 0) seq = 1;
    if (len + kCloseRoom > room()) return;  // cut: keep room to close
    raw(out, len);
    i += seq;
  }
}

void JsonLine::close_string() { raw("\"", 1); }

void JsonLine::byte_arrays(const char* k, const unsigned char* bytes, const std::uint32_t* ends,
                           std::size_t dumps) {
  // Room kept for every bracket and comma between the arrays, so that a cut
  // still closes them all.
  const std::size_t brackets = 3 * dumps + 2;
  key(k);
  raw("[", 1);
  std::size_t i = 0;
  for (std::size_t d = 0; d < dumps; ++d) {
    raw(d ? ",[" : "[", d ? 2 : 1);
    for (std::size_t first = i; i < ends[d]; ++i) {
      if (room() < kCloseRoom + brackets + 4) break;  // cut
      char n[5];
      int len = std::snprintf(n, sizeof n, i == first ? "%u" : ",%u", bytes[i]);
      raw(n, static_cast<std::size_t>(len));
    }
    i = ends[d];
    raw("]", 1);
  }
  raw("]", 1);
}

void JsonLine::string(const char* k, const char* text, std::size_t n) {
  open_string(k);
  string_piece(text, n);
  close_string();
}

void JsonLine::string(const char* k, const char* text) { string(k, text, std::strlen(text)); }

void JsonLine::number(const char* k, std::int64_t v) {
  char d[24];
  int n = std::snprintf(d, sizeof d, "%lld", static_cast<long long>(v));
  key(k);
  raw(d, static_cast<std::size_t>(n));
}

void JsonLine::unsigned_number(const char* k, std::uint64_t v) {
  char d[24];
  int n = std::snprintf(d, sizeof d, "%llu", static_cast<unsigned long long>(v));
  key(k);
  raw(d, static_cast<std::size_t>(n));
}

void JsonLine::null(const char* k) {
  key(k);
  raw("null", 4);
}

void JsonLine::end() {
  // The close room is kept by every string piece; numbers and keys are
  // short, and the buffers are sized far beyond a record's fields.
  if (room() < 2) len_ = cap_ - 2;
  raw("}\n", 2);
}

bool iso_utc(std::int64_t seconds, char* out) {
  std::int64_t days = seconds / 86400, rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  std::int64_t y;
  unsigned m, d;
  civil_from_days(days, y, m, d);
  if (y < 0 || y > 9999) return false;
  char text[64];  // room for any int, so that no conversion is cut
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(y), m, d,
                static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
  std::memcpy(out, text, 21);
  return true;
}

bool read_record(Message& m, const unsigned char* r, std::int32_t index, Record& out) {
  using namespace kvf;
  m.open = false;
  std::uint64_t file = load_shared<std::uint64_t>(r, record::kFile);
  ImageString file_name;
  if (!image_string(file, 4096, &file_name)) return false;
  m.dumps = 0;
  m.dump_size = 0;
  m.open = true;
  Line text{m.line, m.line, m.line};
  if (!kvf_expand_message(text, load<std::uint64_t>(r, record::kFormat), r + record::kArgs, DumpSink{&m, keep_dump}))
    return false;
  m.open = false;

  out.index = index;
  out.time = load<std::int64_t>(r, record::kTime);
  out.stamp = load_shared<std::uint32_t>(r, record::kStamp);
  out.component = load<std::uint32_t>(r, record::kComponent);
  out.feature = load<std::uint32_t>(r, record::kFeature);
  out.component_name = component_name(out.component);
  out.feature_name = feature_name(out.feature);
  out.pid = load<std::int32_t>(r, record::kPid);
  out.csvr = load<std::int32_t>(r, record::kCsvr);
  out.thrd = load<std::int32_t>(r, record::kThrd);
  out.session = load<std::int64_t>(r, record::kSession);
  out.trans = load<std::uint64_t>(r, record::kTrans);
  out.rstcb = load<std::uint64_t>(r, record::kRstcb);
  out.file = file_name.data;
  out.file_size = file_name.size;
  out.line = load<std::int32_t>(r, record::kLine);
  out.dump_text = m.dump_text;
  out.dump_text_size = m.dump_size;
  out.text = text.message;
  out.text_size = static_cast<std::size_t>(text.at - text.message);
  out.dump_bytes = m.dump_bytes;
  out.dump_ends = m.dump_ends;
  out.dumps = m.dumps;
  return true;
}

void record_json(JsonLine& line, const Record& r) {
  line.begin();
  line.string("kind", "record");
  line.number("index", r.index);
  line.number("time", r.time);
  char iso[21];
  if (iso_utc(r.time, iso))
    line.string("time_utc", iso);
  else
    line.null("time_utc");
  line.unsigned_number("stamp", r.stamp);
  line.unsigned_number("component", r.component);
  if (r.component_name) line.string("component_name", r.component_name);
  else line.null("component_name");
  line.unsigned_number("feature", r.feature);
  if (r.feature_name) line.string("feature_name", r.feature_name);
  else line.null("feature_name");
  line.number("pid", r.pid);
  line.number("csvr", r.csvr);
  line.number("thrd", r.thrd);
  line.number("session", r.session);
  line.unsigned_number("trans", r.trans);
  line.unsigned_number("rstcb", r.rstcb);
  line.string("file", r.file, r.file_size);
  line.number("line", r.line);
  line.open_string("message");
  line.string_piece(r.dump_text, r.dump_text_size);
  line.string_piece(r.text, r.text_size);
  line.close_string();
  line.byte_arrays("hex_dumps", r.dump_bytes, r.dump_ends, r.dumps);
  line.end();
}

void skipped_line(JsonLine& line, Message& m, std::int32_t index) {
  // A record that faulted while its message was expanded may have shown
  // part of itself through its hex dumps: the text before a %r and the
  // lines of the bytes that could be read (a dump that leaves the image
  // part-way), or whole dumps before a later argument faulted. The skipped
  // line then carries that text as its message and those bytes as its
  // hex_dumps, so the export loses nothing the views show; the fields of a
  // record that could not be read whole are left out. A fault anywhere else
  // (in the ring itself) has shown nothing.
  std::size_t shown = m.open ? m.dump_size : 0;
  m.open = false;
  line.begin();
  line.string("kind", "skipped");
  line.number("index", index);
  if (shown > 0) {
    line.string("message", m.dump_text, shown);
    line.byte_arrays("hex_dumps", m.dump_bytes, m.dump_ends, m.dumps);
  }
  line.end();
}

}  // namespace kavrex_export
