// tail_count.cpp -- the sink of the tailing benchmark: reads a wide view from
// standard input and counts, instead of keeping, what went by. A record line
// is a line that holds the time column (" HH:MM:SS " or " MM/DD/YYYY "), so
// message text on lines of its own (escaped line feeds, hex dumps) does not
// count as a record; the reader's own messages are counted by their text.
// The stamp column after the time tells new records (a stamp above every one
// seen so far; the stand-in server stamps in rising order) from records
// printed again after the reader went back in the ring.
//
// A record line that the reader's overrun message follows ("skipping ahead"
// or "max skip ahead reached") is counted as torn and neither new nor
// again: the writer went round the ring while it was being read, so its
// columns may come from the record of the newer lap, whose stamp is a whole
// ring above the records printed after it. Counted by that stamp, it would
// make every later record look older than one printed before it. The
// reader does not tell of every such line (it may take a ring for calm in
// the moment the writer goes round it), so a line is also torn when its
// stamp is above that of the record line after it while that one goes on
// from the lines before. So is a last line that the end of input cuts:
// its stamp may be cut short.
//
// For a look at what made lines count as again, the first of them is named
// by its line number (from 1) and its stamp, with the stamp and the line
// number of the line that set the bar it did not pass (all 0 when there is
// none): a bar a whole ring above is a torn line, one just above a record
// printed twice.
//
// The first and the newest stamp of the new records bound what the server
// wrote while the view followed it (the stand-in server stamps every record
// it writes, one after the other), so new / (newest - first + 1) is the
// share of those records the view printed, whatever the clocks say.
//
//   kavrex -t fview | tail_count      prints, at end of input, one line:
//   lines N records N new N again N torn N skipping N max_skip N faults N
//   gone N first N newest N first_again_line N again_stamp N bar N bar_line N
#include <cstdio>
#include <cstring>
#include <string_view>

#include <unistd.h>

namespace {

bool digit(char c) { return c >= '0' && c <= '9'; }

// Where the time column ends (at the blank after it), or 0 when the line has
// none: two digits ':' two digits ':' two digits, or two digits '/' two digits
// '/' four digits, between blanks.
std::size_t time_end(std::string_view line) {
  for (std::size_t i = 3; i + 6 < line.size(); ++i) {
    char c = line[i];
    if (c != ':' && c != '/') continue;
    if (line[i - 3] != ' ' || !digit(line[i - 2]) || !digit(line[i - 1])) continue;
    if (c == ':') {
      if (i + 6 < line.size() && digit(line[i + 1]) && digit(line[i + 2]) && line[i + 3] == ':' &&
          digit(line[i + 4]) && digit(line[i + 5]) && line[i + 6] == ' ')
        return i + 6;
    } else if (i + 8 < line.size() && digit(line[i + 1]) && digit(line[i + 2]) && line[i + 3] == '/' &&
               digit(line[i + 4]) && digit(line[i + 5]) && digit(line[i + 6]) && digit(line[i + 7]) &&
               line[i + 8] == ' ') {
      return i + 8;
    }
  }
  return 0;
}

// The unsigned number after the blanks at `at`.
unsigned long long number_at(std::string_view line, std::size_t at) {
  while (at < line.size() && line[at] == ' ') ++at;
  unsigned long long v = 0;
  while (at < line.size() && digit(line[at])) v = v * 10 + static_cast<unsigned>(line[at++] - '0');
  return v;
}

bool starts(std::string_view line, std::string_view prefix) { return line.substr(0, prefix.size()) == prefix; }

}  // namespace

int main() {
  static char buf[1 << 16];
  static char carry[1 << 16];  // the unfinished line, cut to its first 64 KiB
  std::size_t carried = 0;
  unsigned long long lines = 0, records = 0, fresh = 0, again = 0, torn = 0;
  unsigned long long skipping = 0, max_skip = 0, faults = 0, gone = 0;
  unsigned long long first = 0, newest = 0;  // first and highest stamp counted
  unsigned long long first_again_line = 0, again_stamp = 0, bar = 0, bar_line = 0;
  unsigned long long newest_line = 0;  // the line of the newest stamp
  bool counted_any = false;
  // The last record line's stamp, counted once the next line shows it is
  // not torn.
  bool pending = false;
  unsigned long long pending_stamp = 0, pending_line = 0;
  auto settle = [&](bool overrun) {
    if (!pending) return;
    pending = false;
    if (overrun) {
      ++torn;
    } else if (pending_stamp > newest || !counted_any) {
      if (!counted_any) first = pending_stamp;
      counted_any = true;
      newest = pending_stamp;
      newest_line = pending_line;
      ++fresh;
    } else {
      if (again++ == 0) {
        first_again_line = pending_line;
        again_stamp = pending_stamp;
        bar = newest;
        bar_line = newest_line;
      }
    }
  };
  auto count = [&](std::string_view line) {
    ++lines;
    if (starts(line, "possible buffer overrun, skipping ahead")) {
      ++skipping;
      settle(true);
    } else if (starts(line, "possible buffer overrun, max skip ahead reached")) {
      ++max_skip;
      settle(true);
    } else if (starts(line, "buffer overrun or formatting error, records skipped")) {
      ++faults;
    } else if (starts(line, "The server process ")) {
      ++gone;
    } else if (std::size_t end = time_end(line)) {
      unsigned long long stamp = number_at(line, end);
      // A stamp above the one after it, which goes on from the lines before
      // (or starts them), is a torn line the reader did not tell of.
      settle(pending && stamp < pending_stamp && (stamp > newest || !counted_any));
      ++records;
      pending = true;
      pending_stamp = stamp;
      pending_line = lines;
    }
  };
  for (;;) {
    ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
    if (n <= 0) break;
    const char* p = buf;
    const char* end = buf + n;
    while (p < end) {
      const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
      const char* stop = nl ? nl : end;
      std::size_t len = static_cast<std::size_t>(stop - p);
      if (carried || !nl) {
        std::size_t take = len < sizeof carry - carried ? len : sizeof carry - carried;
        std::memcpy(carry + carried, p, take);
        carried += take;
        if (nl) {
          count(std::string_view(carry, carried));
          carried = 0;
        }
      } else {
        count(std::string_view(p, len));
      }
      p = nl ? nl + 1 : end;
    }
  }
  if (carried) {
    count(std::string_view(carry, carried));
    settle(true);
  }
  settle(false);
  std::printf(
      "lines %llu records %llu new %llu again %llu torn %llu skipping %llu max_skip %llu faults %llu gone %llu "
      "first %llu newest %llu first_again_line %llu again_stamp %llu bar %llu bar_line %llu\n",
      lines, records, fresh, again, torn, skipping, max_skip, faults, gone, first, newest, first_again_line,
      again_stamp, bar, bar_line);
  return 0;
}
