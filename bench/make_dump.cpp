// make_dump.cpp -- writes a dump file of a server image whose trace ring holds
// a realistic mix of records, for the benchmarks: every conversion of the
// message format language (hex dumps, escapes and the texts that look like
// conversions but are not), strings of many lengths, hot and rare components
// and features, times from earlier days and from today, and KVF_DORVEL
// records with their fixed argument layout.
//
// The ring is wrapped, as on a busy server, and sized so that a one-pass view
// (which starts a guard window of 20 records past the oldest) prints exactly
// the requested number of records. With --pad-to the image gets a second,
// empty segment that brings the file to the given size (the load benchmark).
//
// Everything is drawn from a seeded generator: the same arguments and the
// same --now give the same file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "control/catalogues.h"
#include "layouts/ring_layout.h"
#include "sim/image_builder.h"

namespace {

using kvf::sim::ImageBuilder;
using kvf::sim::ImageOptions;
using kvf::sim::Record;

// How far past the oldest record a one-pass view of a wrapped ring starts.
constexpr std::int64_t kGuardWindow = 20;

// Argument kinds, one letter per conversion of a format, in order:
//   d small int32   D any int32   x int32 bit pattern   c printable char
//   s string (now and then null)  p pointer   f double   L int64   U uint64
//   r hex-dump block (1 to 64 bytes)   z hex-dump block with a count of 0
struct Template {
  const char* format;  // nullptr: a record without a message
  const char* args;
  int weight;
};

// Format texts as the server's trace points would hold them. A backslash in
// the text is a backslash in memory ("\\t" is the escape for a tab).
const Template kTemplates[] = {
    {"page %d read from chunk %d offset %d", "ddd", 10},
    {"lock %x type %d owner %p", "xdp", 8},
    {"alloc %d bytes at %p from pool %s", "dps", 8},
    {"mutex %s acquired by thread %d after %d spins", "sdd", 6},
    {"%s: %s", "ss", 6},
    {"txn %lld begin lsn %llx", "LU", 5},
    {"rows %llu cost %f sel %g", "Uff", 5},
    {"sqlcode %d isam %d: %s", "DDs", 4},
    {"sess %d user %s host %s db %s", "dsss", 4},
    {"open %s flags %o mode %o", "sdd", 3},
    {"key %c%c%c%c len %i", "ccccd", 3},
    {"buf %p %r", "pr", 3},
    {"checkpoint %d of %d\\tdone", "dd", 3},
    {"scan of %s.%s using index %s returned %llu rows after %lld ms (%g rows/s) with %d retries", "sssULfd", 3},
    {"%ld pages flushed", "L", 2},
    {"elapsed %e s (%E) rate %G/s", "fff", 2},
    {"mask %X/%x id %i perm %o", "xxDd", 2},
    {"100%% done, %5d %-10s %u %hd", "", 1},
    {"", "", 1},
    {nullptr, "", 1},
    {"progress 50%", "", 1},
    {"path C:\\\\velmoran\\\\tmp\\", "", 1},
    {"%r", "r", 1},
    {"empty dump %r after", "z", 1},
    {"bell\\a back\\b ff\\f cr\\r vt\\v quote\\q nl\\n", "", 1},
    {"%ll", "L", 1},
};

// The argument layout of KVF_DORVEL records, readable through this format too.
constexpr char kDorvelFormat[] = "%s %s %d %x %p %p %p %p %p";

const char* const kFiles[] = {
    "bufmgr.c", "lockmgr.c", "rsam/heapam.c", "rsam/rsbtree_split.c", "sqlexec.c", "optim.c",
    "mt_shm.c", "mt_mutex.c", "logmgr.c", "ckpt.c", "io_aio.c", "sort.c", "netsock.c",
    "cdr/cdr_queue.c", "cdr/cdr_grouper_nif.c", "blob.c", "txn.c", "idxbuild.c", "ar.c",
    "sched.c", "partition_manager.c", "a.c", "x", "memory_pool_allocator_impl.c", "stats.c",
    "plog.c", "flush.c", "readahead.c", "map_cache.c", "updstats.c",
};

const char* const kDorvelFirst[] = {"dvflush", "dvread", "chkpt", "bufwr", "dv_long_name", "lg", "dvtxnend"};
const char* const kDorvelSecond[] = {"dvmain.c", "dvio.c", "dorvel/dvlog.c", "dvq.c"};

const char* const kWords[] = {
    "customer", "stock", "orders", "order_line", "warehouse", "district", "history", "item",
    "new_order", "catalog_db", "admin_db", "demo_db", "a_name_longer_than_most_that_columns_show", "idx_cust_01",
    "pk_orders", "ix_ol_w_d_o", "admin", "dbuser", "app_server_17", "batch", "localhost", "db01.example.net",
    "rootspace", "dataspace1", "logspace", "tempspace", "blobspace1", "physspace", "mt_pool_0", "kv_pool",
    "global_pool", "session_pool", "thread_pool", "sql_pool", "lock_table", "buffer_pool_16k",
    "ok", "deadlock detected", "record locked", "no such table", "", "x",
};

std::mt19937_64 g_rng;

std::uint64_t below(std::uint64_t n) { return g_rng() % n; }
bool chance(unsigned per_thousand) { return below(1000) < per_thousand; }

struct Pools {
  std::vector<std::uint64_t> files, strings, dorvel_first, dorvel_second, blocks;
  std::vector<std::int32_t> block_sizes;
  std::vector<std::uint64_t> formats;  // per template, 0 for none
  std::uint64_t dorvel_format = 0;
};

// Strings of realistic lengths: the fixed words, numbered identifiers and a
// few long texts, placed once in the image and shared by all records.
Pools make_pools(ImageBuilder& image) {
  Pools p;
  for (const char* f : kFiles) p.files.push_back(image.string(f));
  for (const char* w : kWords) p.strings.push_back(image.string(w));
  for (int i = 0; i < 300; ++i) {
    std::string s = kWords[below(std::size(kWords) - 2)];
    s += '_';
    s += std::to_string(below(100000));
    p.strings.push_back(image.string(s));
  }
  for (int i = 0; i < 20; ++i) {
    std::string s = "statement text: select * from ";
    while (s.size() < 60 + below(140)) s += std::string(kWords[below(std::size(kWords) - 2)]) + ", ";
    p.strings.push_back(image.string(s));
  }
  // A few bytes that are not ASCII, as a server in a single-byte locale writes.
  p.strings.push_back(image.string("caf\xe9 na\xefve \xa9"));
  for (const char* s : kDorvelFirst) p.dorvel_first.push_back(image.string(s));
  for (const char* s : kDorvelSecond) p.dorvel_second.push_back(image.string(s));
  for (int i = 0; i < 64; ++i) {
    unsigned char bytes[64];
    for (unsigned char& b : bytes) b = static_cast<unsigned char>(g_rng());
    std::int32_t n = 1 + static_cast<std::int32_t>(below(64));
    p.blocks.push_back(image.bytes(bytes, sizeof bytes));
    p.block_sizes.push_back(n);
  }
  for (const Template& t : kTemplates) p.formats.push_back(t.format ? image.string(t.format) : 0);
  p.dorvel_format = image.string(kDorvelFormat);
  return p;
}

double some_double() {
  switch (below(6)) {
    case 0: return static_cast<double>(below(1000));
    case 1: return static_cast<double>(below(1000000)) / 1000.0;
    case 2: return static_cast<double>(below(1000)) * 1e-7;
    case 3: return -static_cast<double>(below(100000)) / 7.0;
    case 4: return static_cast<double>(below(1000000)) * 1e9;
    default: return 0.5;
  }
}

std::uint64_t some_pointer() { return 0x200000000000ull + below(1ull << 36) * 16; }

void pack(kvf::sim::ArgPacker& a, const char* kinds, const Pools& p) {
  for (const char* k = kinds; *k; ++k) {
    switch (*k) {
      case 'd': a.i32(static_cast<std::int32_t>(below(chance(900) ? 5000 : 2000000000))); break;
      case 'D': a.i32(static_cast<std::int32_t>(g_rng())); break;
      case 'x': a.i32(static_cast<std::int32_t>(chance(500) ? below(65536) : g_rng())); break;
      case 'c': a.i32(static_cast<std::int32_t>(' ' + below(95))); break;
      case 's': a.ptr(chance(5) ? 0 : p.strings[below(p.strings.size())]); break;
      case 'p': a.ptr(chance(20) ? 0 : some_pointer()); break;
      case 'f': a.f64(some_double()); break;
      case 'L': a.i64(chance(800) ? static_cast<std::int64_t>(below(1ull << 40)) : static_cast<std::int64_t>(g_rng())); break;
      case 'U': a.u64(chance(800) ? below(1ull << 40) : g_rng()); break;
      case 'r': {
        std::size_t b = below(p.blocks.size());
        a.block(p.blocks[b], p.block_sizes[b]);
        break;
      }
      case 'z': a.block(p.blocks[0], 0); break;
      default: throw std::logic_error("unknown argument kind");
    }
  }
}

std::uint32_t pick_component() {
  static const std::uint32_t hot[] = {2, 3, 4, 5, 11, 20, 23, 37, 57, 64, 67, 70};
  static const std::uint32_t unnamed[] = {0, 91, 95, 98, 118, 125};
  auto all = kvf::component_catalogue();
  unsigned r = static_cast<unsigned>(below(1000));
  if (r < 5) return unnamed[below(std::size(unnamed))];
  if (r < 800) return hot[below(std::size(hot))];
  std::uint32_t c;
  do c = static_cast<std::uint32_t>(all[below(all.size())].id); while (c == kvf::record::kDorvelComponent);
  return c;
}

std::uint32_t pick_feature() {
  static const std::uint32_t hot[] = {2, 3, 4, 8, 9, 15, 16};
  static const std::uint32_t unnamed[] = {0, 41, 48};
  unsigned r = static_cast<unsigned>(below(1000));
  if (r < 5) return unnamed[below(std::size(unnamed))];
  if (r < 800) return hot[below(std::size(hot))];
  return static_cast<std::uint32_t>(1 + below(40));
}

std::int64_t pick_session() {
  unsigned r = static_cast<unsigned>(below(10));
  if (r == 0) return 0;
  if (r == 1) return -static_cast<std::int64_t>(1 + below(100));
  if (r == 2) return (1ll << 32) + static_cast<std::int64_t>(below(100000));
  return 1 + static_cast<std::int64_t>(below(5000));
}

std::int32_t pick_line() {
  unsigned r = static_cast<unsigned>(below(1000));
  if (r == 0) return -1;
  if (r < 20) return static_cast<std::int32_t>(100000 + below(900000));
  return static_cast<std::int32_t>(1 + below(6000));
}

int total_weight() {
  int w = 0;
  for (const Template& t : kTemplates) w += t.weight;
  return w;
}

std::size_t pick_template(int total) {
  int r = static_cast<int>(below(static_cast<std::uint64_t>(total)));
  for (std::size_t i = 0; i < std::size(kTemplates); ++i) {
    if (r < kTemplates[i].weight) return i;
    r -= kTemplates[i].weight;
  }
  return 0;
}

// Local midnight of today and 22:00 on 31 December of last year.
struct Days {
  std::int64_t midnight, new_years_eve;
};

Days days_of(std::time_t now) {
  std::tm tm{};
  localtime_r(&now, &tm);
  std::tm mid = tm;
  mid.tm_hour = mid.tm_min = mid.tm_sec = 0;
  mid.tm_isdst = -1;
  std::tm eve{};
  eve.tm_year = tm.tm_year - 1;
  eve.tm_mon = 11;
  eve.tm_mday = 31;
  eve.tm_hour = 22;
  eve.tm_isdst = -1;
  return {std::mktime(&mid), std::mktime(&eve)};
}

// Record times rise with the record's age rank `k` of `count`: the oldest 30 %
// fall on the three days before today (the very first ones on 31 December of
// last year), the rest between local midnight and `now`.
std::int64_t record_time(std::int64_t k, std::int64_t count, std::time_t now, const Days& d) {
  std::int64_t old = count * 3 / 10;
  if (k < count / 1000) return d.new_years_eve + k;
  if (k < old) return d.midnight - 3 * 86400 + (3 * 86400 * k) / old;
  std::int64_t span = static_cast<std::int64_t>(now) - d.midnight;
  return d.midnight + span * (k - old) / (count - old);
}

Record make_record(const Pools& p, int total, std::int64_t k, std::int64_t count, std::time_t now,
                   const Days& days, std::uint32_t stamp) {
  Record r;
  r.file = p.files[below(p.files.size())];
  r.line = pick_line();
  r.time = record_time(k, count, now, days);
  r.stamp = stamp;
  r.pid = static_cast<std::int32_t>(31000 + below(4));
  r.csvr = static_cast<std::int32_t>(below(4));
  r.thrd = static_cast<std::int32_t>(1 + below(400));
  r.session = pick_session();
  r.trans = chance(50) ? 0 : some_pointer() | (chance(100) ? 0xABC0000000000000ull : 0);
  r.rstcb = chance(20) ? 0 : some_pointer();
  r.feature = pick_feature();
  if (chance(30)) {
    r.component = kvf::record::kDorvelComponent;
    r.format = p.dorvel_format;
    r.args.ptr(chance(10) ? 0 : p.dorvel_first[below(p.dorvel_first.size())]);
    r.args.ptr(chance(10) ? 0 : p.dorvel_second[below(p.dorvel_second.size())]);
    r.args.i32(pick_line());
    r.args.i32(static_cast<std::int32_t>(g_rng()));
    for (int i = 0; i < kvf::record::kDorvelValueCount; ++i) r.args.u64(chance(100) ? 0 : some_pointer());
    return r;
  }
  r.component = pick_component();
  std::size_t t = pick_template(total);
  r.format = p.formats[t];
  pack(r.args, kTemplates[t].args, p);
  return r;
}

[[noreturn]] void usage() {
  std::fputs("usage: make_dump [-n RECORDS] [--pid PID] [--pad-to BYTES] [--seed N] [--now SECONDS] FILE\n", stderr);
  std::exit(2);
}

std::uint64_t number(const char* s) {
  char* end = nullptr;
  unsigned long long v = std::strtoull(s, &end, 10);
  if (end == s || *end) usage();
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  std::int64_t records = 1000000;
  std::uint32_t pid = 4242;
  std::uint64_t pad_to = 0, seed = 1;
  std::time_t now = std::time(nullptr);
  const char* out = nullptr;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool has_value = i + 1 < argc;
    if (a == "-n" && has_value) records = static_cast<std::int64_t>(number(argv[++i]));
    else if (a == "--pid" && has_value) pid = static_cast<std::uint32_t>(number(argv[++i]));
    else if (a == "--pad-to" && has_value) pad_to = number(argv[++i]);
    else if (a == "--seed" && has_value) seed = number(argv[++i]);
    else if (a == "--now" && has_value) now = static_cast<std::time_t>(number(argv[++i]));
    else if (a[0] != '-' && !out) out = argv[i];
    else usage();
  }
  if (!out || records < 1 || records > 100000000) usage();
  g_rng.seed(seed);

