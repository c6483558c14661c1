// view_lines.cpp -- reads an fview output of the stand-in server's ring back
// into records and reader messages, and checks them against the trace
// points (sim/trace_points.cpp): the columns belong to the trace point that
// the file names, the message has that point's shape, and the arguments of
// one record agree with each other (they all derive from one counter), so
// a line put together from two records shows. Such a line is allowed only
// when the reader says right after it that the writer overtook it.
#include "view_lines.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace reliability {
namespace {

constexpr char kSkipping[] = "possible buffer overrun, skipping ahead";
constexpr char kMaxSkip[] = "possible buffer overrun, max skip ahead reached";
constexpr char kUnreadable[] = "buffer overrun or formatting error, records skipped";
const char* const kNames[] = {"bufpool", "lockpool", "sortpool", "global", "mt_pool_7", "x"};

std::vector<std::string> split_lines(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

int name_index(const std::string& name) {
  for (int i = 0; i < 6; ++i)
    if (name == kNames[i]) return i;
  return -1;
}

bool is_number(const std::string& s, bool allow_sign = true) {
  std::size_t i = allow_sign && !s.empty() && s[0] == '-' ? 1 : 0;
  if (i == s.size()) return false;
  for (; i < s.size(); ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

bool is_time(const std::string& s) {
  auto d = [&](std::size_t i) { return s[i] >= '0' && s[i] <= '9'; };
  if (s.size() == 8) return d(0) && d(1) && s[2] == ':' && d(3) && d(4) && s[5] == ':' && d(6) && d(7);
  return s.size() == 10 && d(0) && d(1) && s[2] == '/' && d(3) && d(4) && s[5] == '/' && d(6) && d(9);
}

template <typename... Values>
std::string format(const char* f, Values... values) {
  char text[256];
  std::snprintf(text, sizeof text, f, values...);
  return text;
}

// The message of each trace point: the counter n read back from one argument
// must give every other argument.
bool page_read_ok(const std::string& m) {
  unsigned page, key;
  if (std::sscanf(m.c_str(), "bf_read: page %u of chunk %*d, flags 755, key \"beef%4x", &page, &key) != 2) return false;
  // page = n mod 100000 and key = n mod 65536 fix n below 204,800,000.
  for (std::uint64_t n = page; n < 204800000; n += 100000)
    if ((n & 0xFFFF) == key)
      return m == format("bf_read: page %u of chunk %d, flags 755, key \"beef%04x/%x\"", page, static_cast<int>(n % 7) - 3,
                         key, static_cast<unsigned>(n * 2654435761u));
  return false;
}

bool lock_ok(const std::string& m) {
  char name[32];
  unsigned long long p;
  if (std::sscanf(m.c_str(), "lock %*c on %31s at %llx", name, &p) != 2 || p < 0x200000001000ull) return false;
  std::uint64_t n = (p - 0x200000001000ull) / 16;  // n mod 64; the name gives n mod 6
  int i = name_index(name);
  return n < 64 && p % 16 == 0 && i >= 0 && i % 2 == static_cast<int>(n % 2) &&
         m == format("lock %c on %s at %016llX", n % 2 ? 'X' : 'S', name, p);
}

bool merge_ok(const std::string& m) {
  int pass;
  char x[32];
  if (std::sscanf(m.c_str(), "merge pass %d: %*s %*s %*s %31s", &pass, x) != 2) return false;
  double v = std::strtod(x, nullptr);
  return pass >= 0 && pass < 9 &&
         m == format("merge pass %d: %e %E %f %g %G 100%% done", pass, v * 1e-7, -v * 1e12, v / 3, v, 1.0 / (v + 1));
}

bool pool_ok(const std::string& m) {
  unsigned long long mask;
  if (std::sscanf(m.c_str(), "pool %*s grew by %*d to %*u bytes, mask %llx", &mask) != 1) return false;
  std::uint64_t n = mask ^ 0x0123456789ABCDEFull;
  long long grew = 4096 * static_cast<long long>(1 + n % 64), size = 65536 * static_cast<long long>(1 + n % 30000);
  return m == format("pool %s grew by %lld to %lld bytes, mask %llx, was %lld", kNames[n % 6], grew, size, mask,
                     size - grew);
}

bool dorvel_ok(const std::string& m) {
  unsigned long long p;
  if (std::sscanf(m.c_str(), "%*s %*s %*s %*s %llx", &p) != 1 || p < 0x200000000000ull || p % 8 != 0) return false;
  std::uint64_t n = (p - 0x200000000000ull) / 8;
  return m == format("%s %s %u %x %016llX %016llX %016llX %016llX %016llX", kNames[n % 6], kNames[(n + 1) % 6],
                     static_cast<unsigned>(100 + n % 900), static_cast<unsigned>(0xD0000000u | (n & 0xFFFFFF)), p,
                     p + 8, p + 16, p + 24, p + 32);
}

struct Point {
  const char* file;
  const char* component;
  const char* feature;
  const char* line;
  bool (*message_ok)(const std::string&);
};
const Point kPoints[] = {
    {"rsam/bfread.c", "KVF_BFR_MGR", "KVF_CALL", "412", page_read_ok},
    {"rsam/lockmgr.c", "KVF_LCK_MGR", "KVF_MEM", "88", lock_ok},
    {"sort/srtmerge.c", "KVF_SORT", "KVF_INFO", "1207", merge_ok},
    {"shm/mempool.c", "KVF_SHMEM", "KVF_MEM", "530", pool_ok},
    {"os/mutex.c", "KVF_MUTEX", "KVF_DEBUG", "61", [](const std::string& m) { return m == " end"; }},
    {"dorvel/dvcall.c", "KVF_DORVEL", "KVF_CALL", "300", dorvel_ok},
    {"rsam/bfflush.c", "KVF_BFR_MGR", "KVF_EVENT", "150",
     [](const std::string& m) {
       int pages, ms;
       return std::sscanf(m.c_str(), "bf_flush: %d pages written in %d ms", &pages, &ms) == 2 && pages >= 1 &&
              pages <= 200 && ms == (pages - 1) % 50 && m == format("bf_flush: %d pages written in %d ms", pages, ms);
     }},
};

// The columns of the wide layout and the message after them; false when the
// line does not have that shape or does not belong to one trace point.
bool record_line(const std::string& line, std::uint32_t& stamp, const Point*& point) {
  std::vector<std::string> w;
  std::size_t at = 0, session_start = 0, session_size = 0;
  while (w.size() < 12) {
    while (at < line.size() && line[at] == ' ') ++at;
    std::size_t start = at;
    while (at < line.size() && line[at] != ' ') ++at;
    if (start == at) return false;
    w.push_back(line.substr(start, at - start));
    session_start = start;
    session_size = at - start;
  }
  std::size_t message_at = session_start + (session_size < 7 ? 7 : session_size) + 1;
  if (message_at > line.size() || line.find_first_not_of(' ', at) < message_at) return false;
  point = nullptr;
  for (const Point& p : kPoints)
    if (w[2] == p.file) point = &p;
  if (!point || w[0] != point->component || w[1] != point->feature || w[3] != point->line) return false;
  if (!is_number(w[4]) || !is_time(w[5]) || !is_number(w[6], false) || w[7] != "1" || !is_number(w[8]) ||
      !is_number(w[11]))
    return false;
  stamp = static_cast<std::uint32_t>(std::strtoul(w[6].c_str(), nullptr, 10));
  return point->message_ok(line.substr(message_at));
}

// A hex-dump line of the mutex trace point: its address, then up to 16
// bytes (none when the block leaves the image at the line's first byte);
// returns where the text after the bytes begins, or npos.
std::size_t dump_line(const std::string& line, std::size_t& bytes) {
  if (line.size() < 9 || line[8] != ':' || line.find_first_not_of(" 0123456789abcdef") != 8 || line[7] == ' ')
    return std::string::npos;
  std::size_t at = 9;
  bytes = 0;
  while (bytes < 16 && at + 3 <= line.size() && line[at] == ' ' &&
         std::strchr(" 0123456789abcdef", line[at + 1]) && std::strchr("0123456789abcdef", line[at + 2])) {
    at += 3;
    ++bytes;
  }
  return at;
}

struct Event {
  enum Kind { record, torn, skipping, max_skip, unreadable } kind;
  std::uint32_t stamp = 0;
  std::size_t line = 0;
};

}  // namespace

ViewCheck check_full_view(const std::string& out, bool one_pass, std::int32_t ring_size, int gone_pid) {
  ViewCheck c;
  auto problem = [&](std::size_t line, const std::string& what) {
    if (c.problems.size() < 20) c.problems.push_back("line " + std::to_string(line + 1) + ": " + what);
  };
  if (!out.empty() && out.back() != '\n') problem(0, "output does not end with a whole line");
  std::vector<std::string> lines = split_lines(out);
  char header[200];
  std::snprintf(header, sizeof header, "%-10s %-10s %-10s %-5s %-5s %-8s %-12s %-4s %-4s %-8s %-8s %-7s %-7s",
                "Component", "Feature", "File", "Line", "Pid", "Time", "Stamp", "csvr", "thrd", "trans", "rstcb",
                "session", "MESSAGE");
  if (lines.empty() || lines[0] != header) problem(0, "no column header");
  std::size_t end = lines.size();
  if (gone_pid) {
    std::string gone = "The server process " + std::to_string(gone_pid) + " is gone!";
    if (end < 2 || lines[end - 1] != gone) problem(end, "does not end with the gone message");
    else --end;
  }

  std::vector<Event> events;
  for (std::size_t i = 1; i < end; ++i) {
    const std::string& l = lines[i];
    if (l == kSkipping || l == kMaxSkip || l == kUnreadable) {
      events.push_back({l == kSkipping ? Event::skipping : l == kMaxSkip ? Event::max_skip : Event::unreadable, 0, i});
      continue;
    }
    std::string columns = l;
    bool whole = true, mutex = l.rfind("mutex ", 0) == 0;
    // A mutex record: its text before %r, the dump lines (bytes 70, 73,
    // 76 ... of the server's block), then its columns on the last one.
    if (mutex) {
      std::string name = l.substr(6, l.size() - 6 - 7);
      bool named = l.size() > 13 && l.compare(l.size() - 7, 7, " state ") == 0 &&
                   (name == "(null)" || name_index(name) >= 0);
      std::size_t count = 0, bytes = 0, after = std::string::npos, j = i + 1;
      bool bytes_ok = true;
      for (; j < end; ++j) {
        after = dump_line(lines[j], bytes);
        if (after == std::string::npos) break;
        for (std::size_t b = 0; b < bytes; ++b)
          if (std::strtoul(lines[j].substr(9 + 3 * b + 1, 2).c_str(), nullptr, 16) != 0x70 + 3 * (count + b))
            bytes_ok = false;
        count += bytes;
        if (after < lines[j].size() || bytes < 16) break;
      }
      if (j >= end || after == std::string::npos) {  // no dump after it: a count of 0 or less from a torn record
        events.push_back({Event::torn, 0, i});
        continue;
      }
      if (lines[j].compare(after, std::string::npos, kUnreadable) == 0) {
        // A torn block address or count took the dump out of the image: the
        // skip note follows the bytes that were there, on their line.
        events.push_back({Event::torn, 0, i});
        events.push_back({Event::unreadable, 0, j});
        i = j;
        continue;
      }
      columns = lines[j].substr(after);
      // n mod 5 = 0 gives no name; the block is 1 + n mod 40 bytes.
      whole = named && bytes_ok && count >= 1 && count <= 40 && (name == "(null)") == ((count - 1) % 5 == 0);
      i = j;
    }
    std::uint32_t stamp = 0;
    const Point* point = nullptr;
    whole = record_line(columns, stamp, point) && whole && (!mutex || std::string(point->file) == "os/mutex.c");
    events.push_back({whole ? Event::record : Event::torn, stamp, i});
  }

  // Ordinary skips while the distance (20, 40, ...) is below half the ring.
  int ordinary = 0;
  for (std::int64_t d = 20; d < ring_size / 2; d *= 2) ++ordinary;
  for (std::size_t k = 0; k < events.size(); ++k) {
    const Event& e = events[k];
    bool told = k + 1 < events.size() && events[k + 1].kind != Event::record && events[k + 1].kind != Event::torn;
    switch (e.kind) {
      case Event::record:
        ++c.records;
        // Two whole records one after the other with nothing said between
        // them come from neighbouring slots: their stamps follow each other,
        // or the writer went round the ring whole times between the two
        // reads (the stamp test only sees the slot in hand, so a reader that
        // is not running while the writer laps it is not told).
        if (k > 0 && events[k - 1].kind == Event::record && !told) {
          std::uint32_t step = e.stamp - events[k - 1].stamp;
          if (step == 0 || step > 0x7FFFFFFF || step % static_cast<std::uint32_t>(ring_size) != 1)
            problem(e.line, "stamp " + std::to_string(e.stamp) + " follows " + std::to_string(events[k - 1].stamp) +
                                " with no overrun message: " + lines[e.line]);
          else if (step != 1)
            ++c.silent_laps;
        }
        break;
      case Event::torn:
        ++c.torn;
        // A reader that reads the head, loses the processor, and reads the
        // tail only after the writer has gone round the ring's end, takes
        // the ring for calm and steps on without its stamp test; the writer
        // may then have lapped it in the middle of a record. The line then
        // holds the old stamp (it comes before the arguments) and the next
        // record is a whole number of laps later, as for two whole records
        // with a silent lap between them.
        if (!told && e.stamp != 0 && k + 1 < events.size() && events[k + 1].kind == Event::record) {
          std::uint32_t step = events[k + 1].stamp - e.stamp;
          if (step > 1 && step <= 0x7FFFFFFF && step % static_cast<std::uint32_t>(ring_size) == 1) {
            ++c.silent_laps;
            break;
          }
        }
        if (!told)
          problem(e.line, "line not from one record, and no overrun message after it: " + lines[e.line] +
                              (e.line + 1 < lines.size() ? "\n  the next line: " + lines[e.line + 1] : ""));
        break;
      case Event::skipping:
        ++c.skipping;
        if (c.max_skip > 0) problem(e.line, "an ordinary skip after the maximum skip");
        if (c.skipping > ordinary) problem(e.line, "more ordinary skips than the ring size allows");
        break;
      case Event::max_skip:
        ++c.max_skip;
        if (c.skipping < ordinary) problem(e.line, "maximum skip before the distance reached half the ring");
        if (one_pass && k + 1 != events.size()) problem(e.line, "one-pass walk goes on after the maximum skip");
        break;
      case Event::unreadable:
        ++c.unreadable;
        break;
    }
  }
  return c;
}

}  // namespace reliability
