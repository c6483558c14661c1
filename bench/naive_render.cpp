// naive_render.cpp -- the straightforward renderer that the views are measured
// against: it prints the trace ring of a dump file in one of the four layouts,
// byte for byte as the views do, the plain way: the column text of each line
// by one snprintf, every conversion of a message by snprintf, two localtime_r
// calls per record, catalogue names by scanning the catalogue, stdio output.
//
// It reads the dump into ordinary memory and translates every server address
// through the segment table (bench/dump_file.h); an address outside the dump
// is the fault that the views report as skipped records.
//
//   naive_render [--time] [--load-only] {view|fview|rview|frview} DUMP
//
// --time prints the rendering time (after the file is read, up to the last
// byte handed to the kernel) to standard error as "render_ns N".
// --load-only reads the file and stops.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "bench/dump_file.h"
#include "control/catalogues.h"
#include "layouts/control_block_layout.h"
#include "layouts/field.h"
#include "layouts/ring_layout.h"
#include "layouts/shmcb_layout.h"

namespace {

using bench::BadAddress;
using bench::DumpFile;
using kvf::load;

const DumpFile* g_dump;
std::uint64_t g_control;  // server address of the trace control block

// ---- Catalogue names, by scanning from the first entry ----

const char* name_of(std::span<const kvf::CatalogueEntry> catalogue, std::uint32_t id) {
  for (const kvf::CatalogueEntry& e : catalogue)
    if (static_cast<std::uint32_t>(e.id) == id) return e.name;
  return "";
}

// ---- Time text ----

void time_text(char* out, std::size_t size, std::int64_t when) {
  std::time_t now = std::time(nullptr);
  std::time_t t = static_cast<std::time_t>(when);
  std::tm now_tm{}, tm{};
  localtime_r(&now, &now_tm);
  if (!localtime_r(&t, &tm)) {
    std::snprintf(out, size, "--/--/----");  // the benchmark dumps hold no such time
    return;
  }
  if (tm.tm_year == now_tm.tm_year && tm.tm_yday == now_tm.tm_yday)
    std::snprintf(out, size, "%02d:%02d:%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
  else
    std::snprintf(out, size, "%02d/%02d/%04d", tm.tm_mon + 1, tm.tm_mday, tm.tm_year + 1900);
}

// ---- Message expansion ----

char g_message[4096];

// Appends what snprintf makes of one conversion to the message at `len`.
template <typename... A>
void append(std::size_t& len, const char* fmt, A... a) {
  int n = std::snprintf(g_message + len, sizeof g_message - len, fmt, a...);
  if (n < 0) n = std::snprintf(g_message + len, sizeof g_message - len, "**FMTERR**");
  len += static_cast<std::size_t>(n);
  if (len >= sizeof g_message) len = sizeof g_message - 1;
}

void put(std::size_t& len, char c) {
  if (len < sizeof g_message - 1) g_message[len++] = c;
}

template <typename T>
T arg(const unsigned char* args, std::size_t& at) {
  T v;
  std::memcpy(&v, args + at, sizeof v);
  at += sizeof v;
  return v;
}

char escape(char c) {
  switch (c) {
    case 'a': return '\a';
    case 'b': return '\b';
    case 'f': return '\f';
    case 'n': return '\n';
    case 'r': return '\r';
    case 't': return '\t';
    case 'v': return '\v';
    default: return c;
  }
}

void hex_dump(std::uint64_t address, std::int32_t count) {
  const unsigned char* bytes = count > 0 ? g_dump->at(address, static_cast<std::size_t>(count)) : nullptr;
  for (std::int32_t i = 0; i < count; ++i) {
    if (i % 16 == 0) std::printf("\n%8x:", static_cast<unsigned>(address + static_cast<std::uint64_t>(i)));
    std::printf(" %2x", bytes[i]);
  }
}

// Expands the record's format with its packed arguments into g_message.
void expand(std::uint64_t format, const unsigned char* args) {
  std::size_t len = 0;
  g_message[0] = 0;
  if (format == 0) return;
  const char* f = g_dump->string(format);
  std::size_t at = 0;  // argument cursor
  while (*f) {
    char c = *f++;
    if (c == '\\') {
      if (!*f) break;
      put(len, escape(*f++));
      continue;
    }
    if (c != '%') {
      put(len, c);
      continue;
    }
    if (!*f) {
      put(len, '%');
      break;
    }
    char k = *f++;
    switch (k) {
      case '%': put(len, '%'); break;
      case 'd':
      case 'i': append(len, "%d", arg<std::int32_t>(args, at)); break;
      case 'o': append(len, "%o", arg<std::uint32_t>(args, at)); break;
      case 'x':
      case 'X': append(len, "%x", arg<std::uint32_t>(args, at)); break;
      case 'c': append(len, "%c", static_cast<int>(static_cast<unsigned char>(arg<std::int32_t>(args, at)))); break;
      case 's': {
        std::uint64_t p = arg<std::uint64_t>(args, at);
        append(len, "%s", p ? g_dump->string(p) : "(null)");
        break;
      }
      case 'p': append(len, "%016" PRIX64, arg<std::uint64_t>(args, at)); break;
      case 'e': append(len, "%e", arg<double>(args, at)); break;
      case 'E': append(len, "%E", arg<double>(args, at)); break;
      case 'f': append(len, "%f", arg<double>(args, at)); break;
      case 'g': append(len, "%g", arg<double>(args, at)); break;
      case 'G': append(len, "%G", arg<double>(args, at)); break;
      case 'l':
        if (*f != 'l') {
          append(len, "%d", static_cast<std::int32_t>(arg<std::uint64_t>(args, at)));
        } else if (f[1] == 'u') {
          append(len, "%" PRIu64, arg<std::uint64_t>(args, at));
          f += 2;
        } else if (f[1] == 'x') {
          append(len, "%" PRIx64, arg<std::uint64_t>(args, at));
          f += 2;
        } else {
          append(len, "%" PRId64, arg<std::int64_t>(args, at));
          f += 1;
        }
        break;
      case 'r': {
        std::uint64_t block = arg<std::uint64_t>(args, at);
        std::int32_t count = arg<std::int32_t>(args, at);
        g_message[len] = 0;
        std::fputs(g_message, stdout);
        hex_dump(block, count);
        len = 0;
        break;
      }
      default:
        put(len, '%');
        put(len, k);
        break;
    }
  }
  g_message[len] = 0;
}

// ---- Record lines ----

char g_line[8192];

void print_record(const unsigned char* r, bool dorvel_compatible, bool full) {
  using namespace kvf::record;
  char session[16];
  std::snprintf(session, sizeof session, "%d", static_cast<std::int32_t>(load<std::int64_t>(r, kSession)));
  char when[32];
  if (dorvel_compatible && load<std::uint32_t>(r, kComponent) == kDorvelComponent) {
    std::uint64_t first = load<std::uint64_t>(r, kDorvelFirst);
    std::uint64_t second = load<std::uint64_t>(r, kDorvelSecond);
    const char* first_text = first ? g_dump->string(first) : "(null)";
    const char* second_text = second ? g_dump->string(second) : "(null)";
    if (full) {
      time_text(when, sizeof when, load<std::int64_t>(r, kTime));
      std::snprintf(g_line, sizeof g_line, "%-10s %-10s %-10s %-4d %-5d %-8s %-5x %-4d %-4d %-8x %-8x %-7s ",
                    first_text, name_of(kvf::feature_catalogue(), load<std::uint32_t>(r, kFeature)), second_text,
                    load<std::int32_t>(r, kDorvelLine), load<std::int32_t>(r, kPid), when,
                    load<std::uint32_t>(r, kDorvelStamp), load<std::int32_t>(r, kCsvr), load<std::int32_t>(r, kThrd),
                    static_cast<unsigned>(load<std::uint64_t>(r, kTrans)),
                    static_cast<unsigned>(load<std::uint64_t>(r, kRstcb)), session);
    } else {
      std::snprintf(g_line, sizeof g_line, "%-10s %-4d %-7s %8s ", second_text, load<std::int32_t>(r, kDorvelLine),
                    session, first_text);
    }
    std::snprintf(g_message, sizeof g_message, "%016" PRIX64 " %016" PRIX64 " %016" PRIX64 " %016" PRIX64 " %016" PRIX64,
                  load<std::uint64_t>(r, kDorvelValues), load<std::uint64_t>(r, kDorvelValues + 8),
                  load<std::uint64_t>(r, kDorvelValues + 16), load<std::uint64_t>(r, kDorvelValues + 24),
                  load<std::uint64_t>(r, kDorvelValues + 32));
  } else {
    std::uint64_t file = load<std::uint64_t>(r, kFile);
    if (file == 0) return;
    if (full) {
      time_text(when, sizeof when, load<std::int64_t>(r, kTime));
      std::snprintf(g_line, sizeof g_line, "%-10s %-10s %-10s %-5d %-5d %-8s %-12lu %-4d %-4d %-8x %-8x %-7s ",
                    name_of(kvf::component_catalogue(), load<std::uint32_t>(r, kComponent)),
                    name_of(kvf::feature_catalogue(), load<std::uint32_t>(r, kFeature)), g_dump->string(file),
                    load<std::int32_t>(r, kLine), load<std::int32_t>(r, kPid), when,
                    static_cast<unsigned long>(load<std::uint32_t>(r, kStamp)), load<std::int32_t>(r, kCsvr),
                    load<std::int32_t>(r, kThrd), static_cast<unsigned>(load<std::uint64_t>(r, kTrans)),
                    static_cast<unsigned>(load<std::uint64_t>(r, kRstcb)), session);
    } else {
      std::snprintf(g_line, sizeof g_line, "%-10s %-4d %-7s ", g_dump->string(file), load<std::int32_t>(r, kLine),
                    session);
    }
    expand(load<std::uint64_t>(r, kFormat), r + kArgs);
  }
  std::fputs(g_line, stdout);
  std::fputs(g_message, stdout);
  std::fputc('\n', stdout);
}

// ---- The one-pass walk ----

struct Ring {
  std::uint64_t header;
  std::uint32_t head() const { return load<std::uint32_t>(g_dump->at(header, 16), kvf::ring::kHead); }
  std::uint32_t tail() const { return load<std::uint32_t>(g_dump->at(header, 16), kvf::ring::kTail); }
  std::int32_t size() const {
    return load<std::int32_t>(g_dump->at(g_control, kvf::control::kUsedSize), kvf::control::kRingSize);
  }
  const unsigned char* slot(std::int32_t index) const {
    std::uint64_t records = load<std::uint64_t>(g_dump->at(header, 16), kvf::ring::kRecords);
    return g_dump->at(records + static_cast<std::uint64_t>(index) * kvf::record::kSize, kvf::record::kSize);
  }
  std::uint32_t stamp(std::int32_t index) const { return load<std::uint32_t>(slot(index), kvf::record::kStamp); }
};

std::uint32_t g_last_stamp = 0;
std::int32_t g_skip_distance = 20;

// The next index to read after `current` (-1: where to start); a negative
// result -n means "go on at n, the largest skip is reached".
std::int32_t next_index(std::int32_t current, const Ring& ring) {
  std::int32_t head = static_cast<std::int32_t>(ring.head());
  std::int32_t tail = static_cast<std::int32_t>(ring.tail());
  std::int32_t size = ring.size();
  if (head == 0 && tail == 0) return 0;
  std::int32_t window = size < 20 ? (size / 2 > 0 ? size / 2 : 1) : 20;
  bool calm = tail < head && size - head > window;
  if (current == -1) {
    std::int32_t start = calm ? tail : tail + window;
    if (!calm && start >= size) start -= size;
    g_last_stamp = ring.stamp(start);
    return start;
  }
  bool rewritten = ring.stamp(current) != g_last_stamp;
  std::int32_t following = current == size - 1 ? 0 : current + 1;
  if (!calm) {
    std::int32_t lead = 0;
    if (!rewritten) {
      lead = following - tail;
      if (lead < 0) lead += size;
    }
    if (lead < window) {
      std::int32_t target = (g_skip_distance + tail) % size;
      if (g_skip_distance >= size / 2) {
        std::fputs("possible buffer overrun, max skip ahead reached\n", stdout);
        g_last_stamp = ring.stamp(target);
        return -target;
      }
      std::fputs("possible buffer overrun, skipping ahead\n", stdout);
      g_skip_distance *= 2;
      g_last_stamp = ring.stamp(target);
      return target;
    }
  }
  g_last_stamp = ring.stamp(following);
  return following;
}

void view_once(bool dorvel_compatible, bool full) {
  if (full)
    std::printf("%-10s %-10s %-10s %-5s %-5s %-8s %-12s %-4s %-4s %-8s %-8s %-7s %-7s\n", "Component", "Feature",
                "File", "Line", "Pid", "Time", "Stamp", "csvr", "thrd", "trans", "rstcb", "session", "MESSAGE");
  else
    std::printf("%-10s %-4s %-8s\n", "File", "Line", "session");
  const unsigned char* cb = g_dump->at(g_control, kvf::control::kUsedSize);
  Ring ring{load<std::uint64_t>(cb, kvf::control::kRing)};
  if (ring.header == 0 || ring.head() == ring.tail()) return;
  std::int32_t index = next_index(-1, ring);
  while (index >= 0) {
    if (index == static_cast<std::int32_t>(ring.head())) break;
    const unsigned char* r = ring.slot(index);
    if (load<std::uint64_t>(r, kvf::record::kFile) == 0) break;
    try {
      print_record(r, dorvel_compatible, full);
    } catch (const BadAddress&) {
      std::fputs("buffer overrun or formatting error, records skipped\n", stdout);
    }
    index = next_index(index, ring);
  }
}

std::int64_t now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int usage() {
  std::fputs("usage: naive_render [--time] [--load-only] {view|fview|rview|frview} DUMP\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool timed = false, load_only = false;
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    if (std::strcmp(argv[i], "--time") == 0) timed = true;
    else if (std::strcmp(argv[i], "--load-only") == 0) load_only = true;
    else return usage();
  }
  if (argc - i != 2) return usage();
  std::string word = argv[i];
  bool dorvel = word == "rview" || word == "frview";
  bool full = word == "fview" || word == "frview";
  if (!dorvel && !full && word != "view") return usage();

  try {
    DumpFile dump(argv[i + 1]);
    g_dump = &dump;
    if (load_only) return 0;
    std::int64_t start = now_ns();
    const unsigned char* root = dump.at(dump.root(), kvf::root::kUsedSize);
    const unsigned char* shmcb = dump.at(load<std::uint64_t>(root, kvf::root::kShmcb), kvf::shmcb::kSize);
    g_control = load<std::uint64_t>(shmcb, kvf::shmcb::kTraceBlock);
    if (g_control == 0) {
      std::fputs("naive_render: no trace control block\n", stderr);
      return 1;
    }
    view_once(dorvel, full);
    std::fflush(stdout);
    if (timed) std::fprintf(stderr, "render_ns %lld\n", static_cast<long long>(now_ns() - start));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "naive_render: %s\n", e.what());
    return 1;
  }
  return 0;
}