  try {
    // size - 1 records are kept in a full ring and the view skips the window.
    std::int64_t slots = records + 1 + kGuardWindow;
    ImageOptions options;
    options.ring_records = static_cast<std::int32_t>(slots);
    options.string_area = 1 << 20;
    options.pid = pid;
    std::uint64_t first_size = ImageBuilder::plan(options)[0].size;
    if (pad_to > first_size) {
      options.segments.push_back({});
      kvf::sim::SegmentOptions pad;
      pad.size = pad_to - first_size;
      options.segments.push_back(pad);
    }
    ImageBuilder image(options);
    Pools pools = make_pools(image);
    int total = total_weight();

    // Oldest record at `tail`, newest just before `head`; the slot at head
    // holds a stale record, as a wrapped ring does.
    std::uint32_t tail = static_cast<std::uint32_t>(slots * 2 / 5);
    std::uint32_t head = static_cast<std::uint32_t>((tail + slots - 1) % slots);
    std::uint32_t stamp = 4294900000u;  // wraps through 2^32 in big dumps
    std::int64_t kept = slots - 1;
    Days days = days_of(now);
    image.write_record(head, make_record(pools, total, 0, kept, now, days, stamp - 1));
    for (std::int64_t k = 0; k < kept; ++k) {
      std::uint32_t slot = static_cast<std::uint32_t>((tail + k) % slots);
      image.write_record(slot, make_record(pools, total, k, kept, now, days, stamp++));
    }
    image.set_indexes(head, tail);
    image.write_dump(out);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make_dump: %s\n", e.what());
    return 1;
  }
  return 0;
}
